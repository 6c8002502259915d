#include "Events.h"

#include <algorithm>
#include <cmath>

#include "Commands.h"

namespace tessel::cli {

namespace {

bool EndsOperation(const std::string& label) { return label == "Done" || label == "Abort"; }

// The core's own texts for an operation that stopped ("Writing failed", "Update BSL reading
// error", "Bank Switch not return c0").
bool SaysFailure(const std::string& label) {
    std::string l = label;
    std::transform(l.begin(), l.end(), l.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return l == "abort" || l.find("fail") != std::string::npos || l.find("error") != std::string::npos ||
           l.find(" not ") != std::string::npos;
}

// The gate's and the detection's successes say nothing about the command that needed them.
constexpr char kGateSucceeded[] = "Password Verify succeed";
constexpr char kDetected[] = "Detect target MCU is successful!";

}  // namespace

EventStream::EventStream() : start_(std::chrono::steady_clock::now()) {}

double EventStream::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void EventStream::Watch(Target* window) {
    if (target_) target_->SetObserver(nullptr);
    target_ = window;
    if (!target_) return;
    target_->SetObserver(this);
    operation_ = target_->ProgressOperation();
    label_ = target_->ProgressLabel();
    status_ = target_->Field(ChipField::IapStatus);
}

void EventStream::OnChanged(Change what) {
    if (!target_) return;
    Each([](EventView& v) { v.StopWaiting(); });
    if (what == Change::Progress) {
        OnProgress();
        return;
    }
    if (what != Change::Fields) return;
    const std::string s = target_->Field(ChipField::IapStatus);
    if (s == status_) return;
    status_ = s;
    if (s == kGateSucceeded || s == kDetected) return;
    commandStatus_ = s;
    if (!s.empty()) Each([&](EventView& v) { v.Status(s); });
}

void EventStream::OnProgress() {
    const int operation = target_->ProgressOperation();
    if (operation != operation_) {
        operation_ = operation;
        // An operation that never said Done or Abort has ended all the same.
        if (inPhase_) EndPhase(!SaysFailure(label_));
        pendingStart_ = true;
    }
    const std::string& label = target_->ProgressLabel();
    if (label != label_) {
        label_ = label;
        if (inPhase_) {
            if (label.empty() || label == "Done") EndPhase(true);
            else if (SaysFailure(label)) EndPhase(false);
            // Otherwise the operation only renamed itself ("Upgrade is in process").
        } else if (pendingStart_ && !label.empty() && !EndsOperation(label)) {
            pendingStart_ = false;
            inPhase_ = true;
            Phase p;
            p.label = label;
            p.steps = std::max(target_->ProgressRange(), 0);
            p.stepBytes = target_->ProgressStepBytes();
            p.totalBytes = target_->ProgressTotalBytes();
            phases_.push_back(p);
            phaseStart_ = std::chrono::steady_clock::now();
            lastPercent_ = 0;
            Each([&](EventView& v) { v.PhaseStarted(phases_.back()); });
        } else if (!label.empty() && !EndsOperation(label)) {
            Each([&](EventView& v) { v.Label(label); });
        }
        return;
    }
    if (!inPhase_) return;
    Phase& p = phases_.back();
    // The bar goes back to 0 before "Done": the furthest position is the work done.
    p.done = std::max(p.done, std::min(target_->ProgressPosition(), p.steps));
    p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - phaseStart_).count();
    if (p.Percent() == lastPercent_) return;
    lastPercent_ = p.Percent();
    Each([&](EventView& v) { v.PhaseProgress(p); });
}

void EventStream::EndPhase(bool ok) {
    inPhase_ = false;
    Phase& p = phases_.back();
    p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - phaseStart_).count();
    p.failure = target_->FailureSeen();
    p.ok = ok && !p.failure;
    if (p.ok) p.done = p.steps;
    Each([&](EventView& v) { v.PhaseEnded(p); });
}

std::optional<Failure> EventStream::LastFailure() const {
    for (auto it = phases_.rbegin(); it != phases_.rend(); ++it)
        if (it->failure) return it->failure;
    return std::nullopt;
}

void EventStream::Message(const std::string& text) {
    EachEndingWait([&](EventView& v) { v.Message(text); });
}

void EventStream::Question(const std::string& text, bool answer, AnswerSource source) {
    if (!answer) declined_ = true;
    EachEndingWait([&](EventView& v) { v.Question(text, answer, source); });
}

void EventStream::Notice(const std::string& text, int waitSeconds) {
    EachEndingWait([&](EventView& v) { v.Notice(text, waitSeconds); });
}

void EventStream::Error(const std::string& text) {
    lastError_ = text;
    EachEndingWait([&](EventView& v) { v.Error(text); });
}

void EventStream::Trace(const std::string& text) {
    EachEndingWait([&](EventView& v) { v.Trace(text); });
}

void EventStream::Chip(const ChipReport& chip) {
    lastChip_ = chip;
    EachEndingWait([&](EventView& v) { v.Chip(chip); });
}

void EventStream::Output(const std::string& text) {
    EachEndingWait([&](EventView& v) { v.Output(text); });
}

void EventStream::Result(const CommandResult& result) {
    if (resultSent_) return;
    resultSent_ = true;
    CommandResult r = result;
    if (r.status.empty()) r.status = commandStatus_;
    if (!r.fields.contains("seconds")) r.fields["seconds"] = std::round(Seconds() * 1000) / 1000;
    // What went wrong as the code that saw it named it; a port that could not be had before
    // any command ran is the command line's own finding.
    if (!r.ok && !r.fields.contains("fault")) {
        Fault fault = target_ ? target_->Op().FirstFault() : Fault::None;
        if (fault == Fault::None && r.exit == kExitPortError) fault = Fault::Port;
        if (fault != Fault::None) r.fields["fault"] = FaultName(fault);
    }
    EachEndingWait([&](EventView& v) { v.Result(r); });
}

std::string ModelNote(const std::string& source) {
    if (source == "chosen") return " (chosen, not reported by the loader)";
    if (source == "assumed") return " (assumed, not reported by the loader; give --chip)";
    return "";
}

}  // namespace tessel::cli
