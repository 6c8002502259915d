#pragma once
// The main window of the desktop program: it draws the toolkit-free MainDialog (chip
// information, security line, IAP Function buttons, memory view, status bar) and feeds it the
// operator's commands. The MainDialog and everything below it belong to the command thread;
// the window only ever sees copies of its state, posted to the GUI thread on each change.

#include <QColor>
#include <QMainWindow>
#include <QPalette>
#include <QPointer>
#include <QStringList>
#include <mutex>
#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "GuiBridge.h"
#include "GuiSettings.h"
#include "files/ConfigStore.h"
#include "commands/FlashCommands.h"
#include "ui/MainDialog.h"

class QAction;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QShortcut;
class QSplitter;
class QTabBar;
class QVBoxLayout;
class QTreeWidget;

namespace tessel::gui {

class ElidedLabel;
class QtPrintTarget;

struct MainWindowOptions {
    // Where the settings live; empty: the user's configuration folder.
    std::string configDir;
    // Where backups of the operator's flash contents go; empty: the user's state folder.
    std::string stateDir;
    // The stand-in boards offered in the port list besides the devices present.
    bool offerStandIn = true;
    // For tests: the virtual clock, line and board are chosen by whoever builds the window.
    Clock* clock = nullptr;
};

// Asked when the window is closed while a command runs; the command's own line of what a
// stop leaves undone follows.
inline constexpr char kStopAndCloseQuestion[] =
    "A command is still running.\nStop it at its next safe point (it puts back what it borrowed) and close the "
    "window?";
// What stopping the command `id` part-way leaves undone, for the question before closing.
std::string LeftUndoneByStop(int id);

// The colours of a byte a compare marks, from the palette of the list that shows it: a red
// ground apart from the list's own, and a text that reads on it (contrast at least 4.5:1).
struct MarkColours {
    QColor background;
    QColor text;
};
MarkColours DifferenceMarkColours(const QPalette& palette);
// The contrast ratio of two colours by their relative luminance, 1 to 21.
double ContrastRatio(const QColor& a, const QColor& b);

class MainWindow : public QMainWindow, private MainDialogObserver {
    Q_OBJECT
public:
    explicit MainWindow(MainWindowOptions options = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Starts a command as its menu item or button would. Refused (false) while another
    // command runs: nothing waits behind a running command to run afterwards unasked.
    bool RunCommand(int id);
    // True while a command or tick runs or waits on the command thread, and until the window
    // has set its buttons back after a command.
    bool CommandBusy() const { return busy_ || commands_.Busy(); }
    // Runs `job` on the command thread (with the MainDialog to itself) and waits for it; for
    // tests that set up the session as a detection would.
    void OnCommandThread(const std::function<void(MainDialog&)>& job);

    // The Print command's printer; tests point it at a PDF file instead of the print dialog.
    QtPrintTarget& Printer() { return *printer_; }
    // The one-second timer's period (tests speed it up); 0 stops it.
    void SetTickPeriod(int ms);
    int TicksHandled() const { return ticks_.load(); }

    // The window's widgets, by their part of the screen.
    QLineEdit* Field(ChipField field) const { return fields_.at(field); }
    QLineEdit* SecurityLine() const { return security_; }
    QPushButton* Button(IapButton b) const { return buttons_.at(b); }
    QTreeWidget* SectorList() const { return sectorList_; }
    QTreeWidget* DumpList() const { return dumpList_; }
    QSplitter* MemorySplitter() const { return lists_; }
    QLineEdit* GoToField() const { return goTo_; }
    QTabBar* Tabs() const { return tabs_; }
    QLabel* ClockPane() const { return clockPane_; }
    QProgressBar* Progress() const { return progress_; }
    QAction* Action(int id) const { return actions_.count(id) ? actions_.at(id) : nullptr; }
    ElidedLabel* PromptPane() const { return promptPane_; }
    // The session's history: each message and each command's result, with its time.
    QPlainTextEdit* Log() const { return log_; }
    // How the last command ended: "OK  Download", "FAILED  Compare", "STOPPED  Read".
    QLabel* ResultBanner() const { return banner_; }
    // Writes the log to `path`; a failure is told in a box naming the file and why.
    bool SaveLog(const QString& path);
    // Shown while a command runs; it, or Escape, asks the command to end at its next safe
    // point, where the chip is in a state that can be told.
    QPushButton* StopButton() const { return stop_; }
    void RequestStop();
    bool Stopping() const { return stopping_; }
    GuiSettings& Settings() { return *settings_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void OnChanged(Change what) override;
    void BuildMenus();
    void BuildToolBar();
    void BuildCentre();
    QVBoxLayout* BuildMemoryPane(QWidget* centre);
    QVBoxLayout* BuildChipPane(QWidget* centre);
    QWidget* BuildLogPane(QWidget* parent);
    void BuildStatusBar();
    void Post(std::function<void(MainDialog&)> job);
    std::vector<std::string> PortNames() const;
    // Every control that starts a command, greyed while one runs and set back from the
    // availability rules when it ends.
    void SetBusy(bool busy);
    bool IdleEnabled(int id) const;
    // On the command thread: why each command control would be refused now.
    std::map<int, std::string> Reasons(const MainDialog& d) const;
    // Each control's tool tip and accessible description: the reason it is greyed or would
    // be refused, or else its own tip.
    void ApplyReasons();
    void ShowResult(const std::string& text);
    void AppendLog(const std::string& text);
    // A line that follows an entry (a compare's differences), without a time of its own.
    void AppendLogDetail(const std::string& line);
    // On the GUI thread once command `id` has ended: the banner, the bar and the phase label.
    void ShowOutcome(int id, Outcome outcome, bool told, bool differences);
    void ReportStop(MainDialog& d);
    // On the GUI thread when a command starts: no text of an earlier command stays.
    void ClearResults();
    void RestoreGeometryWithinScreen();
    // The memory view's lists side by side or stacked, by the room there is.
    void ArrangeLists();
    // The log's share of the height beyond what the rest of the window needs.
    void ShareSpareHeight();
    // The list never lower than `rows` whole rows and its header.
    static void KeepWholeRows(QTreeWidget* list, int rows);
    // The sector list from the view's rows; rows already there keep their place.
    void FillSectorList(const std::vector<std::array<std::string, 5>>& rows);
    // The dump list from shownDump_ and shownMarks_.
    void FillDumpList();
    // The "Go to" field's address, in hex ("1F80", "1F80h", "0x1F80").
    void GoTo(const QString& text);

    MainWindowOptions options_;
    GuiBridge bridge_;
    QtOperator op_;
    ConfigStore store_;
    std::unique_ptr<GuiSettings> settings_;
    std::unique_ptr<MainDialog> dialog_;
    std::unique_ptr<QtPrintTarget> printer_;
    CommandThread commands_;
    std::atomic<bool> tickQueued_{false};
    std::atomic<int> ticks_{0};
    std::atomic<bool> closing_{false};
    // GUI thread only: a command was started and the window has not yet seen it end.
    bool busy_ = false;
    // GUI thread only: the operator asked the running command to stop.
    bool stopping_ = false;
    // GUI thread only: the command's own progress label, shown again once the stop is over.
    std::string progressText_;
    std::map<IapButton, bool> buttonRules_;
    // GUI thread only: the latest reasons, and each control's tip when it has none.
    std::map<int, std::string> reasons_;
    std::map<int, QString> tips_;
    // The command controls' ids; fixed once the window is built, read on both threads.
    std::vector<int> controlIds_;
    bool asking_ = false;
    // An operator's command (not a timer tick) is running on the command thread.
    std::atomic<bool> commandRunning_{false};
    // GUI thread only: the command running, and the control that started it (focus goes back
    // there when it ends).
    int runningId_ = 0;
    QPointer<QWidget> starter_;
    // The stop report of a command stopped by closing the window, shown before it closes.
    std::mutex closeReportMutex_;
    std::string closeReport_;
    bool closeReportShown_ = false;

    std::map<ChipField, QLineEdit*> fields_;
    std::map<IapButton, QPushButton*> buttons_;
    std::map<int, QAction*> actions_;
    QLineEdit* security_ = nullptr;
    QTabBar* tabs_ = nullptr;
    QTreeWidget* sectorList_ = nullptr;
    QTreeWidget* dumpList_ = nullptr;
    QLineEdit* goTo_ = nullptr;
    QSplitter* lists_ = nullptr;
    QSplitter* body_ = nullptr;
    bool logSized_ = false;
    int sectorListWidth_ = 0;
    int dumpListWidth_ = 0;
    // GUI thread only: what the dump list holds.
    std::vector<std::array<std::string, 3>> shownDump_;
    std::vector<uint16_t> shownMarks_;
    ElidedLabel* promptPane_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    // GUI thread only: the log's lines as saved, each entry with its date.
    QStringList logRecord_;
    QLabel* banner_ = nullptr;
    // GUI thread only: when the running command started, whether it told the operator
    // anything, and the furthest its latest bar got (a failure's reset does not hide it).
    qint64 commandStartMs_ = 0;
    bool messageSeen_ = false;
    int progressPeak_ = 0;
    QLabel* progressLabel_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* stop_ = nullptr;
    QShortcut* escape_ = nullptr;
    QLabel* linkPane_ = nullptr;
    QLabel* doubleClockPane_ = nullptr;
    QLabel* comPane_ = nullptr;
    QLabel* baudPane_ = nullptr;
    QLabel* clockPane_ = nullptr;
    class QTimer* timer_ = nullptr;
    bool listsSized_ = false;
    // The operation the bar shows and when it started, for its rate and time left.
    int progressOperation_ = -1;
    // The dialog's operation count when the running command started.
    int commandOperation_ = -1;
    qint64 progressStartMs_ = 0;
};

}  // namespace tessel::gui
