#include "ui/MainDialog.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>

#include "commands/ConfigCommands.h"
#include "commands/ExternalCommands.h"
#include "commands/OperatorCommands.h"
#include "commands/PasswordCommands.h"
#include "commands/UpgradeCommands.h"
#include "files/ConfigStore.h"
#include "platform/CalendarTime.h"
#include "platform/Operator.h"
#include "protocol/Primitives.h"

namespace tessel {

namespace {
std::string Format(const char* format, int value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

// Each entry's menu item or button.
constexpr std::pair<Action, int> kActionIds[] = {
    {Action::Detect11F, command::kDetect11F},
    {Action::DetectBaudAndChip, command::kDetectBaudAndChip},
    {Action::Detect11E, command::kDetect11E},
    {Action::DetectUnknown, command::kDetectUnknown},
    {Action::ResetLink, command::kResetLink},
    {Action::ExtMemSerialDialog, command::kExtMemSerialDialog},
    {Action::Exit, command::kExit},
    {Action::Read, command::kRead},
    {Action::Download, command::kDownload},
    {Action::Compare, command::kCompare},
    {Action::SectorErase, command::kSectorErase},
    {Action::ChipErase, command::kChipErase},
    {Action::Save, command::kSave},
    {Action::Print, command::kPrint},
    {Action::LockChip, command::kLockChip},
    {Action::MemoryRemap, command::kMemoryRemap},
    {Action::DoubleClock, command::kDoubleClock},
    {Action::SetResetPassword, command::kSetResetPassword},
    {Action::ChangePassword, command::kChangePassword},
    {Action::UpgradeInternalBsl, command::kUpgradeInternalBsl},
    {Action::UpgradeExternalBsl, command::kUpgradeExternalBsl},
    {Action::DownloadMonitor, command::kDownloadMonitra},
    {Action::ExternalLow, command::kExternalLow},
    {Action::ExternalHigh, command::kExternalHigh},
    {Action::BackToMcu, command::kBackToMcu},
    {Action::EditBlock0, command::kEditBlock0},
    {Action::ExecuteUserCode, command::kExecuteUserCode},
    {Action::RunUserCode, command::kRunUserCode},
    {Action::SerialTest, command::kSerialTest},
};

struct HelpText {
    int id;
    const char* title;
    const char* text;
};

constexpr HelpText kHelp[] = {
    {command::kAboutTessel, "About QMT Tessel",
     "Tessel: in-application programming of Norvik51 microcontrollers through their boot-strap "
     "loader (firmware 1.1E and 1.1F) on a serial line."},
    {command::kAboutDetect, "About DetectChip",
     "Detect Target MCU for Firmware1.1F asks for the chip type, memory mode, port and baud rate, "
     "then finds a 1.1F loader.\nDetect Target MCU for Firmware1.1E talks to a 1.1E loader at its "
     "fixed rate and offers the upgrade to 1.1F, which keeps the user's code.\nDetect an unknown "
     "firmware tries 1.1F first, then 1.1E.\n\nThe set-up dialog's Compute button gives the best "
     "standard baud rate for the target's crystal (1 MHz to 40 MHz), and Next Baud the next lower "
     "one the crystal can still produce."},
    {command::kAboutPassword, "About Password",
     "Set/Reset Password writes a new password without the old one, and erases block 0 entirely to "
     "do so. No password means a blank entry.\nChange Password needs the old password and keeps "
     "block 0.\nA firmware 1.1F loader with a password refuses to read or write the chip for any "
     "software that has not given it.\nOn the A-type chips, Set/Reset can also set the Level 3 soft "
     "lock."},
    {command::kAboutUpgrade, "About Upgrade BSL",
     "The internal boot loader can be upgraded from firmware 1.1F upward. Block 0 is not erased, and "
     "the password is kept.\nA downloaded boot-loader image starts at 0x0000 in a hex file, or at "
     "0xF000 in a binary file.\nThe upgrade works in internal memory mode only."},
    {command::kAboutByteModify, "About Byte Modify",
     "Edit data in Block 0 changes up to 16 consecutive bytes of block 0 in place.\nGive the address "
     "as four hex digits, and the data as 2-digit hex numbers separated by blanks. Fewer than 16 "
     "numbers modify only the first bytes shown."},
    {command::kAboutMonitra, "About Monitra",
     "The Monitra debug monitor occupies the first 1 KB of block 1 and the last 4 KB of block 0, and "
     "replaces the boot loader.\nTo return to the boot loader, run the conversion command script from "
     "the Keil debugger as the User's Guide describes."},
};

}  // namespace

MainDialog::MainDialog(Operator* op, Clock& clock) : Target(op, clock), prompt_(text::kReady) {}

MainDialog::~MainDialog() { Shutdown(); }

void MainDialog::Initialise(const ConfigStore& settings) {
    timerRunning_ = true;
    LoadSettings(settings);
}

void MainDialog::Shutdown() {
    timerRunning_ = false;
    Target::Shutdown();
}

void MainDialog::AddActions(Actions actions) {
    for (auto& [action, handler] : actions)
        for (const auto& [a, id] : kActionIds)
            if (a == action) RegisterHandler(id, std::move(handler));
}

int MainDialog::ProgressBarLeft(int paneLeft, int paneRight, int labelWidth, int blankWidth) {
    if (labelWidth <= 0) return paneLeft;
    return std::min(paneRight, paneLeft + labelWidth + 4 * blankWidth);
}

bool MainDialog::Route(int id) {
    auto it = handlers_.find(id);
    if (it == handlers_.end() || !it->second) return false;
    it->second();
    return true;
}

std::string MainDialog::ClockText(int hour, int minute, int second) {
    const char* half = "AM";
    if (hour >= 13) {
        hour -= 12;
        half = "PM";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, text::kPaneClock, hour, minute, second, half);
    return buf;
}

void MainDialog::TimeoutReset() {
    resetChipInfo();
    Session().flags.errorReported = false;
    Session().port.ClearLinkUp();
    LinkContext link{Session(), *this};
    EmptyLine(link);
    if (OperatorOrNull()) Op().Fail(Fault::LinkLost, text::kTimeoutReset);
}

void MainDialog::Tick(int hour, int minute, int second) {
    clockPane_ = ClockText(hour, minute, second);
    if (timerRunning_ && Session().port.IsLinkUp() && !Session().flags.longOperation && second % 10 == 0) {
        LinkContext link{Session(), *this};
        if (!LinkAnswers(link)) TimeoutReset();
    }
    TickPanes();
}

void MainDialog::TickPanes() {
    // A port chosen by name has no COM number worth showing.
    const std::string& name = Session().port.GetPortName();
    comPane_ = name.empty() ? Format(text::kPaneCom, Session().port.GetPortNumber()) : name;
    baudPane_ = Format(text::kPaneBaud, static_cast<int>(Session().port.GetBaudRate()));
    char buf[40];
    std::snprintf(buf, sizeof buf, text::kPaneDoubleClock, Session().flags.doubleClockOn ? "ON" : "OFF");
    doubleClockPane_ = buf;
    if (Session().port.IsLinkUp()) {
        const std::string chip = Field(ChipField::ChipType);
        linkPane_ = "Connected " + (chip.empty() ? std::string(Session().Chip().model) : chip) + " at " +
                    std::to_string(Session().port.GetBaudRate()) + " on " + comPane_;
    } else {
        linkPane_ = text::kNotConnected;
    }
    Notify(Change::Panes);
}

void MainDialog::TickNow() {
    const std::time_t now = std::time(nullptr);
    const std::tm tm = LocalTimeOf(now);
    Tick(tm.tm_hour, tm.tm_min, tm.tm_sec);
}

namespace {
std::optional<RuledCommand> RuledCommandFor(int id) {
    switch (id) {
        case command::kRead: return RuledCommand::Read;
        case command::kPrint: return RuledCommand::Read;
        case command::kCompare: return RuledCommand::Compare;
        case command::kSave: return RuledCommand::Save;
        case command::kDownload: return RuledCommand::Download;
        case command::kSectorErase: return RuledCommand::SectorErase;
        case command::kRunUserCode: return RuledCommand::RunUserCode;
        case command::kLockChip: return RuledCommand::LockChip;
        case command::kMemoryRemap: return RuledCommand::MemoryRemap;
        case command::kDoubleClock: return RuledCommand::DoubleClock;
        case command::kChipErase: return RuledCommand::ChipErase;
        case command::kEditBlock0: return RuledCommand::ByteEdit;
        case command::kExecuteUserCode: return RuledCommand::ExecuteUserCode;
        case command::kChangePassword: return RuledCommand::ChangePassword;
        case command::kSetResetPassword: return RuledCommand::SetResetPassword;
        case command::kUpgradeInternalBsl: return RuledCommand::UpgradeInternalBsl;
        case command::kDownloadMonitra: return RuledCommand::DownloadMonitor;
        case command::kExternalLow:
        case command::kExternalHigh: return RuledCommand::ExternalFlash;
        default: return std::nullopt;
    }
}
}  // namespace

RuleVerdict MainDialog::CommandRule(int id, std::optional<ExternalWindowState> window, bool readsOnly) const {
    const std::optional<RuledCommand> c = RuledCommandFor(id);
    if (!c) return {true, {}};
    return CommandRule(*c, window, readsOnly);
}

std::string MainDialog::CommandReason(int id) const {
    if (!RuledCommandFor(id)) return {};
    const RuleVerdict v = CommandRule(id);
    if (v.allowed) return {};
    return v.reason == kNoTargetBoard ? text::kDetectFirst : v.reason;
}

std::string MainDialog::ButtonReason(IapButton button) const {
    std::string reason = CommandReason(static_cast<int>(button));
    // The detection's own step greyed it (a failed password or version check), which the
    // rule book does not see.
    if (reason.empty() && !ButtonEnabled(button)) reason = "Not available until the chip is detected again";
    return reason;
}

void RegisterDetectCommands(MainDialog& window, DetectCommandEnv env) {
    window.AddActions(DetectActions(window, std::move(env)));
}
void RegisterFlashCommands(MainDialog& window, FlashCommandEnv env) {
    window.AddActions(FlashActions(window, std::move(env)));
}
void RegisterConfigCommands(MainDialog& window) { window.AddActions(ConfigActions(window)); }
void RegisterPasswordCommands(MainDialog& window, std::string backupDir) {
    window.AddActions(PasswordActions(window, std::move(backupDir)));
}
void RegisterUpgradeCommands(MainDialog& window, FlashCommandEnv env) {
    window.AddActions(UpgradeActions(window, std::move(env)));
}
void RegisterExternalCommands(MainDialog& window, std::string backupDir) {
    window.SetBackupDir(backupDir);
    window.AddActions(ExternalActions(window, std::move(backupDir)));
}
void RegisterOperatorCommands(MainDialog& window, std::string backupDir) {
    window.AddActions(OperatorActions(window, std::move(backupDir)));
    MainDialog* w = &window;
    for (const HelpText& h : kHelp)
        window.RegisterHandler(h.id, [w, &h] { w->Op().ShowInformation(h.title, h.text); });
}

}  // namespace tessel
