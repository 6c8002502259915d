#pragma once
// The operator in front of the desktop program's tests: answers whatever modal window comes up
// (message boxes and dialogs, shown by the real Qt code paths) and records what the boxes say.

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessel::gui {

template <typename T>
T* Child(QWidget* parent, const char* name) {
    T* child = parent ? parent->findChild<T*>(QString::fromLatin1(name)) : nullptr;
    if (!child) throw std::runtime_error(std::string("no widget named ") + name);
    return child;
}

// Clicks where the button reacts: a radio button answers only on its indicator and text.
inline void Press(QAbstractButton* button) {
    const QPoint at = qobject_cast<QRadioButton*>(button) ? QPoint(6, button->height() / 2) : button->rect().center();
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, at);
}
inline void Press(QWidget* dialog, const char* name) { Press(Child<QPushButton>(dialog, name)); }
inline void PressOk(QWidget* dialog) { Press(Child<QDialogButtonBox>(dialog, "buttons")->button(QDialogButtonBox::Ok)); }
// A menu without a Cancel button is closed as its title bar's close button would.
inline void PressCancel(QWidget* dialog) {
    auto* buttons = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttons"));
    if (QAbstractButton* cancel = buttons ? buttons->button(QDialogButtonBox::Cancel) : nullptr) Press(cancel);
    else if (auto* d = qobject_cast<QDialog*>(dialog)) d->reject();
}

// Runs the event loop until `done` holds or `ms` pass.
inline bool WaitFor(const std::function<bool()>& done, int ms = 30000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(5);
    }
    return true;
}

// A message box is answered at once (`answer` where it asks, OK otherwise); a dialog by the
// handler given for its object name, which runs again while the dialog stays open.
class ModalOperator {
public:
    using Handler = std::function<void(QWidget*)>;
    ModalOperator() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }
    // An empty handler takes the name's handler away.
    void On(const QString& name, Handler h) {
        if (h) handlers_[name] = std::move(h);
        else handlers_.erase(name);
    }
    // Sees every modal window once, before it is answered.
    Handler onModal;

    std::vector<QString> messages;
    std::vector<QMessageBox::Icon> icons;  // one per message, in order
    std::vector<QString> details;          // the boxes' informative texts
    QMessageBox::StandardButton answer = QMessageBox::Yes;

private:
    void Poll() {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || w == last_) return;
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            last_ = w;
            if (onModal) onModal(w);
            messages.push_back(box->text());
            icons.push_back(box->icon());
            details.push_back(box->informativeText());
            if (box->button(QMessageBox::No)) {
                box->button(answer)->click();
            } else {
                box->button(QMessageBox::Ok)->click();
            }
            last_ = nullptr;
            return;
        }
        // A handler still at work (its box answered) is not started a second time.
        auto it = handlers_.find(w->objectName());
        if (busy_ || it == handlers_.end()) return;
        // Outside this timer's slot: a handler that opens a nested loop (OK refused with a
        // message box) needs this timer to fire again for the box.
        last_ = w;
        busy_ = true;
        QTimer::singleShot(0, &timer_, [this, window = QPointer<QWidget>(w), h = it->second] {
            if (window && onModal) onModal(window);
            if (window) h(window);
            last_ = nullptr;
            busy_ = false;
        });
    }

    QTimer timer_;
    std::map<QString, Handler> handlers_;
    QWidget* last_ = nullptr;
    bool busy_ = false;
};

}  // namespace tessel::gui
