#pragma once
// The main window without a toolkit: what it shows (chip information, "IAP Status:",
// security line, IAP Function buttons, status panes, progress bar), the command routing, the
// one-second timer with its keep-alive, and start-up and shut-down. The desktop program draws
// it; the CLI and the tests drive it directly. Every change is told to an observer.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "platform/Operator.h"
#include "protocol/WindowView.h"
#include "serial/LinkWorker.h"
#include "ui/CommandApi.h"
#include "ui/Texts.h"

namespace tessel {

class ConfigStore;
class MemoryView;

// The window's ids of its menu items, tool-bar buttons and IAP Function buttons, by which it
// routes a click to its handler. The window's alone: other front ends call the commands'
// functions (CommandApi.h).
namespace command {
enum MenuId : int {
    kCompare = 32787, kSave = 57603, kPrint = 57607, kExit = 32810, kDetect11F = 146, kDetect11E = 32795,
    kDetectUnknown = 32796, kExecuteUserCode = 1029, kSetResetPassword = 32789, kChangePassword = 32790,
    kUpgradeInternalBsl = 32793, kUpgradeExternalBsl = 32811, kEditBlock0 = 32792, kDownloadMonitra = 32801,
    kExternalLow = 32805, kExternalHigh = 32806, kBackToMcu = 32807, kAboutTessel = 32772,
    kAboutDetect = 32798, kAboutPassword = 32797, kAboutUpgrade = 32799, kAboutByteModify = 32800,
    kAboutMonitra = 32804, kDownload = 1024, kRunUserCode = 1074, kRead = 1037, kSectorErase = 1026,
    kChipErase = 1049, kLockChip = 1027, kMemoryRemap = 1028, kResetLink = 32780, kDoubleClock = 32809,
    kSerialTest = 32812, kToolbarLast = 32781, kDetectBaudAndChip = 32788, kExtMemSerialDialog = 32771,
    kNoAction1 = 32778,
};
}  // namespace command

// What changed, for the window to redraw just that.
// SectorRows: only the sector list's status words changed (a read under way).
enum class Change { Fields, Security, Buttons, Progress, Panes, Title, Tab, Memory, SectorRows, Close };

class MainDialogObserver {
public:
    virtual ~MainDialogObserver() = default;
    virtual void OnChanged(Change what) = 0;
};

class MainDialog : public WindowView {
public:
    MainDialog(Operator* op, Clock& clock = SystemClock());
    ~MainDialog() override;

    // Start-up: flags cleared, the timer marked running, the settings read into the session.
    void Initialise(const ConfigStore& settings);
    // Shut-down: timer stopped, link worker stopped, port closed.
    void Shutdown();

    void SetObserver(MainDialogObserver* observer) { observer_ = observer; }

    // WindowView
    void setProgressLabel(const std::string& text) override;
    void setProgressRange(int upper) override;
    void stepProgress() override;
    void resetProgress() override;
    void setProgressStepBytes(uint32_t bytes) override { progressStepBytes_ = bytes; }
    void setProgressTotalBytes(uint64_t bytes) override { progressTotalBytes_ = bytes; }
    void reportFailure(const ProgressFailure& failure) override { progressFailure_ = failure; }
    void SetField(ChipField field, const std::string& text) override;
    std::string Field(ChipField field) const override;
    void setSecurityLine(const std::string& text) override;
    void resetChipInfo() override;
    void EnableButton(IapButton button, bool enabled) override;
    bool ButtonEnabled(IapButton button) const override;
    void Refresh() override { Notify(Change::Fields); }
    void SetWindowTitle(const std::string& title) override { SetTitle(title); }

    // Command routing: a handler per id; ids without one do nothing.
    void RegisterHandler(int id, std::function<void()> handler) { handlers_[id] = std::move(handler); }
    bool HasHandler(int id) const { return handlers_.count(id) != 0; }
    bool Route(int id);

    // The one-second timer, with the local time passed in.
    void Tick(int hour, int minute, int second);
    void TickNow();
    // The COM, Baud Rate and Double Clock panes from the session, outside the tick.
    void TickPanes();
    static std::string ClockText(int hour, int minute, int second);

    // Status bar.
    std::string PromptPane() const { return prompt_; }
    std::string ClockPane() const { return clockPane_; }
    std::string ComPane() const { return comPane_; }
    std::string BaudPane() const { return baudPane_; }
    std::string DoubleClockPane() const { return doubleClockPane_; }
    // The link as the operator needs it at a glance: "Connected NX31A32 at 38400 on
    // sim:NX31A32" while it is up, else "Not connected".
    std::string LinkPane() const { return linkPane_; }
    const std::string& ProgressLabel() const { return progressLabel_; }
    int ProgressRange() const { return progressRange_; }
    int ProgressPosition() const { return progressPosition_; }
    bool ProgressVisible() const { return progressVisible_; }
    // Counts the operations that set up the bar, so that a view can tell a new operation
    // from a relabelled one; the bytes per step and any failure belong to the latest.
    int ProgressOperation() const { return progressOperation_; }
    uint32_t ProgressStepBytes() const { return progressStepBytes_; }
    uint64_t ProgressTotalBytes() const { return progressTotalBytes_; }
    const std::optional<ProgressFailure>& ProgressFailureSeen() const { return progressFailure_; }
    // Where the bar goes in its pane: left edge moved right by the label plus four blanks.
    static int ProgressBarLeft(int paneLeft, int paneRight, int labelWidth, int blankWidth);

    const std::string& Title() const { return title_; }
    void SetTitle(const std::string& title);
    const std::string& SecurityLine() const { return security_; }
    int Tab() const { return tab_; }
    void SetTab(int tab);
    bool TimerRunning() const { return timerRunning_; }
    // A command asked for the application to end (Exit, a declined upgrade); the front end
    // closes the window, which runs Shutdown.
    void RequestClose() {
        closeRequested_ = true;
        Notify(Change::Close);
    }
    bool CloseRequested() const { return closeRequested_; }

    // The last flash command's outcome: true only when it did all it was asked to (a refusal,
    // a cancel or a No is not success). For scripts and the command line.
    void SetCommandSucceeded(bool ok) { commandSucceeded_ = ok; }
    bool CommandSucceeded() const { return commandSucceeded_; }
    // The last command's outcome in the words the command line uses ("downloaded blink.hex:
    // 18 bytes in 1 sector at 0000h-0011h, verified"); empty when it left none. The desktop
    // window shows it when the command ends.
    void SetResult(const std::string& text) { result_ = text; }
    // The running command ended at the operator's No.
    void NoteDeclined() { declined_ = true; }
    const std::string& Result() const { return result_; }
    // Lines that follow the result where there is room for them (the desktop program's log):
    // the differences a compare found.
    void AddDetail(const std::string& line) { details_.push_back(line); }
    const std::vector<std::string>& Details() const { return details_; }
    // Routes `id` and tells whether that command succeeded.
    bool RunCommand(int id) { return RunRouted(id).Ok(); }
    // A command run as a function rather than routed from a menu: the same bookkeeping as
    // RunCommand, and its outcome as a value.
    CommandResult RunCommand(const std::function<bool()>& command);
    // The window's own handler of `id`, as a function: for the commands whose handler keeps
    // state between runs (the external-flash window's saved block-0 areas) or routes on.
    CommandResult RunRouted(int id) {
        return RunCommand([this, id] {
            Route(id);
            return CommandSucceeded();
        });
    }

    // The rule book's verdict on a command id in the session's present state, or in the
    // given window state (the command line asks before it opens a window); allowed for an id
    // the rule book has no row for. `readsOnly`: this use of the command changes nothing on
    // the chip (Byte Edit showing bytes), so a chip type nobody chose does not stop it.
    RuleVerdict CommandRule(int id, std::optional<ExternalWindowState> window = {}, bool readsOnly = false) const;
    RuleVerdict CommandRule(RuledCommand command, std::optional<ExternalWindowState> window = {},
                            bool readsOnly = false) const;
    // Why command `id` would be refused now, for its control's tool tip and accessible
    // description: "Detect the chip first (DetectChip/RS232)" before a detection, then the
    // rule book's reason. Empty when it may run, or for a command the rule book does not rule.
    std::string CommandReason(int id) const;
    // The same for an IAP Function button, which the detection may also have greyed.
    std::string ButtonReason(IapButton button) const;
    // Asks the rule book and shows the reason when the command may not run.
    bool Allows(RuledCommand command);

    // Where the password gate takes the password from; unset, it asks in its dialog.
    void SetPasswordSource(PasswordSource source) { passwordSource_ = std::move(source); }
    const PasswordSource& Passwords() const { return passwordSource_; }

    // The sector status list and hex dump of the window's left half.
    MemoryView& Memory() { return *memory_; }

    CDeviceSession& Session() { return session_; }
    LinkWorker& Worker() { return worker_; }
    Operator& Op() { return *op_; }

private:
    void Notify(Change what) {
        if (observer_) observer_->OnChanged(what);
    }
    void TimeoutReset();
    void BeginCommand() {
        SetCommandSucceeded(false);
        result_.clear();
        details_.clear();
        refusal_.clear();
        declined_ = false;
        // What the last command's bar and compare found is no finding of this one.
        progressFailure_.reset();
        ClearMarks();
    }
    void ClearMarks();

    Operator* op_;
    CDeviceSession session_;
    LinkWorker worker_;
    SilentOperator silent_;
    std::unique_ptr<MemoryView> memory_;
    MainDialogObserver* observer_ = nullptr;
    std::map<ChipField, std::string> fields_;
    std::map<IapButton, bool> buttons_;
    std::map<int, std::function<void()>> handlers_;
    std::string title_;
    std::string security_;
    std::string prompt_;
    std::string clockPane_, comPane_, baudPane_, doubleClockPane_;
    std::string linkPane_ = text::kNotConnected;
    std::string progressLabel_;
    int progressRange_ = 1000;
    int progressPosition_ = 0;
    bool progressVisible_ = false;
    int progressOperation_ = 0;
    uint32_t progressStepBytes_ = 0;
    uint64_t progressTotalBytes_ = 0;
    std::optional<ProgressFailure> progressFailure_;
    int tab_ = 0;
    bool timerRunning_ = false;
    bool closeRequested_ = false;
    bool commandSucceeded_ = false;
    std::string result_;
    std::vector<std::string> details_;
    // Why the rule book refused the running command, when it did.
    std::string refusal_;
    bool declined_ = false;
    PasswordSource passwordSource_;
};

}  // namespace tessel
