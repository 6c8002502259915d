#include "commands/Target.h"

#include <algorithm>

#include "commands/MemoryView.h"
#include "files/ConfigStore.h"
#include "protocol/Primitives.h"

namespace tessel {

namespace {
constexpr IapButton kAllButtons[] = {IapButton::Download, IapButton::DnloadRunUserCode, IapButton::Read,
                                     IapButton::SectorErase, IapButton::ChipErase, IapButton::LockChip,
                                     IapButton::MemoryRemap};
}  // namespace

Target::Target(Operator* op, Clock& clock)
    : op_(op), session_(op, clock), title_(text::kTitle), security_(text::kSecurityAtStart) {
    memory_ = std::make_unique<MemoryView>(session_, op_ ? *op_ : static_cast<Operator&>(silent_));
    memory_->SetOnChanged([this] { Notify(Change::Memory); });
    memory_->SetOnRowsChanged([this] { Notify(Change::SectorRows); });
    // Every button starts enabled: before a detection each command answers with the
    // "No target board has been located!!!" of its pre-conditions, which tells the operator
    // what to do better than a greyed-out button.
    for (IapButton b : kAllButtons) buttons_[b] = true;
}

Target::~Target() { Shutdown(); }

void Target::LoadSettings(const ConfigStore& settings) {
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

void Target::Shutdown() {
    session_.port.Close();
    if (session_.flags.workerRunning || worker_.Running()) StopLinkWorker(worker_);
}

void Target::setProgressLabel(const std::string& text) {
    progressLabel_ = text;
    Notify(Change::Progress);
}

void Target::setProgressRange(int upper) {
    progressVisible_ = true;
    progressRange_ = upper;
    ++progressOperation_;
    progressStepBytes_ = 0;
    progressTotalBytes_ = 0;
    progressFailure_.reset();
    Notify(Change::Progress);
}

void Target::stepProgress() {
    progressVisible_ = true;
    progressPosition_ = std::min(progressPosition_ + 1, std::max(progressRange_, 0));
    Notify(Change::Progress);
}

void Target::resetProgress() {
    progressVisible_ = true;
    progressPosition_ = 0;
    Notify(Change::Progress);
}

void Target::SetField(ChipField field, const std::string& text) {
    fields_[field] = text;
    Notify(Change::Fields);
}

std::string Target::Field(ChipField field) const {
    auto it = fields_.find(field);
    return it == fields_.end() ? std::string() : it->second;
}

void Target::setSecurityLine(const std::string& text) {
    security_ = text;
    Notify(Change::Security);
}

void Target::resetChipInfo() {
    fields_.clear();
    session_.loaderFirmware = LoaderFirmware::Unknown;
    security_ = text::kSecurityUnknown;
    Notify(Change::Fields);
    Notify(Change::Security);
}

void Target::EnableButton(IapButton button, bool enabled) {
    buttons_[button] = enabled;
    Notify(Change::Buttons);
}

bool Target::ButtonEnabled(IapButton button) const {
    auto it = buttons_.find(button);
    return it != buttons_.end() && it->second;
}

void Target::SetTitle(const std::string& title) {
    title_ = title;
    Notify(Change::Title);
}

void Target::SetTab(int tab) {
    tab_ = tab;
    Notify(Change::Tab);
}

RuleVerdict Target::CommandRule(RuledCommand command, std::optional<ExternalWindowState> window,
                                bool readsOnly) const {
    RuleState state = RuleStateOf(session_, Field(ChipField::FwVersion));
    if (window) state.window = *window;
    if (readsOnly) state.chipTypeAssumed = false;
    return CheckCommandRule(command, state);
}

bool Target::Allows(RuledCommand command) {
    const RuleVerdict v = CommandRule(command);
    if (v.allowed) return true;
    // A board not located is shown as the fault it always was; the command is still refused.
    if (!session_.IsLinkUp()) {
        refusal_ = v.reason;
        op_->Fail(v.reason);
    } else {
        Refuse(v.reason);
    }
    return false;
}

void Target::Refuse(const std::string& reason) {
    refusal_ = reason;
    op_->Warn(reason);
}

void Target::BeginCommand() {
    SetCommandSucceeded(false);
    result_.clear();
    details_.clear();
    refusal_.clear();
    declined_ = false;
    if (op_) op_->ClearFault();
    // What the last command's bar and compare found is no finding of this one.
    progressFailure_.reset();
    memory_->ClearMarks();
}

CommandResult Target::RunCommand(const std::function<bool()>& command) {
    BeginCommand();
    SetCommandSucceeded(command());
    CommandResult r;
    r.summary = result_;
    r.reason = refusal_;
    if (!commandSucceeded_) r.failure = progressFailure_;
    if (commandSucceeded_) r.outcome = Outcome::Done;
    else if (!refusal_.empty()) r.outcome = Outcome::Refused;
    else if (declined_) r.outcome = Outcome::Declined;
    else if (session_.flags.stop.Requested()) r.outcome = Outcome::Stopped;
    else r.outcome = Outcome::Failed;
    // A fault met on the way to a success (a retried handshake) is no cause of a later failure.
    if (op_) {
        if (!r.Ok()) r.fault = op_->FirstFault();
        else op_->ClearFault();
    }
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
