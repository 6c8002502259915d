#pragma once
// The main window without a toolkit: a target (the chip as the commands drive it) with what
// only a window has: the command routing of its menu items, tool-bar and IAP Function
// buttons, the one-second timer with its keep-alive, the status panes, and start-up and
// shut-down. The desktop program draws it; its tests drive it directly.

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "commands/Actions.h"
#include "commands/DetectCommands.h"
#include "commands/FlashCommands.h"
#include "commands/Target.h"

namespace tessel {

class ConfigStore;

// The window's ids of its menu items, tool-bar buttons and IAP Function buttons, by which it
// routes a click to its handler. The window's alone: other front ends call the commands'
// functions (commands/Commands.h).
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

using MainDialogObserver = TargetObserver;

class MainDialog : public Target {
public:
    MainDialog(Operator* op, Clock& clock = SystemClock());
    ~MainDialog() override;

    // Start-up: the timer marked running, the settings read into the session.
    void Initialise(const ConfigStore& settings);
    // Shut-down: timer stopped, link worker stopped, port closed.
    void Shutdown();

    // Command routing: a handler per id; ids without one do nothing.
    void RegisterHandler(int id, std::function<void()> handler) { handlers_[id] = std::move(handler); }
    bool HasHandler(int id) const { return handlers_.count(id) != 0; }
    bool Route(int id);
    // Binds each entry to the window's id of its menu item or button.
    void AddActions(Actions actions);

    // The one-second timer, with the local time passed in.
    void Tick(int hour, int minute, int second);
    void TickNow();
    // The COM, Baud Rate and Double Clock panes from the session, outside the tick.
    void TickPanes() override;
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
    // Where the bar goes in its pane: left edge moved right by the label plus four blanks.
    static int ProgressBarLeft(int paneLeft, int paneRight, int labelWidth, int blankWidth);
    bool TimerRunning() const { return timerRunning_; }

    using Target::RunCommand;
    // Routes `id` and tells whether that command succeeded.
    bool RunCommand(int id) { return RunRouted(id).Ok(); }
    // The window's own handler of `id`, with the bookkeeping of every command.
    CommandResult RunRouted(int id) {
        return RunCommand([this, id] {
            Route(id);
            return CommandSucceeded();
        });
    }

    using Target::CommandRule;
    // The rule book's verdict on a command id; allowed for an id the rule book has no row for.
    RuleVerdict CommandRule(int id, std::optional<ExternalWindowState> window = {}, bool readsOnly = false) const;
    // Why command `id` would be refused now, for its control's tool tip and accessible
    // description: "Detect the chip first (DetectChip/RS232)" before a detection, then the
    // rule book's reason. Empty when it may run, or for a command the rule book does not rule.
    std::string CommandReason(int id) const;
    // The same for an IAP Function button, which the detection may also have greyed.
    std::string ButtonReason(IapButton button) const;

private:
    void TimeoutReset();

    std::map<int, std::function<void()>> handlers_;
    std::string prompt_;
    std::string clockPane_, comPane_, baudPane_, doubleClockPane_;
    std::string linkPane_ = text::kNotConnected;
    bool timerRunning_ = false;
};

// The window's routing of each group of commands to their entries; `backupDir` is where they
// write backups of the chip's data ("" for the user's state folder).
void RegisterDetectCommands(MainDialog& window, DetectCommandEnv env);
void RegisterFlashCommands(MainDialog& window, FlashCommandEnv env = {});
void RegisterConfigCommands(MainDialog& window);
void RegisterPasswordCommands(MainDialog& window, std::string backupDir = {});
void RegisterUpgradeCommands(MainDialog& window, FlashCommandEnv env = {});
void RegisterExternalCommands(MainDialog& window, std::string backupDir = {});
// Also the help items' boxes.
void RegisterOperatorCommands(MainDialog& window, std::string backupDir = {});

}  // namespace tessel
