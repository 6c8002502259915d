// The main window's widgets: built once (menus, tool bar, the memory view's lists, the chip
// fields and buttons, the log, the status bar) and drawn from the dialog model's state
// whenever it changes.

#include <QApplication>
#include <QDateTime>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTabBar>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <map>

#include "ElidedWidgets.h"
#include "MainWindow.h"
#include "MainWindowParts.h"
#include "commands/MemoryView.h"
#include "commands/Texts.h"

namespace tessel::gui {

using detail::ButtonDef;
using detail::kButtons;
using detail::kStoppingLabel;
using detail::Menu;
using detail::MenuItem;
using detail::Menus;
using detail::HelpItems;
using detail::Q;

namespace detail {

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

}  // namespace detail

namespace {

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

// The fewest rows each list shows whole: a sector's dump (eight rows of a 128-byte sector)
// and a few sectors around the one picked.
constexpr int kSectorRowsShown = 6;
constexpr int kDumpRowsShown = 8;

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
    // The memory view takes what the chip information and the buttons leave.
    layout->addLayout(BuildMemoryPane(centre), 1);
    layout->addLayout(BuildChipPane(centre), 0);
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
    body->addWidget(BuildLogPane(body));
    body_ = body;
    body->installEventFilter(this);
    // Once the operator has moved the handle, the heights are theirs.
    connect(body, &QSplitter::splitterMoved, this, [this] { logSized_ = true; });
    setCentralWidget(body);
    dumpList_->setItemDelegateForColumn(1, new MarkedBytesDelegate(dumpList_));
}

// Left: the tabs and the two lists of the memory view.
QVBoxLayout* MainWindow::BuildMemoryPane(QWidget* centre) {
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
    return left;
}

// Right: the chip information and the IAP Function buttons.
QVBoxLayout* MainWindow::BuildChipPane(QWidget* centre) {
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
    return right;
}

QWidget* MainWindow::BuildLogPane(QWidget* parent) {
    auto* logPane = new QGroupBox(QStringLiteral("Log"), parent);
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
    return logPane;
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

}  // namespace tessel::gui
