#pragma once
// The chip as every front end drives it: the session and its line, the 1.1E link worker, the
// operator through whom questions and messages go, what the chip is known to hold (fields,
// security line, memory view), the progress of the running command, the passwords and what a
// command keeps until a later one (block 0's areas while the external flash is open). The
// commands are functions over it; the desktop window, the command line and the page each hold
// one and draw what it tells its observer. It knows no menu, no timer and no window.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands/Commands.h"
#include "commands/Texts.h"
#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "files/Backup.h"
#include "platform/Operator.h"
#include "protocol/WindowView.h"
#include "serial/LinkWorker.h"

namespace tessel {

class ConfigStore;
class MemoryView;

// What changed, for a view to redraw just that.
// SectorRows: only the sector list's status words changed (a read under way).
enum class Change { Fields, Security, Buttons, Progress, Panes, Title, Tab, Memory, SectorRows, Close };

class TargetObserver {
public:
    virtual ~TargetObserver() = default;
    virtual void OnChanged(Change what) = 0;
};

// What the detections need beyond a request: where the set-up dialogs keep the operator's
// choice, and the ports they offer besides "COM1" to "COM256" (asked each time one opens).
struct DetectCommandEnv {
    const ConfigStore* store = nullptr;
    std::function<std::vector<std::string>()> namedPorts;
    // Where the 1.1E upgrade writes its backup of the user's code ("" for the state folder).
    std::string backupDir;
};

// Block 0's areas as they were before the external flash was first opened (A models), and the
// file they were saved in, kept until the window is left.
struct SavedBlock0 {
    std::vector<BackupRegion> regions;
    std::string file;
};

class Target : public WindowView {
public:
    explicit Target(Operator* op, Clock& clock = SystemClock());
    ~Target() override;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    // The saved port, rate and crystal read into the session.
    void LoadSettings(const ConfigStore& settings);
    // The link worker stopped and the port closed.
    void Shutdown();

    void SetObserver(TargetObserver* observer) { observer_ = observer; }

    // WindowView
    void setProgressLabel(const std::string& text) override;
    void setProgressRange(int upper) override;
    void stepProgress() override;
    void resetProgress() override;
    void setProgressStepBytes(uint32_t bytes) override { progressStepBytes_ = bytes; }
    void setProgressTotalBytes(uint64_t bytes) override { progressTotalBytes_ = bytes; }
    void reportFailure(const Failure& failure) override { progressFailure_ = failure; }
    void SetField(ChipField field, const std::string& text) override;
    std::string Field(ChipField field) const override;
    void setSecurityLine(const std::string& text) override;
    void resetChipInfo() override;
    void EnableButton(IapButton button, bool enabled) override;
    bool ButtonEnabled(IapButton button) const override;
    void Refresh() override { Notify(Change::Fields); }
    void SetWindowTitle(const std::string& title) override { SetTitle(title); }

    // The port's name, rate or the double clock changed: a view showing them redraws.
    virtual void TickPanes() { Notify(Change::Panes); }

    const std::string& ProgressLabel() const { return progressLabel_; }
    int ProgressRange() const { return progressRange_; }
    int ProgressPosition() const { return progressPosition_; }
    bool ProgressVisible() const { return progressVisible_; }
    // Counts the operations that set up the bar, so that a view can tell a new operation
    // from a relabelled one; the bytes per step and any failure belong to the latest.
    int ProgressOperation() const { return progressOperation_; }
    uint32_t ProgressStepBytes() const { return progressStepBytes_; }
    uint64_t ProgressTotalBytes() const { return progressTotalBytes_; }
    const std::optional<Failure>& FailureSeen() const { return progressFailure_; }

    // The caption a command puts up while it runs ("Downloading "blink.hex""), and the block
    // whose memory view is in front.
    const std::string& Title() const { return title_; }
    void SetTitle(const std::string& title);
    const std::string& SecurityLine() const { return security_; }
    int Tab() const { return tab_; }
    void SetTab(int tab);
    // A command asked for the application to end (Exit, a declined upgrade).
    void RequestClose() {
        closeRequested_ = true;
        Notify(Change::Close);
    }
    bool CloseRequested() const { return closeRequested_; }

    // The last command's outcome: true only when it did all it was asked to (a refusal, a
    // cancel or a No is not success).
    void SetCommandSucceeded(bool ok) { commandSucceeded_ = ok; }
    bool CommandSucceeded() const { return commandSucceeded_; }
    // The last command's outcome in the command line's words ("downloaded blink.hex: 18 bytes
    // in 1 sector at 0000h-0011h, verified"); empty when it left none.
    void SetResult(const std::string& text) { result_ = text; }
    // The running command ended at the operator's No.
    void NoteDeclined() { declined_ = true; }
    const std::string& Result() const { return result_; }
    // Lines that follow the result where there is room for them: the differences a compare
    // found.
    void AddDetail(const std::string& line) { details_.push_back(line); }
    const std::vector<std::string>& Details() const { return details_; }
    // Runs a command with the bookkeeping every command has (the last one's result, marks and
    // bar cleared first) and gives its outcome as a value.
    CommandResult RunCommand(const std::function<bool()>& command);

    // The rule book's verdict on a command in the session's present state, or in the given
    // external-window state (the command line asks before it opens a window). `readsOnly`:
    // this use of the command changes nothing on the chip (Byte Edit showing bytes), so a chip
    // type nobody chose does not stop it.
    RuleVerdict CommandRule(RuledCommand command, std::optional<ExternalWindowState> window = {},
                            bool readsOnly = false) const;
    // Asks the rule book and says the reason when the command may not run.
    bool Allows(RuledCommand command);
    // A refusal said where a command's own order puts it ahead of the rule book's: the
    // command ends refused, with the reason.
    void Refuse(const std::string& reason);

    // Where the password gate takes the password from; unset, it asks in its dialog.
    void SetPasswordSource(PasswordSource source) { passwordSource_ = std::move(source); }
    const PasswordSource& Passwords() const { return passwordSource_; }

    void SetDetectEnv(DetectCommandEnv env) { detectEnv_ = std::move(env); }
    const DetectCommandEnv& DetectEnv() const { return detectEnv_; }
    SavedBlock0& SavedAreas() { return savedAreas_; }
    // Where the commands write their backups of the chip's data ("" for the state folder).
    void SetBackupDir(std::string dir) { backupDir_ = std::move(dir); }
    const std::string& BackupDir() const { return backupDir_; }

    // The sector status list and hex dump: what the chip is known to hold.
    MemoryView& Memory() { return *memory_; }

    CDeviceSession& Session() { return session_; }
    const CDeviceSession& Session() const { return session_; }
    LinkWorker& Worker() { return worker_; }
    Operator& Op() { return *op_; }

protected:
    void Notify(Change what) {
        if (observer_) observer_->OnChanged(what);
    }
    Operator* OperatorOrNull() { return op_; }

private:
    void BeginCommand();

    Operator* op_;
    CDeviceSession session_;
    LinkWorker worker_;
    SilentOperator silent_;
    std::unique_ptr<MemoryView> memory_;
    TargetObserver* observer_ = nullptr;
    std::map<ChipField, std::string> fields_;
    std::map<IapButton, bool> buttons_;
    std::string title_;
    std::string security_;
    std::string progressLabel_;
    int progressRange_ = 1000;
    int progressPosition_ = 0;
    bool progressVisible_ = false;
    int progressOperation_ = 0;
    uint32_t progressStepBytes_ = 0;
    uint64_t progressTotalBytes_ = 0;
    std::optional<Failure> progressFailure_;
    int tab_ = 0;
    bool closeRequested_ = false;
    bool commandSucceeded_ = false;
    std::string result_;
    std::vector<std::string> details_;
    // Why the rule book refused the running command, when it did.
    std::string refusal_;
    bool declined_ = false;
    PasswordSource passwordSource_;
    DetectCommandEnv detectEnv_;
    SavedBlock0 savedAreas_;
    std::string backupDir_;
};

}  // namespace tessel
