#pragma once
// The operator in front of the desktop program's tests: answers whatever modal window comes up
// (message boxes and dialogs, shown by the real Qt code paths) and records what the boxes say.

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>
#include <map>
#include <vector>

namespace tessel::gui {

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
    std::vector<QMessageBox::StandardButton> defaults;
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
                defaults.push_back(box->standardButton(box->defaultButton()));
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
