// The Qt views of the dialog models, driven through their real widgets: what the operator
// picks must reach the model on OK and only then, the model's refusals must keep the dialog
// open, and the fields must show what the model computed.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <tuple>

#include "Dialogs.h"
#include "gui/ModalOperator.h"
#include "platform/PortList.h"
#include "device/CDeviceSession.h"
#include "device/ChipCatalogue.h"
#include "files/ConfigStore.h"
#include "support/RecordingOperator.h"
#include "support/TempFolder.h"
#include "commands/CommDialogs.h"
#include "commands/ConfigCommands.h"
#include "commands/FlashDialogs.h"
#include "commands/PasswordCommands.h"
#include "commands/Texts.h"

// Failures print the widget texts readably.
static void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace tessel::gui {
namespace {

constexpr char kTooFast[] = "You can't choose a baudrate which is higher than the computed best baudrate!\n";
constexpr char kCrystalRange[] = "Please enter a number between 1 and 40.";

void Type(QWidget* dialog, const char* name, const QString& text) {
    auto* edit = Child<QLineEdit>(dialog, name);
    edit->clear();
    QTest::keyClicks(edit, text);
}
QString Text(QWidget* dialog, const char* name) { return Child<QLineEdit>(dialog, name)->text(); }
QComboBox* List(QWidget* dialog, const char* name) { return Child<QComboBox>(dialog, name); }

// Message boxes are answered as they come; each test's dialog is worked by its script, and a
// dialog that never comes, or that the script leaves open, fails the test instead of hanging it.
class DialogsGui : public testing::Test {
protected:
    DialogResult RunScripted(DialogModel& model, const std::function<void(QWidget*)>& act) {
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            ADD_FAILURE() << "no dialog named " << model.DialogName() << " to handle";
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
        });
        bool handled = false;
        modal.On(QString::fromLatin1(model.DialogName()), [&](QWidget* d) {
            guard.stop();
            handled = true;
            try {
                act(d);
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
            }
            if (QApplication::activeModalWidget() != d) return;
            ADD_FAILURE() << "the dialog is still open";
            qobject_cast<QDialog*>(d)->reject();
        });
        guard.start(5000);
        const DialogResult result = RunModelDialog(model, nullptr);
        modal.On(QString::fromLatin1(model.DialogName()), nullptr);
        EXPECT_TRUE(handled) << model.DialogName();
        return result;
    }
    void ExpectRun(DialogModel& model, DialogResult result, const std::function<void(QWidget*)>& act) {
        EXPECT_EQ(RunScripted(model, act), result) << model.DialogName();
    }
    // The text of the message box that `act` brings up.
    std::string BoxText(const std::function<void()>& act) {
        const size_t before = modal.messages.size();
        act();
        return modal.messages.size() > before ? modal.messages.back().toStdString() : "no box";
    }

    ModalOperator modal;
};

std::unique_ptr<QDialog> Show(DialogModel& model) {
    std::unique_ptr<QDialog> dialog = CreateModelDialog(model, nullptr);
    if (!dialog) throw std::runtime_error("no view for the model");
    dialog->show();
    if (!QTest::qWaitForWindowExposed(dialog.get())) throw std::runtime_error("dialog not exposed");
    return dialog;
}

struct Rig {
    Rig() : session(&op) {
        session.chipType = 2;
        session.RefreshGeometry();
        session.AllocateImages();
    }
    test::RecordingOperator op;
    CDeviceSession session;
    test::TempFolder folder;
    ConfigStore store{std::string(folder)};
};

class NoViewModel : public DialogModel {
public:
    explicit NoViewModel(const char* name) : name_(name) {}
    const char* DialogName() const override { return name_; }
    int okPresses = 0;
    OkOutcome PressOk() override {
        ++okPresses;
        return OkOutcome::CloseOk;
    }

private:
    const char* name_;
};

TEST_F(DialogsGui, EachModelGetsItsNamedTitledDialogAndOthersNoneAndTheChipDialogActsOnOkOnly) {
    Rig r;
    ChipSelectDialog chip(r.session);
    CommSetupDialog comm(r.session, r.store, r.op);
    ExtMemCommDialog ext(r.session, r.store, r.op);
    SectorRangeDialog range(r.session);
    FileSectorDialog download(r.session, FileSectorDialog::Kind::Download);
    FileSectorDialog compare(r.session, FileSectorDialog::Kind::Compare);
    SaveDialog save(r.session);
    PasswordVerifyDialog password;
    RemapMenuDialog remap(r.op, 2);
    LockMenuDialog lock(r.op);
    LockMenuTypeADialog lockA(r.op);
    PasswordChangeDialog change;
    PasswordSetDialog set(3);
    const std::vector<std::pair<DialogModel*, const char*>> expected = {
        {&chip, "Select MCU Chip Type and Memory Mode"},
        {&comm, "RS232 Configuration and  Detect Target MCU"},
        {&ext, "Serial Communication (External Memory Mode)"},
        {&range, ""},
        {&download, "Download Hex or Binary File into Flash Memory"},
        {&compare, "Compare Hex or Binary File with Flash Memory"},
        {&save, "Save Flash Contents into a Disk File"},
        {&password, "Password Verify"},
        {&remap, "Memory Remap Menu"},
        {&lock, "Dialog"},
        {&lockA, "A Type Lock Menu"},
        {&change, "Password Change"},
        {&set, "Password Set/Reset"},
    };
    for (const auto& [model, title] : expected) {
        std::unique_ptr<QDialog> dialog = CreateModelDialog(*model, nullptr);
        ASSERT_NE(dialog, nullptr) << model->DialogName();
        EXPECT_EQ(dialog->objectName().toStdString(), model->DialogName());
        EXPECT_EQ(dialog->windowTitle().toStdString(), title);
        EXPECT_NE(dialog->findChild<QDialogButtonBox*>("buttons"), nullptr) << model->DialogName();
    }

    // A name this program has no view for, and a known name on a model of another kind.
    NoViewModel unknown("FontDialog");
    NoViewModel impostor("SaveDialog");
    EXPECT_EQ(CreateModelDialog(unknown, nullptr), nullptr);
    EXPECT_EQ(CreateModelDialog(impostor, nullptr), nullptr);
    EXPECT_EQ(RunModelDialog(unknown, nullptr), DialogResult::Cancel);
    EXPECT_EQ(unknown.okPresses, 0);

    // The chip dialog opens on the session's choice and changes the session on OK only.
    const auto chooseH32BExternal = [](QWidget* d) {
        EXPECT_EQ(List(d, "chipType")->currentIndex(), 1) << "the session's chip type";
        EXPECT_TRUE(Child<QRadioButton>(d, "memoryInternal")->isChecked());
        List(d, "chipType")->setCurrentIndex(4);
        Press(Child<QRadioButton>(d, "memoryExternal"));
    };
    for (const bool ok : {false, true}) {
        ChipSelectDialog model(r.session);
        ExpectRun(model, ok ? DialogResult::Ok : DialogResult::Cancel, [&](QWidget* d) {
            chooseH32BExternal(d);
            ok ? PressOk(d) : PressCancel(d);
        });
        EXPECT_EQ(r.session.chipType, ok ? 5 : 2);
        EXPECT_EQ(r.session.memoryMode, ok ? kExternalMemory : kInternalMemory);
    }
    EXPECT_EQ(r.session.StartAddress(1), 0xE000) << "the geometry follows the new chip";

    // A session whose chip was never chosen opens with nothing selected.
    r.session.chipType = 0;
    r.session.memoryMode = 0;
    ChipSelectDialog blank(r.session);
    std::unique_ptr<QDialog> dialog = CreateModelDialog(blank, nullptr);
    EXPECT_EQ(List(dialog.get(), "chipType")->currentIndex(), -1);
    EXPECT_FALSE(Child<QRadioButton>(dialog.get(), "memoryInternal")->isChecked());
    EXPECT_FALSE(Child<QRadioButton>(dialog.get(), "memoryExternal")->isChecked());
    // OK waits for both choices.
    QAbstractButton* ok = Child<QDialogButtonBox>(dialog.get(), "buttons")->button(QDialogButtonBox::Ok);
    EXPECT_FALSE(ok->isEnabled());
    List(dialog.get(), "chipType")->setCurrentIndex(3);
    EXPECT_FALSE(ok->isEnabled());
    Child<QRadioButton>(dialog.get(), "memoryInternal")->setChecked(true);
    EXPECT_TRUE(ok->isEnabled());
}

TEST_F(DialogsGui, CommSetupShowsWhatComputeAndNextBaudFindForTheTypedCrystalAndRefusesABadOne) {
    // A session without a crystal opens at the default one.
    Rig r;
    r.session.port.SetPortNumber(3);
    r.session.crystalMHz = 0.0;
    CommSetupDialog model(r.session, r.store, r.op);
    model.FirstExchange({"sim:NX31A32"});
    std::unique_ptr<QDialog> d = Show(model);

    EXPECT_EQ(List(d.get(), "port")->currentText(), "COM3") << "the port chosen before is listed though absent";
    // The documented rates, then the two that 11.0592 MHz makes beyond them, marked so.
    EXPECT_EQ(List(d.get(), "rate")->count(), 9);
    EXPECT_EQ(List(d.get(), "rate")->itemText(7), "57600 (beyond the loader's documented list)");
    EXPECT_EQ(List(d.get(), "rate")->itemText(8), "115200 (beyond the loader's documented list)");
    EXPECT_EQ(List(d.get(), "rate")->currentText(), "38400");
    EXPECT_EQ(QStringList({Text(d.get(), "crystal"), Text(d.get(), "recommended"), Text(d.get(), "reload")}),
              QStringList({"11.0592", "38400", "FFF7"}));
    EXPECT_TRUE(Child<QLineEdit>(d.get(), "recommended")->isReadOnly());
    EXPECT_FALSE(Child<QLineEdit>(d.get(), "reload")->isVisible()) << "the reload travels unseen";

    // Compute and Next Baud select the rate they found; the walk stops at the slowest rate.
    const struct {
        const char* crystal;  // typed, then Compute; nullptr: Next Baud
        int presses;
        const char *rate, *reload;
    } steps[] = {{"1", 1, "2400", "FFF3"}, {"11.0592", 1, "38400", "FFF7"}, {nullptr, 1, "19200", "FFEE"},
                 {nullptr, 10, "600", "FDC0"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.rate);
        if (step.crystal) Type(d.get(), "crystal", step.crystal);
        for (int i = 0; i < step.presses; ++i) Press(d.get(), step.crystal ? "compute" : "nextBaud");
        EXPECT_EQ(Text(d.get(), "recommended"), step.rate);
        EXPECT_EQ(Text(d.get(), "reload"), step.reload);
        if (step.crystal) {
            EXPECT_DOUBLE_EQ(model.crystal, std::stod(step.crystal));
        }
        EXPECT_EQ(List(d.get(), "rate")->currentText(), step.rate);
    }
    EXPECT_TRUE(d->isVisible());
    EXPECT_TRUE(r.op.messages.empty());

    // A crystal that is no number or out of range shows the message and keeps the dialog open.
    Type(d.get(), "crystal", "twelve");
    EXPECT_EQ(BoxText([&] { PressOk(d.get()); }), kCrystalRange);
    EXPECT_TRUE(d->isVisible());
    EXPECT_TRUE(r.op.messages.empty()) << "the model's OK never ran";
    EXPECT_DOUBLE_EQ(model.crystal, 11.0592) << "a text that is no number does not reach the model";
    EXPECT_EQ(Text(d.get(), "crystal"), "twelve") << "the operator's text stays to be corrected";

    EXPECT_DOUBLE_EQ(r.session.crystalMHz, 0.0) << "the session's crystal as it was";

    // Compute reads the field the same way and computes nothing from a bad crystal.
    Type(d.get(), "crystal", "0.5");
    EXPECT_EQ(BoxText([&] { Press(d.get(), "compute"); }), kCrystalRange);
    EXPECT_EQ(Text(d.get(), "recommended"), "600");

    Type(d.get(), "crystal", "12");
    PressOk(d.get());
    EXPECT_EQ(d->result(), QDialog::Accepted);
    EXPECT_DOUBLE_EQ(r.session.crystalMHz, 12.0);
}

// The port list puts the devices present first, the stand-in boards next and the numbered
// names last, only the chosen one until all are asked for; whichever entry is picked, the
// model gets its own position for it.
TEST_F(DialogsGui, PortListShowsDevicesFirstThenNumberedPortsThenStandInsAndMapsBack) {
    Rig r;
    r.session.port.SetPortNumber(2);
    CommSetupDialog model(r.session, r.store, r.op);
    model.FirstExchange({"/dev/ttyUSB7", "sim:NX31A32", "/dev/serial/by-id/usb-adapter-if00"});
    SetDeviceTreeRoot("/nonexistent");  // a machine with no serial device of its own
    std::unique_ptr<QDialog> d = Show(model);
    SetDeviceTreeRoot("");
    QComboBox* ports = List(d.get(), "port");
    ASSERT_EQ(ports->count(), 4);
    EXPECT_TRUE(ports->itemText(0).startsWith("/dev/ttyUSB7"));
    EXPECT_TRUE(ports->itemText(1).startsWith("/dev/serial/by-id/usb-adapter-if00"));
    EXPECT_EQ(ports->itemText(2), "sim:NX31A32");
    EXPECT_EQ(ports->itemText(3), "COM2");
    EXPECT_EQ(ports->currentText(), "COM2") << "the session's port is preselected";
    Child<QCheckBox>(d.get(), "showAllComNames")->setChecked(true);
    ASSERT_EQ(ports->count(), 259);
    EXPECT_EQ(ports->itemText(3), "COM1");
    EXPECT_EQ(ports->itemText(258), "COM256");
    EXPECT_EQ(ports->currentText(), "COM2") << "the choice survives the longer list";
    ports->setCurrentIndex(1);
    PressOk(d.get());
    EXPECT_EQ(model.ports[static_cast<size_t>(model.portSelection)], "/dev/serial/by-id/usb-adapter-if00");
}

TEST_F(DialogsGui, CommSetupKeepsOpenForARateAboveTheBestThenClosesForAGoodOneOrAsCancelAfterDetection) {
    Rig r;
    CommSetupDialog model(r.session, r.store, r.op);
    model.FirstExchange();
    ExpectRun(model, DialogResult::Ok, [&](QWidget* d) {
        Type(d, "crystal", "1");
        List(d, "rate")->setCurrentIndex(0);  // 38400, faster than a 1 MHz crystal makes
        Child<QCheckBox>(d, "showAllComNames")->setChecked(true);
        List(d, "port")->setCurrentIndex(List(d, "port")->findText("COM7"));
        PressOk(d);
        EXPECT_EQ(QApplication::activeModalWidget(), d) << "the refusal keeps the dialog open";
        EXPECT_EQ(r.op.messages, std::vector<std::string>{kTooFast});
        EXPECT_EQ(List(d, "rate")->currentText(), "2400") << "the best rate is offered again";
        EXPECT_FALSE(std::filesystem::exists(r.store.SettingsFilePath())) << "written before OK held";
        List(d, "rate")->setCurrentIndex(5);  // 1200
        PressOk(d);
    });
    EXPECT_EQ(r.op.messages.size(), 1u);
    EXPECT_EQ(std::tuple(r.session.port.GetBaudRate(), r.session.port.GetPortNumber(), r.session.crystalMHz),
              std::tuple(1200u, 7, 1.0));

    // 115200, listed for 11.0592 MHz, is refused once the crystal no longer makes it, and
    // taken and stored as it is while it does.
    r.session.crystalMHz = 11.0592;
    CommSetupDialog fast(r.session, r.store, r.op);
    fast.FirstExchange();
    ExpectRun(fast, DialogResult::Ok, [&](QWidget* d) {
        Type(d, "crystal", "12");
        List(d, "rate")->setCurrentIndex(fast.PositionOf(115200));
        PressOk(d);
        EXPECT_EQ(QApplication::activeModalWidget(), d);
        EXPECT_EQ(List(d, "rate")->currentText(), "38400");
        Type(d, "crystal", "11.0592");
        List(d, "rate")->setCurrentIndex(fast.PositionOf(115200));
        PressOk(d);
    });
    // Stored as chosen, for the next start.
    EXPECT_EQ(r.session.port.GetBaudRate(), 115200u);
    CommSettings read;
    ASSERT_TRUE(r.store.ReadStartupSettings(read));
    EXPECT_EQ(std::tuple(read.portNumber, read.baudRate, read.crystalMHz), std::tuple(7, 115200u, 11.0592));

    // After a detection OK closes the dialog as a cancel and writes nothing.
    r.session.port.SetLinkUp();
    CommSetupDialog linked(r.session, r.store, r.op);
    linked.FirstExchange();
    ExpectRun(linked, DialogResult::Cancel, [](QWidget* d) {
        List(d, "port")->setCurrentIndex(List(d, "port")->findText("COM9"));
        PressOk(d);
    });
    EXPECT_EQ(r.op.messages.back(), text::kDetectedEarlier);
    EXPECT_EQ(r.session.port.GetPortNumber(), 7);
    EXPECT_EQ(r.store.ReadRegistryValue("COMMPORT"), "7");
}

TEST_F(DialogsGui, ExtMemComputeShowsTheBestAndReplaceOnlyMovesTheRate) {
    Rig r;
    r.session.port.SetBaudRate(9600);
    r.session.crystalMHz = 12.0;
    ExtMemCommDialog model(r.session, r.store, r.op);
    model.FirstExchange({"/dev/ttyUSB0"});
    ExpectRun(model, DialogResult::Ok, [&](QWidget* d) {
        EXPECT_EQ(List(d, "rate")->currentText(), "9600") << "the session's rate";
        EXPECT_EQ(Text(d, "crystal"), "11.0592") << "the session's crystal is not read";

        Type(d, "crystal", "1");
        Press(d, "compute");
        EXPECT_EQ(Text(d, "recommended"), "2400");
        EXPECT_EQ(Text(d, "reload"), "65523") << "shown in decimal";
        EXPECT_EQ(List(d, "rate")->currentText(), "9600") << "Compute leaves the lists alone";

        Type(d, "crystal", "3");  // typed, not computed
        Press(d, "replace");
        EXPECT_EQ(List(d, "rate")->currentText(), "2400");
        EXPECT_EQ(Text(d, "crystal"), "3");
        model.bestRate = 300;  // a rate the list cannot show
        Press(d, "replace");
        EXPECT_EQ(List(d, "rate")->currentText(), "2400");

        Type(d, "crystal", "");
        EXPECT_EQ(BoxText([&] { PressOk(d); }), kCrystalRange);
        EXPECT_EQ(QApplication::activeModalWidget(), d);
        EXPECT_FALSE(std::filesystem::exists(r.store.SettingsFilePath()));
        Type(d, "crystal", "1");
        List(d, "rate")->setCurrentIndex(0);  // faster than 1 MHz makes: this dialog does not refuse it
        List(d, "port")->setCurrentIndex(List(d, "port")->findText("/dev/ttyUSB0", Qt::MatchStartsWith));
        PressOk(d);
    });
    EXPECT_EQ(r.session.port.GetBaudRate(), 38400u);
    EXPECT_EQ(r.session.port.GetPortName(), "/dev/ttyUSB0");
    EXPECT_DOUBLE_EQ(r.session.crystalMHz, 12.0) << "the session's crystal as it was";
    EXPECT_TRUE(r.op.messages.empty());
    EXPECT_EQ(r.store.ReadPortName(), "/dev/ttyUSB0");
    std::ifstream settings(r.store.SettingsFilePath());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(settings), {}), "COM1 BAUD38400 $$")
        << "the short form, which the next start ignores";
}

TEST_F(DialogsGui, SectorRangeDownloadCompareAndSaveTakeTheFileNameAndSectorsOnOkOnly) {
    Rig r;
    r.session.rangeDialogBusy = true;
    SectorRangeDialog range(r.session, 3);
    ExpectRun(range, DialogResult::Ok, [&](QWidget* d) {
        QComboBox* start = List(d, "startSector");
        QComboBox* count = List(d, "count");
        ASSERT_EQ(start->count(), 256 + 64);
        EXPECT_EQ(start->currentIndex(), 0);
        ASSERT_EQ(count->count(), 256);
        EXPECT_EQ(count->currentIndex(), 3) << "the caller's preselection";
        start->setCurrentIndex(300);
        count->setCurrentIndex(10);
        PressOk(d);
    });
    EXPECT_EQ(std::pair(range.startIndex, range.countIndex), std::pair(300, 10));

    r.session.rangeDialogBusy = false;
    for (const auto kind : {FileSectorDialog::Kind::Download, FileSectorDialog::Kind::Compare}) {
        FileSectorDialog model(r.session, kind);
        ExpectRun(model, DialogResult::Ok, [&](QWidget* d) {
            EXPECT_EQ(List(d, "startSector")->count(), static_cast<int>(model.sectors.size()));
            EXPECT_EQ(d->findChild<QComboBox*>("count"), nullptr) << "no range list";
            // Typed keys are ASCII only; the rest of the name arrives as a chooser puts it.
            Type(d, "fileName", "/tmp/b");
            Child<QLineEdit>(d, "fileName")->insert(QString::fromUtf8("\xc3\xa4nk 1.hex"));
            List(d, "startSector")->setCurrentIndex(257);
            PressOk(d);
        });
        EXPECT_EQ(model.fileName, "/tmp/b\xc3\xa4nk 1.hex");
        EXPECT_EQ(model.startIndex, 257);
    }

    // Save's radio buttons set the text mode.
    SaveDialog model(r.session);
    ExpectRun(model, DialogResult::Ok, [&](QWidget* d) {
        EXPECT_TRUE(Child<QRadioButton>(d, "textFile")->isChecked()) << "text by default";
        EXPECT_EQ(List(d, "startSector")->count(), 256 + 64);
        EXPECT_EQ(List(d, "count")->count(), 256);
        Press(Child<QRadioButton>(d, "binaryFile"));
        Type(d, "fileName", "flash.bin");
        List(d, "count")->setCurrentIndex(16);
        PressOk(d);
    });
    EXPECT_EQ(std::tuple(model.textMode, model.fileName, model.countIndex), std::tuple(0, "flash.bin", 16));

    ExpectRun(model, DialogResult::Ok, [&](QWidget* d) {
        EXPECT_TRUE(Child<QRadioButton>(d, "binaryFile")->isChecked()) << "the model's mode";
        EXPECT_EQ(Text(d, "fileName"), "flash.bin");
        Type(d, "fileName", "flash.txt");
        EXPECT_TRUE(Child<QRadioButton>(d, "textFile")->isChecked()) << "the name's kind";
        PressOk(d);
    });
    EXPECT_EQ(model.textMode, 1);
}

// Every choice burns one-time bits: nothing is checked on opening, and the chip's unavailable
// choices cannot be clicked. (OK without a choice, and each chip's choices: OptionMenus and
// LockChip in tests/ui.)
TEST_F(DialogsGui, OptionMenusStartUncheckedAndOfferOnlyTheChipsChoices) {
    Rig r;
    RemapMenuDialog remap(r.op, 2);
    ExpectRun(remap, DialogResult::Ok, [&](QWidget* d) {
        const std::pair<const char*, bool> radios[] = {
            {"option1071", true}, {"option1072", true}, {"option1073", true},
            {"option1074", false}, {"option1075", false}};
        for (const auto& [name, enabled] : radios) {
            EXPECT_EQ(Child<QRadioButton>(d, name)->isEnabled(), enabled) << name;
            EXPECT_FALSE(Child<QRadioButton>(d, name)->isChecked()) << name;
        }
        Press(Child<QRadioButton>(d, "option1072"));
        PressOk(d);
    });
    EXPECT_EQ(remap.Option(), 2);
}

TEST_F(DialogsGui, PasswordFieldsAreMaskedLimitedAndEmptyAndTheLockOptionIsATypeOnly) {
    PasswordChangeDialog change;
    change.oldPassword = "stale";
    ExpectRun(change, DialogResult::Ok, [&](QWidget* d) {
        for (const char* name : {"oldPassword", "newPassword", "retypePassword"}) {
            EXPECT_EQ(Child<QLineEdit>(d, name)->echoMode(), QLineEdit::Password) << name;
            EXPECT_TRUE(Text(d, name).isEmpty()) << name;
        }
        Type(d, "oldPassword", "old");
        Type(d, "newPassword", "new");
        Type(d, "retypePassword", "neW");
        PressOk(d);
    });
    EXPECT_EQ(std::tuple(change.oldPassword, change.newPassword, change.retypePassword), std::tuple("old", "new", "neW"))
        << "the command, not the view, compares them";

    PasswordSetDialog hl(3);
    ExpectRun(hl, DialogResult::Cancel, [&](QWidget* d) {
        EXPECT_FALSE(Child<QRadioButton>(d, "lockOption")->isEnabled());
        PressCancel(d);
    });
    PasswordSetDialog a(1);
    ExpectRun(a, DialogResult::Ok, [&](QWidget* d) {
        EXPECT_FALSE(Child<QRadioButton>(d, "lockOption")->isChecked());
        Press(Child<QRadioButton>(d, "lockOption"));
        Type(d, "password", "p");
        Type(d, "retypePassword", "p");
        PressOk(d);
    });
    EXPECT_TRUE(a.lockOption);
    EXPECT_EQ(a.password, "p");

    // The gate's field is masked, limited and never prefilled.
    const std::string typed(40, 'k');
    PasswordVerifyDialog model;
    model.password = "earlier";
    ExpectRun(model, DialogResult::Ok, [&](QWidget* d) {
        auto* field = Child<QLineEdit>(d, "password");
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        EXPECT_EQ(field->text(), "");
        Type(d, "password", QString::fromStdString(typed));
        EXPECT_EQ(field->text().size(), 31);
        PressOk(d);
    });
    EXPECT_EQ(model.password, typed.substr(0, 31));
}

}  // namespace
}  // namespace tessel::gui
