#include "ui/MainDialog.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>

#include "files/ConfigStore.h"
#include "platform/CalendarTime.h"
#include "platform/Operator.h"
#include "protocol/Primitives.h"
#include "ui/MemoryView.h"
#include "ui/Texts.h"

namespace tessel {

namespace {
constexpr IapButton kAllButtons[] = {IapButton::Download, IapButton::DnloadRunUserCode, IapButton::Read,
                                     IapButton::SectorErase, IapButton::ChipErase, IapButton::LockChip,
                                     IapButton::MemoryRemap};

std::string Format(const char* format, int value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}
}  // namespace

MainDialog::MainDialog(Operator* op, Clock& clock)
    : op_(op), session_(op, clock), title_(text::kTitle), security_(text::kSecurityAtStart),
      prompt_(text::kReady) {
    memory_ = std::make_unique<MemoryView>(session_, op_ ? *op_ : static_cast<Operator&>(silent_));
    memory_->SetOnChanged([this] { Notify(Change::Memory); });
    memory_->SetOnRowsChanged([this] { Notify(Change::SectorRows); });
    // Every button starts enabled: before a detection each command answers with the
    // "No target board has been located!!!" of its pre-conditions, which tells the operator
    // what to do better than a greyed-out button.
    for (IapButton b : kAllButtons) buttons_[b] = true;
}

MainDialog::~MainDialog() { Shutdown(); }

void MainDialog::Initialise(const ConfigStore& settings) {
    timerRunning_ = true;
    fields_.clear();
    session_.loaderFirmware = LoaderFirmware::Unknown;
    session_.flags.userCodeRunning = false;
    session_.flags.workerRunning = false;
    session_.flags.errorReported = false;
    CommSettings s;
    s.portNumber = session_.port.GetPortNumber();
    s.baudRate = session_.port.GetBaudRate();
    s.crystalMHz = session_.crystalMHz;
    if (settings.ReadStartupSettings(s)) {
        session_.port.SetPortNumber(s.portNumber);
        session_.port.SetBaudRate(s.baudRate);
        session_.crystalMHz = s.crystalMHz;
    }
    if (auto name = settings.ReadPortName()) session_.port.SetPortName(*name);
    TickPanes();
}

void MainDialog::ClearMarks() { memory_->ClearMarks(); }

void MainDialog::Shutdown() {
    timerRunning_ = false;
    session_.port.Close();
    if (session_.flags.workerRunning || worker_.Running()) StopLinkWorker(worker_);
}

void MainDialog::setProgressLabel(const std::string& text) {
    progressLabel_ = text;
    Notify(Change::Progress);
}

void MainDialog::setProgressRange(int upper) {
    progressVisible_ = true;
    progressRange_ = upper;
    ++progressOperation_;
    progressStepBytes_ = 0;
    progressTotalBytes_ = 0;
    progressFailure_.reset();
    Notify(Change::Progress);
}

void MainDialog::stepProgress() {
    progressVisible_ = true;
    progressPosition_ = std::min(progressPosition_ + 1, std::max(progressRange_, 0));
    Notify(Change::Progress);
}

void MainDialog::resetProgress() {
    progressVisible_ = true;
    progressPosition_ = 0;
    Notify(Change::Progress);
}

int MainDialog::ProgressBarLeft(int paneLeft, int paneRight, int labelWidth, int blankWidth) {
    if (labelWidth <= 0) return paneLeft;
    return std::min(paneRight, paneLeft + labelWidth + 4 * blankWidth);
}

void MainDialog::SetField(ChipField field, const std::string& text) {
    fields_[field] = text;
    Notify(Change::Fields);
}

std::string MainDialog::Field(ChipField field) const {
    auto it = fields_.find(field);
    return it == fields_.end() ? std::string() : it->second;
}

void MainDialog::setSecurityLine(const std::string& text) {
    security_ = text;
    Notify(Change::Security);
}

void MainDialog::resetChipInfo() {
    fields_.clear();
    session_.loaderFirmware = LoaderFirmware::Unknown;
    security_ = text::kSecurityUnknown;
    Notify(Change::Fields);
    Notify(Change::Security);
}

void MainDialog::EnableButton(IapButton button, bool enabled) {
    buttons_[button] = enabled;
    Notify(Change::Buttons);
}

bool MainDialog::ButtonEnabled(IapButton button) const {
    auto it = buttons_.find(button);
    return it != buttons_.end() && it->second;
}

bool MainDialog::Route(int id) {
    auto it = handlers_.find(id);
    if (it == handlers_.end() || !it->second) return false;
    it->second();
    return true;
}

void MainDialog::SetTitle(const std::string& title) {
    title_ = title;
    Notify(Change::Title);
}

void MainDialog::SetTab(int tab) {
    tab_ = tab;
    Notify(Change::Tab);
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
    session_.flags.errorReported = false;
    session_.port.ClearLinkUp();
    LinkContext link{session_, *this};
    EmptyLine(link);
    if (op_) op_->Fail(text::kTimeoutReset);
}

void MainDialog::Tick(int hour, int minute, int second) {
    clockPane_ = ClockText(hour, minute, second);
    if (timerRunning_ && session_.port.IsLinkUp() && !session_.flags.longOperation && second % 10 == 0) {
        LinkContext link{session_, *this};
        if (!LinkAnswers(link)) TimeoutReset();
    }
    TickPanes();
}

void MainDialog::TickPanes() {
    // A port chosen by name has no COM number worth showing.
    const std::string& name = session_.port.GetPortName();
    comPane_ = name.empty() ? Format(text::kPaneCom, session_.port.GetPortNumber()) : name;
    baudPane_ = Format(text::kPaneBaud, static_cast<int>(session_.port.GetBaudRate()));
    char buf[40];
    std::snprintf(buf, sizeof buf, text::kPaneDoubleClock, session_.flags.doubleClockOn ? "ON" : "OFF");
    doubleClockPane_ = buf;
    if (session_.port.IsLinkUp()) {
        const std::string chip = Field(ChipField::ChipType);
        linkPane_ = "Connected " + (chip.empty() ? std::string(session_.Chip().model) : chip) + " at " +
                    std::to_string(session_.port.GetBaudRate()) + " on " + comPane_;
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

RuleVerdict MainDialog::CommandRule(RuledCommand command, std::optional<ExternalWindowState> window,
                                    bool readsOnly) const {
    RuleState state = RuleStateOf(session_, Field(ChipField::FwVersion));
    if (window) state.window = *window;
    if (readsOnly) state.chipTypeAssumed = false;
    return CheckCommandRule(command, state);
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

bool MainDialog::Allows(RuledCommand command) {
    const RuleVerdict v = CheckCommandRule(command, RuleStateOf(session_, Field(ChipField::FwVersion)));
    if (!v.allowed) {
        refusal_ = v.reason;
        op_->Warn(v.reason);
    }
    return v.allowed;
}

CommandResult MainDialog::RunCommand(const std::function<bool()>& command) {
    BeginCommand();
    SetCommandSucceeded(command());
    CommandResult r;
    r.summary = result_;
    r.reason = refusal_;
    if (commandSucceeded_) r.outcome = Outcome::Done;
    else if (!refusal_.empty()) r.outcome = Outcome::Refused;
    else if (declined_) r.outcome = Outcome::Declined;
    else if (session_.flags.stop.Requested()) r.outcome = Outcome::Stopped;
    else r.outcome = Outcome::Failed;
    return r;
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Done: return "done";
        case Outcome::Refused: return "refused";
        case Outcome::Declined: return "declined";
        case Outcome::Stopped: return "stopped";
        case Outcome::Failed: return "failed";
    }
    return "failed";
}

}  // namespace tessel
