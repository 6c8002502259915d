#include "MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QPainter>
#include <QPlainTextEdit>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QFileInfo>
#include <QMimeData>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTime>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cmath>
#include <cstdio>

#include "ElidedWidgets.h"
#include "QtPrintTarget.h"
#include "device/ChipCatalogue.h"
#include "device/StopRequest.h"
#include "platform/PortList.h"
#include "platform/SafeFile.h"
#include "sim/SimBoard.h"
#include "ui/ConfigCommands.h"
#include "ui/DetectCommands.h"
#include "ui/ExternalCommands.h"
#include "ui/OperatorCommands.h"
#include "ui/PasswordCommands.h"
#include "ui/UpgradeCommands.h"
#include "ui/MemoryView.h"
#include "ui/MessageAdvice.h"
#include "ui/Texts.h"

// The icon lives in the library; a static library's resources are registered by hand.
static void InitGuiResources() { Q_INIT_RESOURCE(tessel_gui); }

namespace tessel::gui {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

struct MenuItem {
    int id;  // 0: a separator
    const char* text;
};

struct Menu {
    const char* title;
    std::vector<MenuItem> items;
};

const std::vector<Menu>& Menus() {
    static const std::vector<Menu> menus = {
        {text::kMenuFile,
         {{command::kCompare, "&Compare"}, {command::kSave, "&Save"}, {command::kPrint, "&Print"}, {0, ""},
          {command::kExit, "Exit"}}},
        {text::kMenuDetect,
         // One key each: three items on Alt+D would only ever reach the first.
         {{command::kDetect11F, "Detect Target MCU for Firmware1.1&F and RS232 Config."},
          {command::kDetect11E, "Detect Target MCU for Firmware1.1&E and Upgrade to 1.1F (EA#=1)"},
          {command::kDetectUnknown, "Detect Target MCU for Firmware Version &Unknown (EA#=1)"}}},
        {text::kMenuRunCode, {{command::kExecuteUserCode, "&Execute User Code (Fw: v1.1F)"}}},
        {text::kMenuPassword,
         {{command::kSetResetPassword, "&Set/Reset Password"}, {command::kChangePassword, "&Change Password"}}},
        {text::kMenuUpgrade,
         {{command::kUpgradeInternalBsl, "&Upgrade Internal BSL1.1F+ to Newer Version"},
          {command::kUpgradeExternalBsl, "Upgrade External BSL Firmware to Newer Version"}}},
        {text::kMenuByteModify, {{command::kEditBlock0, "&Edit data in Block 0"}}},
        {text::kMenuMonitra, {{command::kDownloadMonitra, "&Download Monitra"}}},
        {text::kMenuExternalFlash,
         {{command::kExternalLow, "&Low 64KB of External Flash"},
          {command::kExternalHigh, "&High 64KB of External Flash"},
          {command::kBackToMcu, "&Back to MCU Flash"}}},
    };
    return menus;
}

// The Help items, in one "&Help" menu: placed in the bar itself they do not fit beside the
// other menus, and all but the first would hide behind the bar's overflow button.
const std::vector<MenuItem>& HelpItems() {
    static const std::vector<MenuItem> items = {
        {command::kAboutTessel, "About QMT Tessel"},    {command::kAboutDetect, "About Detect Chip"},
        {command::kAboutPassword, "About Password"},    {command::kAboutUpgrade, "About Upgrade BSL"},
        {command::kAboutByteModify, "About Byte Modify"}, {command::kAboutMonitra, "About Monitra"}};
    return items;
}

struct ButtonDef {
    IapButton id;
    const char* text;
};
constexpr ButtonDef kButtons[] = {
    {IapButton::Download, "Download"},       {IapButton::DnloadRunUserCode, "Dnload/Run UserCode"},
    {IapButton::Read, "Read"},               {IapButton::SectorErase, "Sector Erase"},
    {IapButton::ChipErase, "Chip Erase"},    {IapButton::LockChip, "Lock Chip"},
    {IapButton::MemoryRemap, "Memory Remap"},
};

// Keyboard shortcuts of the commands an operator repeats most.
const std::map<int, QKeySequence>& Shortcuts() {
    static const std::map<int, QKeySequence> keys = {
        {command::kRead, QKeySequence(Qt::CTRL | Qt::Key_R)},
        {command::kDownload, QKeySequence(Qt::CTRL | Qt::Key_D)},
        {command::kCompare, QKeySequence(Qt::CTRL | Qt::Key_M)},
        {command::kResetLink, QKeySequence(Qt::Key_F5)},
    };
    return keys;
}

QString WithShortcut(const QString& tip, int id) {
    const auto it = Shortcuts().find(id);
    if (it == Shortcuts().end()) return tip;
    return QStringLiteral("%1 (%2)").arg(tip, it->second.toString(QKeySequence::NativeText));
}

constexpr char kStoppingLabel[] = "Stopping...";
// The fewest rows each list shows whole: a sector's dump (eight rows of a 128-byte sector)
// and a few sectors around the one picked.
constexpr int kSectorRowsShown = 6;
constexpr int kDumpRowsShown = 8;

// The commands whose end the banner tells, by the short name it gives them; the others (the
// About boxes, Exit) only show something.
const std::map<int, const char*>& CommandTitles() {
    static const std::map<int, const char*> titles = {
        {command::kCompare, "Compare"},
        {command::kSave, "Save"},
        {command::kPrint, "Print"},
        {command::kDetect11F, "Detect"},
        {command::kDetect11E, "Detect"},
        {command::kDetectUnknown, "Detect"},
        {command::kExecuteUserCode, "Run User Code"},
        {command::kSetResetPassword, "Set Password"},
        {command::kChangePassword, "Change Password"},
        {command::kUpgradeInternalBsl, "Upgrade BSL"},
        {command::kUpgradeExternalBsl, "Upgrade External BSL"},
        {command::kEditBlock0, "Byte Edit"},
        {command::kDownloadMonitra, "Download Monitra"},
        {command::kExternalLow, "Low External Flash"},
        {command::kExternalHigh, "High External Flash"},
        {command::kBackToMcu, "Back to MCU Flash"},
        {command::kDownload, "Download"},
        {command::kRunUserCode, "Dnload/Run UserCode"},
        {command::kRead, "Read"},
        {command::kSectorErase, "Sector Erase"},
        {command::kChipErase, "Chip Erase"},
        {command::kLockChip, "Lock Chip"},
        {command::kMemoryRemap, "Memory Remap"},
        {command::kResetLink, "Reset Link"},
        {command::kDoubleClock, "Double Clock"},
        {command::kSerialTest, "Serial Test"},
    };
    return titles;
}

// The dump's hex column with the bytes a compare found different on a tinted ground; the
// item carries them as a mask of the row's 16 bytes. Drawn over the row as the style drew
// it, so that a selected row shows its marks too, in colours taken from the palette.
class MarkedBytesDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        const uint mask = index.data(Qt::UserRole).toUInt();
        if (!mask) return;
        const QString text = index.data(Qt::DisplayRole).toString();
        const QFontMetrics fm(option.font);
        const QWidget* w = option.widget;
        const int margin = (w ? w->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, w) : 2) + 1;
        const MarkColours colours = DifferenceMarkColours(option.palette);
        painter->save();
        painter->setFont(option.font);
        painter->setPen(colours.text);
        for (int i = 0; i < 16; ++i) {
            if (!(mask & (1u << i))) continue;
            // "XX XX XX XX XX XX XX XX - XX ...": three characters a byte, and the dash.
            const int at = i * 3 + (i >= 8 ? 2 : 0);
            const int x = option.rect.left() + margin + fm.horizontalAdvance(text.left(at));
            const QString byte = text.mid(at, 2);
            const QRect box(x - 1, option.rect.top() + 1, fm.horizontalAdvance(byte) + 2, option.rect.height() - 2);
            painter->fillRect(box, colours.background);
            painter->drawText(box, Qt::AlignCenter, byte);
        }
        painter->restore();
    }
};
// What the password gate leaves on the status line; the command's own result replaces it.
constexpr char kGateSucceeded[] = "Password Verify succeed";
constexpr char kRanToItsEnd[] = "Stop was asked, but the command ended before it reached a point where it could stop.";

// Files a drop may bring: the images Download reads.
// What the bar says of its operation: "42%  3456 of 8192 bytes  1.9 KB/s  3 s left"; sectors
// are counted as sectors. Rate and time left once there is something to go by.
QString ProgressText(int value, int upper, uint32_t stepBytes, qint64 elapsedMs) {
    QString text = QStringLiteral("%1%").arg(upper > 0 ? value * 100 / upper : 0);
    const qint64 unit = stepBytes ? stepBytes : 1;
    const QString what = stepBytes ? QStringLiteral("bytes") : QStringLiteral("sectors");
    text += QStringLiteral("  %1 of %2 %3").arg(value * unit).arg(upper * unit).arg(what);
    if (value > 0 && elapsedMs >= 200) {
        const double perSecond = static_cast<double>(value * unit) * 1000.0 / static_cast<double>(elapsedMs);
        text += stepBytes ? QStringLiteral("  %1 KB/s").arg(perSecond / 1024.0, 0, 'f', 1)
                          : QStringLiteral("  %1 sectors/s").arg(perSecond, 0, 'f', 1);
        const qint64 left = static_cast<qint64>(static_cast<double>((upper - value) * unit) / perSecond + 0.5);
        text += QStringLiteral("  %1 s left").arg(left);
    }
    return text;
}

bool IsImageFile(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return QFileInfo(path).isFile() &&
           (suffix == QLatin1String("hex") || suffix == QLatin1String("ihx") || suffix == QLatin1String("ihex") ||
            suffix == QLatin1String("bin"));
}

QString DroppedImage(const QMimeData* mime) {
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1) return {};
    const QUrl url = mime->urls().front();
    if (!url.isLocalFile()) return {};
    const QString path = url.toLocalFile();
    return IsImageFile(path) ? path : QString();
}

struct FieldDef {
    ChipField field;
    const char* label;
    const char* name;
};
constexpr FieldDef kFields[] = {
    {ChipField::FlashSize, "Flash Size:", "flashSize"}, {ChipField::ChipType, "Chip Type:", "chipType"},
    {ChipField::ReMap, "ReMap:", "remap"},              {ChipField::MemMode, "Mem Mode:", "memMode"},
    {ChipField::FwVersion, "Fw Version:", "fwVersion"}, {ChipField::IapStatus, "IAP Status:", "iapStatus"},
};

// The lists' fixed-pitch face; "Courier New" where it is installed, else the system's.
QFont ListFont() {
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPixelSize(14);
    if (!QFontInfo(font).fixedPitch()) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(14);
    }
    return font;
}

}  // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
    auto luminance = [](const QColor& c) {
        auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

MarkColours DifferenceMarkColours(const QPalette& palette) {
    const QColor base = palette.color(QPalette::Active, QPalette::Base);
    const QColor red(220, 38, 38);
    // A light tint on a light list, a deep one on a dark list: red either way, and apart
    // from the list's ground.
    const double t = base.lightnessF() >= 0.5 ? 0.45 : 0.6;
    const QColor ground = QColor::fromRgbF(static_cast<float>(base.redF() * (1 - t) + red.redF() * t),
                                           static_cast<float>(base.greenF() * (1 - t) + red.greenF() * t),
                                           static_cast<float>(base.blueF() * (1 - t) + red.blueF() * t));
    // The list's own text colour when it reads well there, else black or white.
    QColor text = palette.color(QPalette::Active, QPalette::Text);
    if (ContrastRatio(text, ground) < 4.5)
        text = ContrastRatio(Qt::black, ground) >= ContrastRatio(Qt::white, ground) ? QColor(Qt::black) : QColor(Qt::white);
    return {ground, text};
}

std::string LeftUndoneByStop(int id) {
    switch (id) {
        case command::kDownload:
        case command::kRunUserCode:
            return "Download: what is not written yet stays erased or half written, so the block will hold a partial "
                   "image until the file is downloaded again.";
        case command::kRead: return "Read: the sectors not read yet stay \"Not read\"; the chip is not changed.";
        case command::kCompare: return "Compare: the rest of the file is not compared; the chip is not changed.";
        case command::kSectorErase: return "Sector Erase: the sectors not erased yet keep their old data.";
        case command::kSave: return "Save: no file is written.";
        case command::kPrint: return "Print: nothing more is printed.";
        default: return "The command ends at its next safe point; its report says what was done and what was not.";
    }
}

MainWindow::MainWindow(MainWindowOptions options, QWidget* parent)
    : QMainWindow(parent),
      options_(std::move(options)),
      op_(bridge_, this),
      store_(options_.configDir.empty() ? ConfigStore() : ConfigStore(options_.configDir)),
      settings_(std::make_unique<GuiSettings>(Q(options_.configDir))) {
    InitGuiResources();
    sim::RegisterSimScheme();
    op_.SetSettings(settings_.get());
    op_.SetMessageListener([this](const std::string& text) {
        messageSeen_ = true;
        ShowResult(text);
        AppendLog(text);
    });
    dialog_ = std::make_unique<MainDialog>(&op_, options_.clock ? *options_.clock : SystemClock());
    printer_ = std::make_unique<QtPrintTarget>(bridge_, this);
    dialog_->Initialise(store_);
    dialog_->Memory().SetWholeBlockDump(true);
    DetectCommandEnv detectEnv;
    detectEnv.store = &store_;
    detectEnv.namedPorts = [this] { return PortNames(); };
    detectEnv.backupDir = options_.stateDir;
    RegisterDetectCommands(*dialog_, std::move(detectEnv));
    FlashCommandEnv flashEnv;
    flashEnv.backupDir = options_.stateDir;
    flashEnv.printer = [this]() -> PrintTarget* { return printer_.get(); };
    RegisterUpgradeCommands(*dialog_, flashEnv);
    RegisterFlashCommands(*dialog_, std::move(flashEnv));
    RegisterConfigCommands(*dialog_);
    RegisterPasswordCommands(*dialog_, options_.stateDir);
    RegisterExternalCommands(*dialog_, options_.stateDir);
    RegisterOperatorCommands(*dialog_, options_.stateDir);

    setWindowTitle(Q(dialog_->Title()));
    BuildMenus();
    BuildToolBar();
    BuildCentre();
    BuildStatusBar();
    security_->setText(Q(dialog_->SecurityLine()));
    for (const ButtonDef& b : kButtons) {
        buttonRules_[b.id] = dialog_->ButtonEnabled(b.id);
        buttons_[b.id]->setEnabled(buttonRules_[b.id]);
    }
    for (const auto& [id, action] : actions_) tips_[id] = action->toolTip();
    for (const auto& [id, button] : buttons_) tips_[static_cast<int>(id)] = button->toolTip();
    for (const auto& entry : tips_) controlIds_.push_back(entry.first);
    for (QMenu* menu : menuBar()->findChildren<QMenu*>()) menu->setToolTipsVisible(true);
    reasons_ = Reasons(*dialog_);
    ApplyReasons();
    setWindowIcon(QIcon(QStringLiteral(":/icons/tessel.svg")));
    setAcceptDrops(true);
    RestoreGeometryWithinScreen();
    linkPane_->setText(Q(dialog_->LinkPane()));
    doubleClockPane_->setText(Q(dialog_->DoubleClockPane()));
    comPane_->setText(Q(dialog_->ComPane()));
    baudPane_->setText(Q(dialog_->BaudPane()));
    dialog_->SetObserver(this);

    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, [this] {
        // The clock is drawn here, so that it moves while a long command holds the command
        // thread; the keep-alive and the panes run there only when it is free, so that the
        // keep-alive byte never falls between a command's own bytes.
        const QTime now = QTime::currentTime();
        clockPane_->setText(Q(MainDialog::ClockText(now.hour(), now.minute(), now.second())));
        if (busy_ || commands_.Busy() || tickQueued_.exchange(true)) return;
        Post([this](MainDialog& d) {
            d.TickNow();
            ++ticks_;
            tickQueued_ = false;
        });
    });
    timer_->start(1000);
    const QTime now = QTime::currentTime();
    clockPane_->setText(Q(MainDialog::ClockText(now.hour(), now.minute(), now.second())));
}

MainWindow::~MainWindow() {
    settings_->SetWindowGeometry(saveGeometry());
    bridge_.Shutdown();
    dialog_->Session().port.CancelWaits();
    commands_.Stop();
    dialog_->SetObserver(nullptr);
    dialog_->Shutdown();
}

void MainWindow::SetTickPeriod(int ms) {
    if (ms <= 0) timer_->stop();
    else timer_->start(ms);
}

void MainWindow::Post(std::function<void(MainDialog&)> job) {
    commands_.Post([this, job = std::move(job)] { job(*dialog_); });
}

bool MainWindow::RunCommand(int id) {
    if (busy_) {
        // Leaving stays possible while a command runs; the window's close asks what to do.
        if (id == command::kExit) close();
        return false;
    }
    // A stop asked while closing stands for everything still queued; nothing new starts.
    if (closing_.load()) return false;
    busy_ = true;
    runningId_ = id;
    const auto button = std::find_if(buttons_.begin(), buttons_.end(),
                                     [id](const auto& b) { return static_cast<int>(b.first) == id; });
    starter_ = button != buttons_.end() ? button->second : QApplication::focusWidget();
    ClearResults();
    // A stop asked of the last command is spent. It is cleared here, before the command is
    // queued, so that a Stop pressed while the command waits for the thread still counts.
    // Nothing else touches the request now: the last command has ended and a tick never
    // stops.
    dialog_->Session().flags.stop.Clear();
    SetBusy(true);
    Post([this, id](MainDialog& d) {
        commandRunning_ = true;
        // Until the command sets its own range the bar has nothing to count.
        bridge_.PostToGui([this, first = d.ProgressOperation()] { commandOperation_ = first; });
        d.SetIapStatus("");
        const CommandResult outcome = d.RunRouted(id);
        commandRunning_ = false;
        // The command's own outcome, in the command line's words, is the line it leaves; the
        // password gate's line is no outcome.
        const std::string& result = outcome.summary;
        if (!result.empty() || d.Field(ChipField::IapStatus) == kGateSucceeded) d.SetIapStatus(result);
        // A compare that found differences made a finding; it was not cut short.
        const std::optional<ProgressFailure>& failure = d.ProgressFailureSeen();
        const bool differences = failure && failure->operation == "compare" && failure->chip && failure->expected;
        bridge_.PostToGui([this, id, outcome, details = d.Details(), differences] {
            if (!outcome.summary.empty()) {
                ShowResult(outcome.summary);
                AppendLog(outcome.summary);
            }
            for (const std::string& line : details) AppendLogDetail(line);
            ShowOutcome(id, outcome.outcome, !outcome.summary.empty(), differences);
        });
        ReportStop(d);
        // The link may have come up or gone with the command; the panes say so now, not at
        // the next tick.
        d.TickPanes();
        // Posted after every change the command made, so the rules it left are the ones read.
        bridge_.PostToGui([this] {
            busy_ = false;
            op_.ClearPendingDownloadFile();
            SetBusy(false);
            // The keyboard goes back to the control that started the command.
            if (starter_ && starter_->isEnabled() && starter_->isVisible()) starter_->setFocus(Qt::OtherFocusReason);
            else if (QPushButton* read = buttons_.at(IapButton::Read); read->isEnabled()) read->setFocus();
            runningId_ = 0;
        });
    });
    return true;
}

bool MainWindow::IdleEnabled(int id) const {
    for (const ButtonDef& b : kButtons)
        if (static_cast<int>(b.id) == id) {
            const auto it = buttonRules_.find(b.id);
            return it != buttonRules_.end() && it->second;
        }
    return dialog_->HasHandler(id);
}

std::map<int, std::string> MainWindow::Reasons(const MainDialog& d) const {
    std::map<int, std::string> reasons;
    for (const int id : controlIds_) reasons[id] = d.CommandReason(id);
    for (const ButtonDef& b : kButtons) reasons[static_cast<int>(b.id)] = d.ButtonReason(b.id);
    return reasons;
}

void MainWindow::ApplyReasons() {
    static const QString kWait = QStringLiteral("Wait for the running command to end, or stop it (Esc)");
    auto apply = [&](int id, auto* control) {
        const auto it = reasons_.find(id);
        const QString reason = busy_ && id != command::kExit ? kWait
                               : it != reasons_.end()        ? Q(it->second)
                                                             : QString();
        control->setToolTip(reason.isEmpty() ? tips_.at(id) : reason);
        if constexpr (std::is_same_v<decltype(control), QPushButton*>) control->setAccessibleDescription(reason);
    };
    for (const auto& [id, action] : actions_) apply(id, action);
    for (const auto& [id, button] : buttons_) apply(static_cast<int>(id), button);
}

void MainWindow::RequestStop() {
    if (!busy_ || stopping_) return;
    stopping_ = true;
    dialog_->Session().flags.stop.Request();
    stop_->setEnabled(false);
    progressLabel_->setText(QString::fromLatin1(kStoppingLabel));
}

// On the command thread, once the command has ended: what a stop left behind, in the words
// the command wrote down as it stopped, as the command line's last line says it.
void MainWindow::ReportStop(MainDialog& d) {
    const StopRequest& stop = d.Session().flags.stop;
    if (!stop.Requested()) return;
    const std::string report = StoppedReport(stop.Notes(), stop.Backups());
    if (closing_.load()) {
        // The window is going: the report is shown before it closes, and left on standard
        // error for whoever started the program.
        if (report.empty()) return;
        std::fprintf(stderr, "tessel-gui: %s\n", report.c_str());
        std::lock_guard<std::mutex> lock(closeReportMutex_);
        closeReport_ = report;
        return;
    }
    if (!report.empty()) {
        d.Op().ShowMessage(report, stop.LeftDataOff() ? MessageKind::Error : MessageKind::Warning);
        return;
    }
    // Stop was pressed, but the command never came to a point where it could stop: its own
    // message says how it ended; the status bar says why the stop did nothing.
    bridge_.PostToGui([this] { ShowResult(kRanToItsEnd); });
}

void MainWindow::SetBusy(bool busy) {
    if (!busy && stopping_) {
        stopping_ = false;
        progressLabel_->setText(Q(progressText_));
    }
    stop_->setVisible(busy);
    stop_->setEnabled(busy);
    escape_->setEnabled(busy);
    for (const auto& [id, action] : actions_) {
        if (id == command::kExit) continue;
        action->setEnabled(!busy && IdleEnabled(id));
    }
    for (const auto& [id, button] : buttons_) button->setEnabled(!busy && IdleEnabled(static_cast<int>(id)));
    tabs_->setEnabled(!busy);
    ApplyReasons();
}

void MainWindow::ShowResult(const std::string& text) {
    if (!text.empty()) promptPane_->SetFullText(Q(text));
}

void MainWindow::AppendLog(const std::string& text) {
    // One line per message: a box's lines run on, so that each entry keeps its time.
    const QString line = Q(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts).join(QLatin1Char(' ')).simplified();
    if (line.isEmpty()) return;
    // The window shows the time; a saved log is read on another day, so it keeps the date.
    const QDateTime now = QDateTime::currentDateTime();
    const QString shown = now.toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ") + line;
    log_->appendPlainText(shown);
    logRecord_ << now.toString(QStringLiteral("yyyy-MM-dd ")) + shown;
}

void MainWindow::AppendLogDetail(const std::string& line) {
    log_->appendPlainText(Q(line));
    logRecord_ << Q(line);
}

void MainWindow::ShowOutcome(int id, Outcome outcome, bool told, bool differences) {
    const auto title = CommandTitles().find(id);
    // A dialog cancelled before anything happened has no outcome to tell.
    if (title == CommandTitles().end() || (outcome == Outcome::Failed && !told && !messageSeen_)) return;
    const QString elapsed =
        QStringLiteral("%1 s").arg(static_cast<double>(QDateTime::currentMSecsSinceEpoch() - commandStartMs_) / 1000.0,
                                   0, 'f', 1);
    const char* word = "FAILED";
    const char* colour = "#b3261e";
    if (outcome == Outcome::Done) {
        word = "OK";
        colour = "#1e7b34";
    } else if (outcome == Outcome::Stopped || outcome == Outcome::Declined) {
        word = "STOPPED";
        colour = "#a35f00";
    }
    banner_->setText(QStringLiteral("%1  %2").arg(QLatin1String(word), QLatin1String(title->second)));
    banner_->setStyleSheet(
        QStringLiteral("QLabel { color: white; background: %1; padding: 1px 8px; font-weight: bold; }").arg(QLatin1String(colour)));
    banner_->setVisible(true);
    if (outcome == Outcome::Done) {
        progress_->setValue(progress_->maximum());
        progressText_ = "Done";
        progressLabel_->setText(QStringLiteral("Done"));
    } else {
        progress_->setValue(std::min(progressPeak_, progress_->maximum()));
        // A stop is the operator's, no failure of the operation: its "Abort" does not stay.
        const char* phase = differences ? "Differences" : outcome == Outcome::Stopped ? "Stopped" : nullptr;
        if (phase) {
            progressText_ = phase;
            progressLabel_->setText(QString::fromLatin1(phase));
        }
    }
    progress_->setFormat(QStringLiteral("%p%  ") + elapsed);
    progress_->setVisible(true);
}

bool MainWindow::SaveLog(const QString& path) {
    const QByteArray text = logRecord_.join(QLatin1Char('\n')).toUtf8() + '\n';
    std::string error;
    if (WriteFileSafely(QFile::encodeName(path).toStdString(),
                        std::string_view(text.constData(), static_cast<size_t>(text.size())), &error,
                        FileMode::KeepExisting))
        return true;
    QMessageBox box(QMessageBox::Critical, windowTitle(), QStringLiteral("The log was not saved.\n") + Q(error),
                    QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("saveLogFailed"));
    box.exec();
    return false;
}

void MainWindow::ClearResults() {
    promptPane_->SetFullText(QString());
    banner_->clear();
    banner_->setVisible(false);
    commandStartMs_ = QDateTime::currentMSecsSinceEpoch();
    messageSeen_ = false;
    progressPeak_ = 0;
    progress_->setFormat(QStringLiteral("%p%"));
    progressText_.clear();
    progressLabel_->clear();
    progress_->setValue(0);
    progress_->setVisible(false);
}

// The size and place of the last run, but never larger than the screen the window comes up
// on nor outside it: a window remembered on a larger screen or at a larger scale would
// otherwise open with its buttons out of reach.
void MainWindow::RestoreGeometryWithinScreen() {
    if (!restoreGeometry(settings_->WindowGeometry())) resize(1100, 760);
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect avail = screen->availableGeometry();
    const QSize size(std::min(width(), avail.width()), std::min(height(), avail.height()));
    if (size != this->size()) resize(size);
    QPoint at = pos();
    at.setX(std::clamp(at.x(), avail.left(), std::max(avail.left(), avail.right() - size.width() + 1)));
    at.setY(std::clamp(at.y(), avail.top(), std::max(avail.top(), avail.bottom() - size.height() + 1)));
    if (at != pos()) move(at);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lists_ && event->type() == QEvent::Resize) ArrangeLists();
    if (watched == body_ && event->type() == QEvent::Resize && !logSized_) ShareSpareHeight();
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::ShareSpareHeight() {
    // What the memory view, the buttons and the status line need is theirs; of the rest the
    // log takes a third and the dump (through the memory view) the other two.
    QWidget* centre = body_->widget(0);
    const int room = body_->height() - body_->handleWidth();
    const int spare = std::max(0, room - centre->minimumSizeHint().height());
    const int log = std::max(body_->widget(1)->minimumSizeHint().height(), spare / 3);
    const QSignalBlocker quiet(body_);
    // A log read at its latest lines stays there as it gets lower.
    QScrollBar* scroll = log_->verticalScrollBar();
    const bool atEnd = scroll->value() == scroll->maximum();
    body_->setSizes({room - log, log});
    if (atEnd) QTimer::singleShot(0, log_, [scroll] { scroll->setValue(scroll->maximum()); });
}

void MainWindow::KeepWholeRows(QTreeWidget* list, int rows) {
    if (list->topLevelItemCount() == 0) return;
    // The rows' own height in the font and style in use, so that the rows stay whole
    // whatever either draws them at.
    const int height = list->header()->sizeHint().height() + rows * list->sizeHintForRow(0) + 2 * list->frameWidth() +
                       list->horizontalScrollBar()->sizeHint().height();
    if (list->minimumHeight() != height) list->setMinimumHeight(height);
}

void MainWindow::ArrangeLists() {
    // Side by side once both lists fit whole next to each other; the sector list then keeps
    // its own width and the dump takes the rest.
    const bool wide = lists_->width() >= sectorListWidth_ + dumpListWidth_ + lists_->handleWidth() + 40;
    const Qt::Orientation want = wide ? Qt::Horizontal : Qt::Vertical;
    if (lists_->orientation() == want && lists_->property("arranged").toBool()) return;
    lists_->setOrientation(want);
    lists_->setProperty("arranged", true);
    sectorList_->setMaximumWidth(wide ? sectorListWidth_ : QWIDGETSIZE_MAX);
    lists_->setStretchFactor(0, wide ? 0 : 1);
    lists_->setStretchFactor(1, 2);
    const int room = wide ? lists_->width() : lists_->height();
    lists_->setSizes(wide ? QList<int>{sectorListWidth_, room - sectorListWidth_} : QList<int>{room / 3, room - room / 3});
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!busy_ && !DroppedImage(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QString path = DroppedImage(event->mimeData());
    if (path.isEmpty() || busy_) return;
    event->acceptProposedAction();
    op_.SetPendingDownloadFile(path);
    if (!RunCommand(command::kDownload)) op_.ClearPendingDownloadFile();
}

void MainWindow::OnCommandThread(const std::function<void(MainDialog&)>& job) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Post([&](MainDialog& d) {
        job(d);
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_all();
    });
    // The job may need the GUI thread (a message box), so keep its events flowing.
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m);
            if (cv.wait_for(lock, std::chrono::milliseconds(5), [&] { return done; })) return;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

std::vector<std::string> MainWindow::PortNames() const {
    std::vector<std::string> names;
    for (const PortEntry& p : ListSerialPorts()) names.push_back(p.name);
    if (options_.offerStandIn)
        for (const ChipInfo& chip : AllChips()) names.push_back(std::string("sim:") + chip.model);
    return names;
}

void MainWindow::BuildMenus() {
    auto add = [this](QMenu* menu, const MenuItem& item) {
        if (item.id == 0) {
            menu->addSeparator();
            return;
        }
        QAction* a = menu->addAction(QString::fromLatin1(item.text));
        a->setData(item.id);
        if (const auto key = Shortcuts().find(item.id); key != Shortcuts().end()) a->setShortcut(key->second);
        // Commands not built yet are there, but greyed.
        a->setEnabled(dialog_->HasHandler(item.id));
        connect(a, &QAction::triggered, this, [this, id = item.id] { RunCommand(id); });
        actions_[item.id] = a;
    };
    for (const Menu& m : Menus()) {
        QMenu* menu = menuBar()->addMenu(QString::fromLatin1(m.title));
        for (const MenuItem& item : m.items) {
            add(menu, item);
            if (item.id != command::kPrint) continue;
            // The log is the window's own: saving it is no command and waits for none.
            QAction* save = menu->addAction(QStringLiteral("Save &Log..."));
            save->setObjectName(QStringLiteral("saveLog"));
            connect(save, &QAction::triggered, this, [this] {
                const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Log"),
                                                                  QStringLiteral("tessel-log-%1.txt").arg(QDate::currentDate().toString(Qt::ISODate)),
                                                                  QStringLiteral("Text files (*.txt);;All files (*)"));
                if (!path.isEmpty()) SaveLog(path);
            });
        }
    }
    QMenu* help = menuBar()->addMenu(QString::fromLatin1(text::kMenuHelp));
    help->setObjectName(QStringLiteral("helpMenu"));
    for (const MenuItem& item : HelpItems()) add(help, item);
}

void MainWindow::BuildToolBar() {
    QToolBar* bar = addToolBar(QStringLiteral("Tools"));
    bar->setObjectName(QStringLiteral("toolBar"));
    bar->setMovable(false);
    struct Tool {
        int id;
        const char* label;
        const char* tip;
    };
    const Tool tools[] = {
        {command::kResetLink, "Reset Link", "Reset the link and clear the chip information"},
        {command::kDoubleClock, "Double Clock", "Set the chip's double-clock bit"},
        {command::kSerialTest, "Serial Test", "Test the serial cable by loop-back"},
    };
    // The last button of the original bar did nothing; a control that does nothing is left out.
    for (const auto& [id, label, tip] : tools) {
        QAction* a = bar->addAction(QString::fromLatin1(label));
        if (const auto key = Shortcuts().find(id); key != Shortcuts().end()) a->setShortcut(key->second);
        a->setToolTip(WithShortcut(QString::fromLatin1(tip), id));
        a->setEnabled(dialog_->HasHandler(id));
        connect(a, &QAction::triggered, this, [this, id = id] { RunCommand(id); });
        actions_[id] = a;
    }
    security_ = new QLineEdit(bar);
    security_->setObjectName(QStringLiteral("security"));
    security_->setReadOnly(true);
    security_->setAccessibleName(QStringLiteral("Security"));
    security_->setMinimumWidth(360);
    bar->addSeparator();
    bar->addWidget(security_);
}

void MainWindow::BuildCentre() {
    auto* centre = new QWidget(this);
    auto* outer = new QVBoxLayout(centre);
    auto* layout = new QHBoxLayout;
    outer->addLayout(layout, 1);

    // Left: the tabs and the two lists of the memory view.
    auto* left = new QVBoxLayout;
    tabs_ = new QTabBar(centre);
    tabs_->setObjectName(QStringLiteral("blockTabs"));
    tabs_->addTab(QString::fromLatin1(text::kTabBlock0));
    tabs_->addTab(QString::fromLatin1(text::kTabBlock1));
    connect(tabs_, &QTabBar::currentChanged, this, [this](int tab) {
        if (busy_) return;
        Post([tab](MainDialog& d) { d.Memory().TabChanged(tab); });
    });
    left->addWidget(tabs_);
    const QFont font = ListFont();
    auto makeList = [&](const char* name) {
        auto* list = new QTreeWidget(centre);
        list->setObjectName(QString::fromLatin1(name));
        list->setRootIsDecorated(false);
        list->setUniformRowHeights(true);
        list->setFont(font);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        connect(list, &QTreeWidget::itemClicked, this, [this, list](QTreeWidgetItem* item, int) {
            if (busy_) return;
            const int row = list->indexOfTopLevelItem(item);
            if (list == dumpList_) Post([row](MainDialog& d) { d.Memory().ClickDumpRow(row); });
            else Post([row](MainDialog& d) { d.Memory().ClickRow(row); });
        });
        return list;
    };
    // The two lists side by side when the window is wide enough for both, else one above the
    // other (see resizeEvent); the dump takes the room the sector list does not need.
    lists_ = new QSplitter(Qt::Vertical, centre);
    lists_->setObjectName(QStringLiteral("memorySplitter"));
    lists_->setChildrenCollapsible(false);
    sectorList_ = makeList("sectorList");
    lists_->addWidget(sectorList_);
    auto* dumpPane = new QWidget(lists_);
    auto* dumpColumn = new QVBoxLayout(dumpPane);
    dumpColumn->setContentsMargins(0, 0, 0, 0);
    // "Go to" between the lists: an address of the shown block brings its row into view.
    auto* goToRow = new QHBoxLayout;
    auto* goToCaption = new QLabel(QStringLiteral("&Go to:"), centre);
    goTo_ = new QLineEdit(centre);
    goTo_->setObjectName(QStringLiteral("goTo"));
    goTo_->setAccessibleName(QStringLiteral("Go to address"));
    goTo_->setPlaceholderText(QStringLiteral("address, e.g. 1F80"));
    goTo_->setToolTip(QStringLiteral("Type an address of the shown block in hex and press Enter"));
    goTo_->setMaxLength(8);
    goTo_->setFixedWidth(goTo_->fontMetrics().horizontalAdvance(QStringLiteral("address, e.g. 1F80")) + 16);
    goToCaption->setBuddy(goTo_);
    goToRow->addWidget(goToCaption);
    goToRow->addWidget(goTo_);
    goToRow->addStretch();
    dumpColumn->addLayout(goToRow);
    connect(goTo_, &QLineEdit::returnPressed, this, [this] { GoTo(goTo_->text()); });
    dumpList_ = makeList("dumpList");
    dumpColumn->addWidget(dumpList_, 1);
    lists_->addWidget(dumpPane);
    left->addWidget(lists_, 1);
    lists_->installEventFilter(this);
    const int width = 620;
    auto applyColumns = [](QTreeWidget* list, const std::vector<MemoryView::Column>& columns) {
        list->setColumnCount(static_cast<int>(columns.size()));
        QStringList headers;
        for (const auto& c : columns) headers << Q(c.header);
        list->setHeaderLabels(headers);
        for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
            list->setColumnWidth(i, columns[static_cast<size_t>(i)].width);
            list->headerItem()->setTextAlignment(
                i, columns[static_cast<size_t>(i)].align == MemoryView::Column::Left ? Qt::AlignLeft : Qt::AlignHCenter);
        }
    };
    applyColumns(sectorList_, MemoryView::StatusColumns(width));
    applyColumns(dumpList_, dialog_->Memory().DumpColumns(width));
    // The dump's columns are as wide as their text in the list's font, so that the ASCII
    // column shows whole at the window's usual size rather than the fifths' share cut off.
    {
        const QFontMetrics fm(font);
        const int pad = 2 * fm.horizontalAdvance(QLatin1Char(' ')) + 8;
        const int label = fm.horizontalAdvance(QStringLiteral("00000 - 00000")) + pad;
        const int memory = fm.horizontalAdvance(QStringLiteral("FF FF FF FF FF FF FF FF - FF FF FF FF FF FF FF FF")) + pad;
        const int ascii = fm.horizontalAdvance(QString(16, QLatin1Char('W'))) + pad;
        dumpList_->setColumnWidth(0, label);
        dumpList_->setColumnWidth(1, memory);
        dumpList_->setColumnWidth(2, ascii);
        dumpList_->header()->setStretchLastSection(true);
        // The sector list's columns as wide as their headers and their widest entries; the
        // status takes what the list has beyond them, so that no column stops short of its edge.
        const QFontMetrics hm(sectorList_->header()->font());
        const char* widest[] = {"000", "1FFFF", "1FFFF", "131071", kChangedNotReadStatus};
        int total = 0;
        for (int i = 0; i < 5; ++i) {
            const int w = std::max(hm.horizontalAdvance(sectorList_->headerItem()->text(i)),
                                   fm.horizontalAdvance(QString::fromLatin1(widest[i]))) + pad;
            sectorList_->setColumnWidth(i, w);
            total += w;
        }
        sectorList_->header()->setStretchLastSection(true);
        const int chrome = 2 * sectorList_->frameWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4;
        sectorListWidth_ = total + chrome;
        sectorList_->setMinimumWidth(sectorListWidth_);
        dumpListWidth_ = label + memory + ascii + chrome;
        dumpList_->setMinimumWidth(dumpListWidth_);
    }
    sectorList_->setAccessibleName(QStringLiteral("Sector status"));
    dumpList_->setAccessibleName(QStringLiteral("Hex dump"));
    tabs_->setAccessibleName(QStringLiteral("Block"));
    // The memory view takes what the chip information and the buttons leave.
    layout->addLayout(left, 1);

    // Right: the chip information and the IAP Function buttons.
    auto* right = new QVBoxLayout;
    auto* info = new QGroupBox(QStringLiteral("Chip Information"), centre);
    auto* grid = new QGridLayout(info);
    int row = 0;
    for (const FieldDef& f : kFields) {
        auto* edit = new ElidedLineEdit(info);
        edit->setObjectName(QString::fromLatin1(f.name));
        edit->setReadOnly(true);
        fields_[f.field] = edit;
        // Screen readers and checks find each field by its label's words.
        edit->setAccessibleName(QString::fromLatin1(f.label).chopped(1));
        if (f.field == ChipField::IapStatus) continue;
        auto* caption = new QLabel(QString::fromLatin1(f.label), info);
        caption->setBuddy(edit);
        grid->addWidget(caption, row, 0);
        grid->addWidget(edit, row++, 1);
    }
    right->addWidget(info);
    auto* functions = new QGroupBox(QStringLiteral("IAP Function"), centre);
    auto* buttons = new QVBoxLayout(functions);
    for (const ButtonDef& b : kButtons) {
        auto* button = new QPushButton(QString::fromLatin1(b.text), functions);
        button->setObjectName(QStringLiteral("button%1").arg(static_cast<int>(b.id)));
        if (const auto key = Shortcuts().find(static_cast<int>(b.id)); key != Shortcuts().end()) {
            button->setShortcut(key->second);
            button->setToolTip(WithShortcut(QString::fromLatin1(b.text), static_cast<int>(b.id)));
        }
        connect(button, &QPushButton::clicked, this, [this, id = static_cast<int>(b.id)] { RunCommand(id); });
        buttons->addWidget(button);
        buttons_[b.id] = button;
    }
    right->addWidget(functions);
    right->addStretch();
    layout->addLayout(right, 0);

    // The result of the last command across the whole width, so that a long one (a compare
    // mismatch with its file name) can be read without a tool tip.
    auto* status = new QHBoxLayout;
    QLineEdit* iapStatus = fields_.at(ChipField::IapStatus);
    iapStatus->setParent(centre);
    auto* statusCaption = new QLabel(QStringLiteral("IAP Status:"), centre);
    statusCaption->setBuddy(iapStatus);
    // How the last command ended, in front of its line.
    banner_ = new QLabel(centre);
    banner_->setObjectName(QStringLiteral("resultBanner"));
    banner_->setVisible(false);
    status->addWidget(banner_);
    status->addWidget(statusCaption);
    status->addWidget(iapStatus, 1);
    outer->addLayout(status);

    // Below, the session's history, to be read back, copied or saved. It takes a share of
    // the height the window has to spare, beside the dump's, rather than a fixed few lines.
    auto* body = new QSplitter(Qt::Vertical, this);
    body->setObjectName(QStringLiteral("bodySplitter"));
    body->setChildrenCollapsible(false);
    body->addWidget(centre);
    auto* logPane = new QGroupBox(QStringLiteral("Log"), body);
    logPane->setObjectName(QStringLiteral("logPane"));
    auto* logColumn = new QVBoxLayout(logPane);
    logColumn->setContentsMargins(4, 2, 4, 4);
    log_ = new QPlainTextEdit(logPane);
    log_->setObjectName(QStringLiteral("log"));
    log_->setAccessibleName(QStringLiteral("Log"));
    log_->setReadOnly(true);
    log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont logFont = ListFont();
    logFont.setPixelSize(12);
    log_->setFont(logFont);
    log_->setMinimumHeight(log_->fontMetrics().lineSpacing() * 4 + 2 * log_->frameWidth() + 8);
    logColumn->addWidget(log_);
    body->addWidget(logPane);
    body_ = body;
    body->installEventFilter(this);
    // Once the operator has moved the handle, the heights are theirs.
    connect(body, &QSplitter::splitterMoved, this, [this] { logSized_ = true; });
    setCentralWidget(body);
    dumpList_->setItemDelegateForColumn(1, new MarkedBytesDelegate(dumpList_));
}

void MainWindow::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    promptPane_ = new ElidedLabel(bar);
    promptPane_->setObjectName(QStringLiteral("promptPane"));
    promptPane_->SetFullText(QString::fromLatin1(text::kReady));
    bar->addWidget(promptPane_, 1);
    auto* progressPane = new QWidget(bar);
    auto* row = new QHBoxLayout(progressPane);
    row->setContentsMargins(0, 0, 0, 0);
    progressLabel_ = new QLabel(progressPane);
    progressLabel_->setObjectName(QStringLiteral("progressLabel"));
    progress_ = new QProgressBar(progressPane);
    progress_->setObjectName(QStringLiteral("progress"));
    progress_->setRange(0, 1000);
    progress_->setTextVisible(true);
    progress_->setMinimumWidth(progressLabel_->fontMetrics().horizontalAdvance(
                                   QStringLiteral("100%  65536 of 65536 bytes  99.9 KB/s  999 s left")) +
                               24);
    progress_->setAccessibleName(QStringLiteral("Progress"));
    progress_->setVisible(false);
    // The label then four blanks, then the bar (the status bar's own layout rule).
    row->addWidget(progressLabel_);
    row->addSpacing(4 * progressLabel_->fontMetrics().horizontalAdvance(QLatin1Char(' ')));
    row->addWidget(progress_, 1);
    stop_ = new QPushButton(QStringLiteral("Stop"), progressPane);
    stop_->setObjectName(QStringLiteral("stopButton"));
    stop_->setToolTip(QStringLiteral("Stop the running command at its next safe point (Esc)"));
    stop_->setVisible(false);
    connect(stop_, &QPushButton::clicked, this, &MainWindow::RequestStop);
    row->addWidget(stop_);
    // Escape is the window's only while a command runs; otherwise it stays with the widgets.
    escape_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape_->setEnabled(false);
    connect(escape_, &QShortcut::activated, this, &MainWindow::RequestStop);
    bar->addWidget(progressPane, 1);
    auto pane = [bar](const char* name) {
        auto* label = new QLabel(bar);
        label->setObjectName(QString::fromLatin1(name));
        bar->addPermanentWidget(label);
        return label;
    };
    linkPane_ = pane("linkPane");
    doubleClockPane_ = pane("doubleClockPane");
    comPane_ = pane("comPane");
    baudPane_ = pane("baudPane");
    clockPane_ = pane("clockPane");
}

void MainWindow::FillDumpList() {
    dumpList_->setUpdatesEnabled(false);
    dumpList_->clear();
    QList<QTreeWidgetItem*> lines;
    for (size_t k = 0; k < shownDump_.size(); ++k) {
        const auto& row = shownDump_[k];
        auto* item = new QTreeWidgetItem;
        for (int i = 0; i < 3; ++i) item->setText(i, Q(row[static_cast<size_t>(i)]));
        if (const uint16_t mask = k < shownMarks_.size() ? shownMarks_[k] : 0) {
            item->setData(1, Qt::UserRole, static_cast<uint>(mask));
            const uint first = Q(row[0]).section(QLatin1Char(' '), 0, 0).toUInt(nullptr, 16);
            QStringList at;
            for (uint i = 0; i < 16; ++i)
                if (mask & (1u << i))
                    at << QStringLiteral("%1").arg(first + i, 4, 16, QLatin1Char('0')).toUpper() + QLatin1Char('h');
            item->setToolTip(1, QStringLiteral("differs from the file at ") + at.join(QStringLiteral(", ")));
        }
        lines << item;
    }
    dumpList_->addTopLevelItems(lines);
    dumpList_->setUpdatesEnabled(true);
    KeepWholeRows(dumpList_, kDumpRowsShown);
}

void MainWindow::FillSectorList(const std::vector<std::array<std::string, 5>>& rows) {
    // The same rows with new words (a read under way) are changed where they stand, so that
    // the list keeps its place and the operator's selection.
    if (sectorList_->topLevelItemCount() == static_cast<int>(rows.size())) {
        for (size_t k = 0; k < rows.size(); ++k) {
            QTreeWidgetItem* item = sectorList_->topLevelItem(static_cast<int>(k));
            for (int i = 0; i < 5; ++i)
                if (const QString text = Q(rows[k][static_cast<size_t>(i)]); item->text(i) != text) item->setText(i, text);
        }
        return;
    }
    sectorList_->setUpdatesEnabled(false);
    sectorList_->clear();
    QList<QTreeWidgetItem*> items;
    for (const auto& r : rows) {
        auto* item = new QTreeWidgetItem;
        for (int i = 0; i < 5; ++i) {
            item->setText(i, Q(r[static_cast<size_t>(i)]));
            item->setTextAlignment(i, Qt::AlignHCenter);
        }
        items << item;
    }
    sectorList_->addTopLevelItems(items);
    sectorList_->setUpdatesEnabled(true);
    KeepWholeRows(sectorList_, kSectorRowsShown);
}

void MainWindow::GoTo(const QString& text) {
    QString digits = text.trimmed();
    if (digits.endsWith(QLatin1Char('h'), Qt::CaseInsensitive)) digits.chop(1);
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) digits.remove(0, 2);
    bool ok = false;
    const uint address = digits.toUInt(&ok, 16);
    if (!ok || digits.isEmpty()) {
        ShowResult("Go to: \"" + text.trimmed().toStdString() + "\" is not an address in hex");
        return;
    }
    if (busy_) return;
    Post([this, address](MainDialog& d) {
        const std::string why = d.Memory().GoTo(address);
        if (!why.empty()) bridge_.PostToGui([this, why] { ShowResult("Go to: " + why); });
    });
}

// On the command thread: copy what changed and hand the copy to the GUI thread.
void MainWindow::OnChanged(Change what) {
    MainDialog& d = *dialog_;
    switch (what) {
        case Change::Fields: {
            std::map<ChipField, std::string> values;
            for (const FieldDef& f : kFields) values[f.field] = d.Field(f.field);
            bridge_.PostToGui([this, values, reasons = Reasons(d)] {
                for (const auto& [field, text] : values) {
                    QLineEdit* edit = fields_[field];
                    if (field == ChipField::IapStatus && edit->text() != Q(text)) {
                        // A line taken back (the password gate's, after a cancelled dialog)
                        // leaves the status bar with it.
                        if (text.empty() && promptPane_->text() == edit->text()) promptPane_->SetFullText(QString());
                        ShowResult(text);
                    }
                    edit->setText(Q(text));
                }
                reasons_ = reasons;
                ApplyReasons();
            });
            break;
        }
        case Change::Security:
            bridge_.PostToGui([this, text = d.SecurityLine()] { security_->setText(Q(text)); });
            break;
        case Change::Buttons: {
            std::map<IapButton, bool> enabled;
            for (const ButtonDef& b : kButtons) enabled[b.id] = d.ButtonEnabled(b.id);
            bridge_.PostToGui([this, enabled, reasons = Reasons(d)] {
                buttonRules_ = enabled;
                for (const auto& [id, on] : enabled) buttons_[id]->setEnabled(on && !busy_);
                reasons_ = reasons;
                ApplyReasons();
            });
            break;
        }
        case Change::Progress:
            bridge_.PostToGui([this, label = d.ProgressLabel(), range = d.ProgressRange(),
                               position = d.ProgressPosition(), visible = d.ProgressVisible(),
                               operation = d.ProgressOperation(), stepBytes = d.ProgressStepBytes()] {
                // Once a stop is asked the label says so until the command has ended.
                progressText_ = label;
                progressLabel_->setText(stopping_ ? QString::fromLatin1(kStoppingLabel) : Q(label));
                const int upper = std::max(range, 1);
                const int value = std::min(position, upper);
                if (operation != progressOperation_) {
                    progressOperation_ = operation;
                    progressStartMs_ = QDateTime::currentMSecsSinceEpoch();
                    progressPeak_ = 0;
                }
                progressPeak_ = std::max(progressPeak_, value);
                progress_->setRange(0, upper);
                progress_->setValue(value);
                progress_->setFormat(operation == commandOperation_
                                         ? QString()
                                         : ProgressText(value, upper, stepBytes,
                                                        QDateTime::currentMSecsSinceEpoch() - progressStartMs_));
                progress_->setVisible(visible);
            });
            break;
        case Change::Panes:
            bridge_.PostToGui([this, dc = d.DoubleClockPane(), com = d.ComPane(), baud = d.BaudPane(),
                               link = d.LinkPane()] {
                linkPane_->setText(Q(link));
                // While connected the link pane names the port and the rate; the two panes of
                // their own come back when it is down, to say what the next detection uses.
                const bool connected = link != text::kNotConnected;
                comPane_->setVisible(!connected);
                baudPane_->setVisible(!connected);
                doubleClockPane_->setText(Q(dc));
                comPane_->setText(Q(com));
                baudPane_->setText(Q(baud));
            });
            break;
        case Change::Title:
            bridge_.PostToGui([this, title = d.Title()] { setWindowTitle(Q(title)); });
            break;
        case Change::Tab:
            bridge_.PostToGui([this, tab = d.Tab()] {
                const QSignalBlocker quiet(tabs_);
                tabs_->setCurrentIndex(tab);
            });
            break;
        case Change::SectorRows:
            bridge_.PostToGui([this, rows = d.Memory().StatusRows()] { FillSectorList(rows); });
            break;
        case Change::Memory: {
            const MemoryView& m = d.Memory();
            bridge_.PostToGui([this, rows = m.StatusRows(), dump = m.DumpRows(), marks = m.DumpMarks(),
                               header = m.DumpHeader(), hot = m.HotItem(), focus = m.DumpFocusRow()] {
                FillSectorList(rows);
                if (hot >= 0 && hot < sectorList_->topLevelItemCount()) {
                    sectorList_->setCurrentItem(sectorList_->topLevelItem(hot));
                    sectorList_->scrollToItem(sectorList_->topLevelItem(hot));
                }
                dumpList_->headerItem()->setText(0, Q(header));
                // A click or a jump moves through the same rows: they are built again only when
                // what they show changed (a whole block is thousands of them).
                if (dump != shownDump_ || marks != shownMarks_) {
                    shownDump_ = dump;
                    shownMarks_ = marks;
                    FillDumpList();
                }
                if (QTreeWidgetItem* row = dumpList_->topLevelItem(focus)) {
                    const QSignalBlocker quiet(dumpList_);
                    dumpList_->setCurrentItem(row);
                    dumpList_->scrollToItem(row, QAbstractItemView::PositionAtTop);
                }
            });
            break;
        }
        case Change::Close:
            bridge_.PostToGui([this] { close(); });
            break;
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closeReportShown_) {
        event->ignore();
        return;
    }
    if (!closing_.load()) {
        if (commandRunning_.load() && !asking_) {
            // A command part-way through may have block 0 borrowed or a window open: it is
            // asked to stop where it safely can, and runs its own recovery before the window
            // goes. Nothing is abandoned without the operator's word.
            asking_ = true;
            const QString question =
                QString::fromUtf8(kStopAndCloseQuestion) + QStringLiteral("\n\n") + Q(LeftUndoneByStop(runningId_));
            const bool stop = QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No,
                                                    QMessageBox::No) == QMessageBox::Yes;
            asking_ = false;
            if (!stop) {
                event->ignore();
                return;
            }
            dialog_->Session().flags.stop.Request();
        } else if (asking_) {
            event->ignore();
            return;
        }
        closing_ = true;
        // Questions not yet shown are answered No, and the command that runs reaches its
        // safe point and ends on its own; the line's waits are left alone, since the
        // command's recovery still talks to the target. Nothing here waits on the command
        // thread while it might be waiting on us.
        bridge_.Shutdown();
    }
    if (QWidget* modal = QApplication::activeModalWidget()) {
        modal->close();
        event->ignore();
        QTimer::singleShot(10, this, [this] { close(); });
        return;
    }
    if (commands_.Busy()) {
        event->ignore();
        QTimer::singleShot(10, this, [this] { close(); });
        return;
    }
    std::string report;
    {
        std::lock_guard<std::mutex> lock(closeReportMutex_);
        report.swap(closeReport_);
    }
    if (!report.empty()) {
        // The same report a Stop gives, before the window goes.
        closeReportShown_ = true;
        QMessageBox box(QMessageBox::Warning, windowTitle(), Q(report), QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("stopReport"));
        box.exec();
        closeReportShown_ = false;
    }
    timer_->stop();
    commands_.Stop();
    dialog_->SetObserver(nullptr);
    dialog_->Shutdown();
    event->accept();
}

}  // namespace tessel::gui
