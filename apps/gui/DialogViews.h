#pragma once
// What the views of the dialog models share: the frame every view is (ModelView), the small
// makers of their widgets and the texts both files of views (Dialogs.cpp, OperatorDialogs.cpp)
// use. Only those two include it.

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "commands/CommDialogs.h"
#include "commands/Texts.h"

namespace tessel::gui::views {

inline QString Q(const char* s) { return QString::fromUtf8(s); }
inline QString Q(const std::string& s) { return QString::fromStdString(s); }
inline QString BoxTitle() { return QString::fromLatin1(text::kTitle).trimmed(); }

// File names go to the commands as the bytes the file system uses, not as display text.
inline std::string PathBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }
inline QString PathText(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

// A list position of the model, or no selection when it names no entry.
inline void Select(QComboBox* box, int index) { box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1); }

inline QComboBox* MakeList(QWidget* parent, const char* name, const std::vector<std::string>& items, int selection) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    QStringList texts;
    texts.reserve(static_cast<qsizetype>(items.size()));
    for (const std::string& item : items) texts << Q(item);
    box->addItems(texts);
    Select(box, selection);
    return box;
}

inline QLineEdit* MakeEdit(QWidget* parent, const char* name, bool readOnly = false) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setReadOnly(readOnly);
    return edit;
}

// A label that names its field: a screen reader reads the field by the text beside it, not
// by the title of the group around it. The label must share the field's parent.
inline QLabel* LabelFor(QWidget* field, const char* text) {
    auto* label = new QLabel(Q(text), field->parentWidget());
    label->setBuddy(field);
    return label;
}

inline QPushButton* MakeButton(QWidget* parent, const char* name, const char* text) {
    auto* button = new QPushButton(Q(text), parent);
    button->setObjectName(name);
    // Only OK answers Enter; a handler button runs when it is clicked or has the focus.
    button->setAutoDefault(false);
    return button;
}

inline QRadioButton* MakeRadio(QWidget* parent, const char* name, const char* text) {
    auto* radio = new QRadioButton(Q(text), parent);
    radio->setObjectName(name);
    return radio;
}

// The crystal in the form the field exchange of the set-up dialogs shows it.
inline QString CrystalText(double mhz) { return QString::number(mhz, 'g', 15); }

// The common frame of every view: OK exchanges the widgets into the model and lets the
// model decide whether the dialog closes; the model has then already told the operator why
// it stays open.
class ModelView : public QDialog {
public:
    ModelView(DialogModel& model, QWidget* parent) : QDialog(parent), model_(model) {
        setObjectName(Q(model.DialogName()));
    }

    void accept() override {
        if (!Store()) return;
        switch (model_.PressOk()) {
            case OkOutcome::KeepOpen:
                // The model may have changed a field on its way (a rate reselected).
                Load();
                return;
            case OkOutcome::CloseOk:
                QDialog::accept();
                return;
            case OkOutcome::CloseCancel:
                QDialog::reject();
                return;
        }
    }

protected:
    // Widgets into the model; false, after telling the operator, when a field cannot be taken.
    virtual bool Store() = 0;
    // The model into the widgets.
    virtual void Load() = 0;

    // A button whose handler reads every control first and shows the result afterwards.
    void Handler(QPushButton* button, std::function<void()> handler) {
        connect(button, &QPushButton::clicked, this, [this, handler = std::move(handler)] {
            if (!Store()) return;
            handler();
            Load();
        });
    }
    // The same for a handler that reads or rewrites the chip: it runs where the view's runner
    // puts it, the dialog greyed meanwhile so that nothing is pressed twice.
    void ChipHandler(QPushButton* button, std::function<void()> handler) {
        Handler(button, [this, handler = std::move(handler)] {
            setEnabled(false);
            const QPointer<QDialog> alive(this);
            if (runner_) runner_(handler);
            else handler();
            if (alive) setEnabled(true);
        });
    }

public:
    // Where chip work the view's buttons ask for runs (the command thread that opened it).
    using WorkRunner = std::function<void(const std::function<void()>&)>;
    void SetWorkRunner(WorkRunner runner) { runner_ = std::move(runner); }

protected:

    QDialogButtonBox* AddOkCancel(QVBoxLayout* layout) {
        auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        box->setObjectName("buttons");
        box->button(QDialogButtonBox::Ok)->setDefault(true);
        connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
        layout->addWidget(box);
        return box;
    }

    // Reads a crystal field as a range-checked number field is read: a text that is no
    // number, or a number the model does not accept, shows the model's own message and
    // leaves the field with the focus. A number out of range still reaches the model, as
    // the exchange stores before it validates; a text that is none does not.
    template <typename Model>
    bool StoreCrystal(QLineEdit* edit, Model& model) {
        bool isNumber = false;
        const double value = edit->text().toDouble(&isNumber);
        const double before = model.crystal;
        model.crystal = isNumber ? value : std::numeric_limits<double>::quiet_NaN();
        std::string message;
        if (model.Validate(&message)) return true;
        if (!isNumber) model.crystal = before;
        QMessageBox::warning(this, BoxTitle(), Q(message));
        edit->setFocus();
        edit->selectAll();
        return false;
    }

    DialogModel& model_;
    WorkRunner runner_;
};

template <typename Model, typename View>
std::unique_ptr<QDialog> Make(DialogModel& model, QWidget* parent) {
    auto* m = dynamic_cast<Model*>(&model);
    if (!m) return nullptr;
    return std::make_unique<View>(*m, parent);
}

// The views of the password, option-menu and Byte Edit models; nullptr for another model.
std::unique_ptr<QDialog> CreateOperatorDialog(DialogModel& model, QWidget* parent);

}  // namespace tessel::gui::views
