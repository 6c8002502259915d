#include "MainWindow.h"

#include <QApplication>
#include <QEventLoop>
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
#include "MainWindowParts.h"
#include "QtPrintTarget.h"
#include "device/ChipCatalogue.h"
#include "device/StopRequest.h"
#include "platform/PortList.h"
#include "platform/SafeFile.h"
#include "sim/SimBoard.h"
#include "commands/ConfigCommands.h"
#include "commands/DetectCommands.h"
#include "commands/ExternalCommands.h"
#include "commands/OperatorCommands.h"
#include "commands/PasswordCommands.h"
#include "commands/UpgradeCommands.h"
#include "commands/MemoryView.h"
#include "commands/MessageAdvice.h"
#include "commands/Texts.h"

// The icon lives in the library; a static library's resources are registered by hand.
static void InitGuiResources() { Q_INIT_RESOURCE(tessel_gui); }

namespace tessel::gui {

using detail::ButtonDef;
using detail::kButtons;
using detail::kStoppingLabel;
using detail::Menus;
using detail::Q;

namespace {

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

// What the password gate leaves on the status line; the command's own result replaces it.
constexpr char kGateSucceeded[] = "Password Verify succeed";
constexpr char kRanToItsEnd[] = "Stop was asked, but the command ended before it reached a point where it could stop.";

// Files a drop may bring: the images Download reads.
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
        const std::optional<Failure>& failure = d.FailureSeen();
        const bool differences = failure && failure->step == "compare" && failure->got && failure->expected;
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
    // The job may need the GUI thread (a message box), so its events keep flowing meanwhile;
    // the end is queued, so that a job done before exec() still ends the wait.
    QEventLoop loop;
    Post([&](MainDialog& d) {
        job(d);
        QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
}

std::vector<std::string> MainWindow::PortNames() const {
    std::vector<std::string> names;
    for (const PortEntry& p : ListSerialPorts()) names.push_back(p.name);
    if (options_.offerStandIn)
        for (const ChipInfo& chip : AllChips()) names.push_back(std::string("sim:") + chip.model);
    return names;
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
