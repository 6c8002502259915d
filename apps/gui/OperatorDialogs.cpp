// The views of the dialogs that ask the operator for a secret or a choice: the password
// verify, change and set dialogs, the lock and remap menus, and Byte Edit.

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <string_view>

#include "DialogViews.h"
#include "protocol/Password.h"
#include "commands/ConfigCommands.h"
#include "commands/FlashDialogs.h"
#include "commands/OperatorCommands.h"
#include "commands/PasswordCommands.h"

namespace tessel::gui::views {

namespace {

// "Password Verify": masked, at most as long as the loader keeps, and never prefilled.
// A masked field, with nothing typed.
QLineEdit* MakeMasked(QWidget* parent, const char* name) {
    QLineEdit* edit = MakeEdit(parent, name);
    edit->setEchoMode(QLineEdit::Password);
    return edit;
}

// The loader compares bytes, one per character: the text goes through the same Latin-1
// conversion as the command line's, so that a password set here is accepted there. A
// character outside Latin-1 is refused rather than sent as something else. The intermediate
// copies are wiped once taken.
bool StoreMasked(QLineEdit* edit, std::string& out) {
    QByteArray utf8 = edit->text().toUtf8();
    WipeString(out);
    std::string error;
    const bool ok = PasswordFromUtf8(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())), &out, &error);
    std::memset(utf8.data(), 0, static_cast<size_t>(utf8.size()));
    if (ok) return true;
    QMessageBox::warning(edit->window(), BoxTitle(), Q(error));
    edit->setFocus();
    return false;
}

// Label and field rows of the password dialogs.
QLineEdit* AddMaskedRow(QWidget* parent, QGridLayout* grid, const char* label, const char* name) {
    const int row = grid->rowCount();
    QLineEdit* edit = MakeMasked(parent, name);
    grid->addWidget(LabelFor(edit, label), row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

class PasswordView final : public ModelView {
public:
    PasswordView(PasswordVerifyDialog& model, QWidget* parent) : ModelView(model, parent), m_(model) {
        setWindowTitle(Q(PasswordVerifyDialog::kTitle));
        auto* layout = new QVBoxLayout(this);
        password_ = MakeMasked(this, "password");
        auto* prompt = LabelFor(password_, PasswordVerifyDialog::kPrompt);
        prompt->setWordWrap(true);
        layout->addWidget(prompt);
        password_->setMaxLength(static_cast<int>(kMaxPasswordLength));
        layout->addWidget(password_);
        AddOkCancel(layout);
    }

protected:
    bool Store() override {
        return StoreMasked(password_, m_.password);
    }
    void Load() override {}

private:
    PasswordVerifyDialog& m_;
    QLineEdit* password_ = nullptr;
};

// The lock and remap menus: one radio button per choice, none checked on opening, the
// chip's unavailable ones disabled.
class OptionMenuView final : public ModelView {
public:
    OptionMenuView(OptionMenuDialog& model, QWidget* parent) : ModelView(model, parent), m_(model) {
        setWindowTitle(Q(model.Title()));
        auto* layout = new QVBoxLayout(this);
        auto* box = new QGroupBox(Q(model.GroupTitle()), this);
        auto* boxLayout = new QVBoxLayout(box);
        group_ = new QButtonGroup(this);
        for (const OptionMenuDialog::Choice& c : model.choices) {
            const std::string name = "option" + std::to_string(c.buttonId);
            QRadioButton* radio = MakeRadio(box, name.c_str(), c.label.c_str());
            radio->setEnabled(c.enabled);
            group_->addButton(radio, c.buttonId);
            boxLayout->addWidget(radio);
        }
        layout->addWidget(box);
        AddOkCancel(layout);
    }

protected:
    bool Store() override {
        const int id = group_->checkedId();
        if (id >= 0) m_.Click(id);
        return true;
    }
    void Load() override {}

private:
    OptionMenuDialog& m_;
    QButtonGroup* group_ = nullptr;
};

// The lengths are checked by the command, which says what is wrong and opens the dialog again.
class PasswordChangeView final : public ModelView {
public:
    PasswordChangeView(PasswordChangeDialog& model, QWidget* parent) : ModelView(model, parent), m_(model) {
        setWindowTitle(Q(PasswordChangeDialog::kTitle));
        auto* layout = new QVBoxLayout(this);
        auto* note = new QLabel(Q(PasswordChangeDialog::kNote), this);
        note->setWordWrap(true);
        layout->addWidget(note);
        auto* grid = new QGridLayout;
        old_ = AddMaskedRow(this, grid, "Old Password", "oldPassword");
        new_ = AddMaskedRow(this, grid, "New Password", "newPassword");
        retype_ = AddMaskedRow(this, grid, "Retype Password", "retypePassword");
        layout->addLayout(grid);
        AddOkCancel(layout);
    }

protected:
    bool Store() override {
        return StoreMasked(old_, m_.oldPassword) && StoreMasked(new_, m_.newPassword) &&
               StoreMasked(retype_, m_.retypePassword);
    }
    void Load() override {}

private:
    PasswordChangeDialog& m_;
    QLineEdit* old_ = nullptr;
    QLineEdit* new_ = nullptr;
    QLineEdit* retype_ = nullptr;
};

class PasswordSetView final : public ModelView {
public:
    PasswordSetView(PasswordSetDialog& model, QWidget* parent) : ModelView(model, parent), m_(model) {
        setWindowTitle(Q(PasswordSetDialog::kTitle));
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(new QLabel(Q(PasswordSetDialog::kNote), this));
        auto* grid = new QGridLayout;
        password_ = AddMaskedRow(this, grid, "Password", "password");
        retype_ = AddMaskedRow(this, grid, "Retype Password", "retypePassword");
        layout->addLayout(grid);
        lock_ = MakeRadio(this, "lockOption", PasswordSetDialog::kLockLabel);
        lock_->setEnabled(model.lockEnabled);
        // Once clicked the option stays set, as the model keeps it.
        connect(lock_, &QRadioButton::clicked, this, [this] { m_.OnLockOption(); });
        layout->addWidget(lock_);
        AddOkCancel(layout);
    }

protected:
    bool Store() override {
        return StoreMasked(password_, m_.password) && StoreMasked(retype_, m_.retypePassword);
    }
    void Load() override {}

private:
    PasswordSetDialog& m_;
    QLineEdit* password_ = nullptr;
    QLineEdit* retype_ = nullptr;
    QRadioButton* lock_ = nullptr;
};

// Its two buttons read and rewrite the chip on the thread of the command that opened the
// dialog, which waits for it; "Return to Main Menu" only closes it.
class ByteEditView final : public ModelView {
public:
    ByteEditView(ByteEditDialog& model, QWidget* parent) : ModelView(model, parent), m_(model) {
        setWindowTitle(Q(ByteEditDialog::kTitle));
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(new QLabel(Q(ByteEditDialog::kNote), this));
        address_ = MakeEdit(this, "address");
        layout->addWidget(LabelFor(address_, ByteEditDialog::kAddressLabel));
        address_->setMaxLength(static_cast<int>(ByteEditDialog::kAddressChars));
        layout->addWidget(address_);
        shown_ = MakeEdit(this, "shownData", true);
        layout->addWidget(LabelFor(shown_, ByteEditDialog::kShownLabel));
        layout->addWidget(shown_);
        new_ = MakeEdit(this, "newData");
        layout->addWidget(LabelFor(new_, ByteEditDialog::kNewLabel));
        new_->setMaxLength(static_cast<int>(ByteEditDialog::kDataChars));
        layout->addWidget(new_);
        auto* row = new QHBoxLayout;
        QPushButton* display = MakeButton(this, "displayData", "&Display Data");
        QPushButton* replace = MakeButton(this, "replaceData", "&Replace Data");
        row->addWidget(display);
        row->addWidget(replace);
        layout->addLayout(row);
        ChipHandler(display, [this] { m_.OnDisplayData(); });
        ChipHandler(replace, [this] { m_.OnReplaceData(); });
        auto* box = new QDialogButtonBox(this);
        box->setObjectName("buttons");
        QPushButton* back = box->addButton(Q("&Return to Main Menu"), QDialogButtonBox::AcceptRole);
        back->setDefault(true);
        connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
        layout->addWidget(box);
    }

protected:
    bool Store() override {
        m_.addressText = address_->text().toStdString();
        m_.newData = new_->text().toStdString();
        return true;
    }
    void Load() override {
        shown_->setText(Q(m_.shownData));
        new_->setText(Q(m_.newData));
    }

private:
    ByteEditDialog& m_;
    QLineEdit* address_ = nullptr;
    QLineEdit* shown_ = nullptr;
    QLineEdit* new_ = nullptr;
};

}  // namespace

std::unique_ptr<QDialog> CreateOperatorDialog(DialogModel& model, QWidget* parent) {
    const std::string_view name = model.DialogName() ? model.DialogName() : "";
    if (name == "PasswordVerifyDialog") return Make<PasswordVerifyDialog, PasswordView>(model, parent);
    if (name == "ByteEditDialog") return Make<ByteEditDialog, ByteEditView>(model, parent);
    if (name == "PasswordChangeDialog") return Make<PasswordChangeDialog, PasswordChangeView>(model, parent);
    if (name == "PasswordSetDialog") return Make<PasswordSetDialog, PasswordSetView>(model, parent);
    if (name == "LockMenuTypeADialog" || name == "LockMenuDialog" || name == "RemapMenuDialog")
        return Make<OptionMenuDialog, OptionMenuView>(model, parent);
    return nullptr;
}

}  // namespace tessel::gui::views
