#include <gtest/gtest.h>

#include <QAccessible>
#include <QSplitter>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QToolButton>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <filesystem>
#include <map>
#include <fstream>
#include <functional>
#include <set>

#include "Dialogs.h"
#include "ElidedWidgets.h"
#include "GuiSettings.h"
#include "MainWindow.h"
#include "QtPrintTarget.h"
#include "gui/ModalOperator.h"
#include "platform/PortList.h"
#include "transfer/ImageLoaders.h"
#include "commands/MessageAdvice.h"
#include "sim/SimBoard.h"
#include "commands/FlashDialogs.h"
#include "commands/MemoryView.h"
#include "support/Pattern.h"
#include "support/TempFolder.h"

namespace tessel::gui {
namespace {

const QString kSample = QStringLiteral(TESSEL_SOURCE_DIR "/samples/blink.hex");

using test::TempDir;

// A dark desktop's palette, as an operator's theme may give one.
QPalette DarkPalette() {
    QPalette p(QColor(53, 53, 53), QColor(45, 45, 45));
    for (const auto& [role, colour] : {std::pair{QPalette::Base, QColor(30, 30, 30)}, {QPalette::Text, QColor(230, 230, 230)},
                                       {QPalette::WindowText, QColor(230, 230, 230)}, {QPalette::ButtonText, QColor(230, 230, 230)},
                                       {QPalette::AlternateBase, QColor(40, 40, 40)}, {QPalette::Highlight, QColor(42, 110, 190)},
                                       {QPalette::HighlightedText, QColor(255, 255, 255)}})
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) p.setColor(group, role, colour);
    return p;
}

struct Rig {
    explicit Rig(const char* model) : dir(TempDir()), port(QStringLiteral("sim:%1").arg(model)) {
        MainWindowOptions o;
        o.configDir = dir + "/config";
        o.stateDir = dir + "/state";
        window = std::make_unique<MainWindow>(o);
        window->resize(1100, 760);
        window->show();
        const int code = *ChipCodeForModel(model);
        op.On("ChipSelectDialog", [this, code](QWidget* d) {
            Child<QComboBox>(d, "chipType")->setCurrentIndex(code - 1);
            Child<QRadioButton>(d, external ? "memoryExternal" : "memoryInternal")->setChecked(true);
            PressOk(d);
        });
        op.On("CommSetupDialog", [this](QWidget* d) {
            auto* ports = Child<QComboBox>(d, "port");
            // A numbered name of no device present is behind "Show all COM names".
            if (ports->findText(port) < 0) Child<QCheckBox>(d, "showAllComNames")->setChecked(true);
            ports->setCurrentIndex(ports->findText(port));
            PressOk(d);
        });
        op.On("PasswordVerifyDialog", [](QWidget* d) { PressOk(d); });
        op.On("SectorRangeDialog", [this](QWidget* d) {
            titles.push_back(d->windowTitle());
            barsAtRange.push_back(window->Progress()->isVisible() ? window->Progress()->text() : QString());
            Child<QComboBox>(d, "startSector")->setCurrentIndex(start);
            Child<QComboBox>(d, "count")->setCurrentIndex(count);
            PressOk(d);
        });
        for (const char* name : {"DownloadDialog", "CompareDialog"})
            op.On(name, [this](QWidget* d) {
                Child<QLineEdit>(d, "fileName")->setText(file);
                Child<QComboBox>(d, "startSector")->setCurrentIndex(fileStart);
                PressOk(d);
            });
    }
    ~Rig() {
        window->close();
        window.reset();
        std::filesystem::remove_all(dir);
    }
    // Runs a command and waits until the command thread is idle again.
    bool Run(int id, int ms = 60000) {
        window->RunCommand(id);
        return WaitFor([this] { return !window->CommandBusy(); }, ms);
    }
    bool Detect() {
        if (!Run(command::kDetect11F)) return false;
        board = sim::FindSimBoard(port.toStdString());
        return board && WaitFor([this] { return window->Field(ChipField::FwVersion)->text() == "v1.1F"; }, 5000);
    }

    std::string dir;
    QString port;
    bool external = false;  // the chip selection answers External memory mode
    ModalOperator op;
    std::unique_ptr<MainWindow> window;
    std::shared_ptr<sim::Board> board;
    int start = 0, count = 0, fileStart = 0;  // fileStart: the file dialogs' start sector
    QString file;
    std::vector<QString> titles;  // of the range dialogs, in order
    std::vector<QString> barsAtRange;  // what the bar said while each was open

    QString Iap() const { return window->Field(ChipField::IapStatus)->text(); }
    bool Said(const QString& prefix) const { return Find(prefix) < op.messages.size(); }
    // Clicks a row of the sector list, as the operator does, until the dump shows that sector.
    bool ShowRow(int row) {
        QTreeWidget* list = window->SectorList();
        list->scrollToItem(list->topLevelItem(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->topLevelItem(row)).center());
        const QString header = QStringLiteral("SECTOR %1").arg(row, 3, 10, QLatin1Char('0'));
        return WaitFor([&] { return window->DumpList()->headerItem()->text(0) == header; }, 5000);
    }
    // The dump row `k` rows below the one brought into view (the shown sector's first).
    QTreeWidgetItem* DumpRow(int k = 0) const {
        QTreeWidget* dump = window->DumpList();
        QTreeWidgetItem* row = dump->topLevelItem(dump->indexOfTopLevelItem(dump->currentItem()) + k);
        static QTreeWidgetItem none;
        return row ? row : &none;
    }
    // The first message from `from` on that starts with `prefix`; the number of messages if none.
    size_t Find(const QString& prefix, size_t from = 0) const {
        while (from < op.messages.size() && !op.messages[from].startsWith(prefix)) ++from;
        return from;
    }
    QString WriteText(const std::string& name, const std::string& text) {
        std::ofstream(dir + "/" + name) << text;
        return QString::fromStdString(dir + "/" + name);
    }
    QString Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        return WriteText(name, std::string(bytes.begin(), bytes.end()));
    }
    QStringList LogLines() const { return window->Log()->toPlainText().split(QLatin1Char('\n')); }
};

TEST(MainWindowGui, DetectThenReadFillsTheListsWhileTheWindowStaysLive) {
    Rig r("NX31A32");
    QLabel* link = Child<QLabel>(r.window.get(), "linkPane");
    EXPECT_EQ(link->text(), "Not connected");
    ASSERT_TRUE(r.Detect());
    EXPECT_EQ(r.window->Field(ChipField::ChipType)->text(), "NX31A32");
    EXPECT_EQ(Child<QLabel>(r.window.get(), "comPane")->text(), "sim:NX31A32");
    EXPECT_EQ(link->text(), "Connected NX31A32 at 38400 on sim:NX31A32");

    std::vector<uint8_t> flash(32768, 0xFF);
    std::fill(flash.begin() + 2 * 128, flash.begin() + 3 * 128, 0x41);
    std::fill(flash.begin() + 200 * 128, flash.begin() + 200 * 128 + 5, 0x00);
    r.board->SetBlock(0, flash);

    // The GUI thread's event loop is sampled every 20 ms while the read runs.
    QElapsedTimer gap;
    qint64 longest = 0;
    QTimer probe;
    probe.setInterval(20);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (gap.isValid()) longest = std::max(longest, gap.restart());
        else gap.start();
    });
    r.window->SetTickPeriod(200);  // the clock pane redraws faster than the read takes
    const QString clockBefore = r.window->ClockPane()->text();
    probe.start();
    r.window->RunCommand(command::kRead);
    bool clockMoved = false;
    ASSERT_TRUE(WaitFor([&] {
        clockMoved = clockMoved || r.window->ClockPane()->text() != clockBefore;
        return !r.window->CommandBusy();
    }, 60000));
    probe.stop();
    EXPECT_LT(longest, 200) << "the event loop was blocked for " << longest << " ms";
    EXPECT_TRUE(clockMoved);
    // Idle again, the window hands its ticks to the session, whose keep-alive runs there.
    const int ticks = r.window->TicksHandled();
    EXPECT_TRUE(WaitFor([&] { return r.window->TicksHandled() > ticks; }, 5000));

    QTreeWidget* list = r.window->SectorList();
    QTest::qWait(100);  // the view's last update, posted as the command ended
    ASSERT_EQ(list->topLevelItemCount(), 256);
    for (int i : {1, 2, 3, 200, 255}) EXPECT_EQ(list->topLevelItem(i)->text(4), i % 2 ? "Blank" : "Not Blank") << i;

    // The dump holds the whole block: each sector read as its 8 rows; a click on a sector's
    // row brings its bytes into view, and "Go to" an address the row that holds it.
    QTreeWidget* dump = r.window->DumpList();
    ASSERT_TRUE(r.ShowRow(200));
    EXPECT_EQ(r.DumpRow()->text(1), "00 00 00 00 00 FF FF FF - FF FF FF FF FF FF FF FF");
    EXPECT_TRUE(dump->visualItemRect(r.DumpRow()).intersects(dump->viewport()->rect())) << "scrolled to sector 200";
    QLineEdit* goTo = r.window->GoToField();
    for (const auto& [typed, row, header] : {std::tuple{"7ff5", "7FF0 - 7FFF", "SECTOR 255"},
                                             std::tuple{"0x1a4h", "01A0 - 01AF", "SECTOR 003"}}) {
        goTo->setText(QString::fromLatin1(typed));
        QTest::keyClick(goTo, Qt::Key_Return);
        ASSERT_TRUE(WaitFor([&] { return r.DumpRow()->text(0) == row; }, 5000)) << typed;
        EXPECT_EQ(dump->headerItem()->text(0), header);
        EXPECT_TRUE(dump->visualItemRect(r.DumpRow()).intersects(dump->viewport()->rect())) << typed;
    }
    goTo->setText(QStringLiteral("8000"));
    QTest::keyClick(goTo, Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return r.window->PromptPane()->text().startsWith("Go to: "); }, 5000));
    EXPECT_EQ(r.window->PromptPane()->text(), "Go to: 8000h is outside block 0 (0000h-7FFFh)");
    EXPECT_EQ(r.DumpRow()->text(0), "01A0 - 01AF") << "a refused jump leaves the view";
}

// Without a display the program says so and ends with 1, not in the toolkit's abort; told
// to draw offscreen it runs.
TEST(MainWindowGui, WithoutADisplayTheProgramSaysSoAndOffscreenItRuns) {
    const std::string home = TempDir();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QString::fromLatin1(name));
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
        env.insert(QString::fromLatin1(name), QString::fromStdString(home));
    QProcess gui;
    gui.setProcessEnvironment(env);
    gui.start(QStringLiteral(TESSEL_GUI_PROGRAM), {});
    ASSERT_TRUE(gui.waitForFinished(30000));
    EXPECT_EQ(gui.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(gui.exitCode(), 1);
    EXPECT_EQ(gui.readAllStandardError().toStdString(), "tessel-gui: cannot open a display ($DISPLAY unset)\n");
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    gui.setProcessEnvironment(env);
    gui.start(QStringLiteral(TESSEL_GUI_PROGRAM), {});
    EXPECT_FALSE(gui.waitForFinished(1500)) << gui.readAllStandardError().toStdString();
    gui.kill();
    gui.waitForFinished();
    std::filesystem::remove_all(home);
}

// Closing the window during a download through the stub that borrows block 0 asks first; Yes
// stops at the next chunk, puts block 0 back, and closes. (What the stop leaves: tests/ui.)
TEST(MainWindowGui, ClosingDuringABlock1DownloadAsksThenPutsBlock0BackBeforeClosing) {
    auto r = std::make_unique<Rig>("NX31A32");
    ASSERT_TRUE(r->Detect());
    // 48 sectors into block 1, through the stub that borrows block 0.
    r->file = r->Write("b1.bin", test::Pattern(48 * 64, 1, 5));
    r->fileStart = 256 + 16;
    r->window->RunCommand(command::kDownload);
    ASSERT_TRUE(WaitFor([&] { return r->board->CurrentMode() == sim::Mode::Stub; }, 30000)) << "the stub never ran";
    r->op.answer = QMessageBox::No;
    r->window->close();
    EXPECT_TRUE(r->window->isVisible()) << "No keeps the window and the command";
    EXPECT_TRUE(r->window->CommandBusy());
    r->op.answer = QMessageBox::Yes;
    r->window->close();
    EXPECT_TRUE(WaitFor([&] { return !r->window->isVisible() && !r->window->CommandBusy(); }, 30000));
    const QString question = QString::fromUtf8(kStopAndCloseQuestion) + QStringLiteral("\n\n") +
                             QString::fromStdString(LeftUndoneByStop(command::kDownload));
    EXPECT_EQ(std::count(r->op.messages.begin(), r->op.messages.end(), question), 2) << "the question says what a stop leaves";
    // Before the window went, the stop's own report, as a warning (its words: tests/ui).
    const size_t report = r->Find(QString::fromLatin1(kStoppedPrefix));
    ASSERT_LT(report, r->op.messages.size());
    EXPECT_EQ(r->op.icons[report], QMessageBox::Warning);
    r.reset();
}

// The password field's text reaches the chip as Latin-1 bytes, as the command line's does (its
// test starts a board holding these bytes); a character without one is refused, not sent as
// "?". Closing the window while the gate's dialog waits ends the command and closes it.
TEST(MainWindowGui, ANonAsciiPasswordIsSetAsLatin1BytesAndOneWithoutThemIsRefused) {
    Rig r("NX31L32B");
    ASSERT_TRUE(r.Detect());
    QAction* item = r.window->Action(command::kSetResetPassword);
    ASSERT_TRUE(item->isEnabled());
    int opened = 0;
    r.op.On("PasswordSetDialog", [&opened](QWidget* d) {
        // First a euro sign, which the dialog must refuse and keep open; the handler runs again
        // for the dialog still open and gives the real one.
        const QString text = ++opened == 1 ? QStringLiteral("pass\u20AC") : QStringLiteral("p\u00E4ssw\u00F6rd");
        Child<QLineEdit>(d, "password")->setText(text);
        Child<QLineEdit>(d, "retypePassword")->setText(text);
        PressOk(d);
    });
    r.op.answer = QMessageBox::Yes;
    item->trigger();
    ASSERT_TRUE(WaitFor([&] { return !r.window->CommandBusy() && r.Iap() == "password set; block 0 erased"; }))
        << r.Iap().toStdString();
    EXPECT_TRUE(std::any_of(r.op.messages.begin(), r.op.messages.end(),
                            [](const QString& m) { return m.contains(QStringLiteral("only Latin-1 characters")); }));
    EXPECT_EQ(r.board->Password(), "p\xE4ssw\xF6rd");

    QElapsedTimer t;
    bool closed = false;
    r.op.On("PasswordVerifyDialog", [&](QWidget*) {
        if (closed) return;
        closed = true;
        t.start();
        r.window->close();
    });
    r.window->RunCommand(command::kRead);
    EXPECT_TRUE(WaitFor([&] { return closed && !r.window->isVisible() && !r.window->CommandBusy(); }, 15000));
    EXPECT_LT(t.elapsed(), 5000);
}

// "&Download Monitra" from its menu: the window closes itself, as nothing is left to talk to.
// The stand-in board keeps the monitor for the process, so no other test detects this model.
TEST(MainWindowGui, DownloadMonitraFromTheMenuWritesTheMonitorAndClosesTheWindow) {
    auto r = std::make_unique<Rig>("NX31A16");
    ASSERT_TRUE(r->Detect());
    QAction* item = r->window->Action(command::kDownloadMonitra);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), "&Download Monitra");
    ASSERT_TRUE(item->isEnabled());
    r->op.answer = QMessageBox::Yes;
    item->trigger();
    ASSERT_TRUE(WaitFor([&] { return !r->window->isVisible() && !r->window->CommandBusy(); }, 60000));
    EXPECT_TRUE(r->Said(QStringLiteral("Please press reset button on BSL demo board.")));
    r.reset();
}

// While a Read runs nothing else starts, by button, menu or request, and nothing clicked
// during it runs afterwards; then the controls come back as the chip's state allows.
TEST(MainWindowGui, DuringAReadEveryOtherCommandIsGreyedAndNothingQueues) {
    Rig r("NX31H64D");
    ASSERT_TRUE(r.Detect());
    r.count = 64;
    QPushButton* read = r.window->Button(IapButton::Read);
    QAction* userCode = r.window->Action(command::kExecuteUserCode);
    ASSERT_TRUE(read->isEnabled());
    ASSERT_TRUE(userCode->isEnabled());
    QTest::mouseClick(read, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return r.window->Progress()->isVisible(); }, 10000)) << "the read never started";
    ASSERT_TRUE(r.window->CommandBusy());

    EXPECT_FALSE(read->isEnabled());
    EXPECT_FALSE(userCode->isEnabled());
    for (int id : {command::kCompare, command::kDetect11F, command::kResetLink, command::kAboutDetect,
                   command::kSetResetPassword})
        EXPECT_FALSE(r.window->Action(id)->isEnabled()) << id;
    for (IapButton b : {IapButton::Download, IapButton::SectorErase, IapButton::ChipErase, IapButton::LockChip})
        EXPECT_FALSE(r.window->Button(b)->isEnabled()) << static_cast<int>(b);
    EXPECT_FALSE(r.window->Tabs()->isEnabled());
    EXPECT_TRUE(r.window->Action(command::kExit)->isEnabled()) << "leaving stays possible";

    QTest::mouseClick(read, Qt::LeftButton);
    userCode->trigger();
    EXPECT_FALSE(r.window->RunCommand(command::kExecuteUserCode));
    EXPECT_FALSE(r.window->RunCommand(command::kRead));

    ASSERT_TRUE(WaitFor([&] { return !r.window->CommandBusy(); }));
    QTest::qWait(300);  // anything queued would be running by now
    EXPECT_FALSE(r.window->CommandBusy());
    EXPECT_EQ(r.titles.size(), 1u) << "a second Read ran after the first";
    EXPECT_EQ(r.window->Field(ChipField::FwVersion)->text(), "v1.1F") << "the user code was started";
    EXPECT_TRUE(r.board->Linked());
    EXPECT_TRUE(read->isEnabled());
    EXPECT_TRUE(userCode->isEnabled());
    EXPECT_TRUE(r.window->Tabs()->isEnabled());
}

// A long result line is elided in the middle, whole in its tool tip and the status bar; the
// dump prints in whole lines, and a printer that cannot open is a failure.
TEST(MainWindowGui, TheIapStatusLineShowsItsWholeTextOrCarriesItInItsToolTip) {
    Rig r("NX31A32");
    ASSERT_TRUE(r.Detect());
    auto* status = qobject_cast<ElidedLineEdit*>(r.window->Field(ChipField::IapStatus));
    ASSERT_NE(status, nullptr);
    ASSERT_TRUE(WaitFor([&] { return !status->text().isEmpty(); }, 5000));
    const QString detected = status->text();
    EXPECT_EQ(status->DisplayedText(), detected) << "at the usual size the line fits";

    // A blank chip against the sample: the mismatch names the address and the file.
    r.file = QString::fromStdString(r.dir + "/a-rather-long-image-file-name-for-the-status-line.hex");
    ASSERT_TRUE(QFile::copy(kSample, r.file));
    ASSERT_TRUE(r.Run(command::kCompare));
    ASSERT_TRUE(WaitFor([&] { return status->text().startsWith("a-rather-long-image-file-name-for-the-status-line.hex differs from block 0 in "); }, 5000))
        << status->text().toStdString();
    const QString mismatch = status->text();
    EXPECT_EQ(status->toolTip(), mismatch);

    r.window->resize(640, 600);
    QApplication::processEvents();
    ASSERT_TRUE(status->Elides()) << "the line is " << status->width() << " pixels wide";
    const QString shown = status->DisplayedText();
    EXPECT_TRUE(shown.startsWith("a-rather") && shown.endsWith(mismatch.right(8)) && shown.contains(QChar(0x2026)))
        << shown.toStdString();
    EXPECT_LE(status->fontMetrics().horizontalAdvance(shown), status->contentsRect().width());
    EXPECT_EQ(status->text(), mismatch) << "eliding changes only what is painted";

    // Printing the first sectors into a PDF: pages of whole dump lines that fit the page.
    const QString pdf = QString::fromStdString(r.dir + "/dump.pdf");
    r.window->Printer().SetPdfOutput(pdf);
    r.start = 0;
    r.count = 40;
    ASSERT_TRUE(r.Run(command::kPrint));
    const auto& pages = r.window->Printer().PageTexts();
    ASSERT_GE(pages.size(), 2u);
    size_t lines = 0;
    for (const std::string& page : pages) {
        EXPECT_EQ(page.back(), '\n') << "a line cut between pages";
        lines += static_cast<size_t>(std::count(page.begin(), page.end(), '\n'));
    }
    EXPECT_EQ(lines, 40u * 128u / 16u);
    EXPECT_EQ(pages.front().substr(0, 13), "0000 - 000F  ");
    QFile f(pdf);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().startsWith("%PDF"));

    // A printer that cannot be opened (here a PDF in a folder that does not exist, as a
    // machine without a print queue) is a failure, never "completed".
    r.window->Printer().SetPdfOutput(QString::fromStdString(r.dir + "/no-such-folder/dump.pdf"));
    r.op.messages.clear();
    ASSERT_TRUE(r.Run(command::kPrint));
    ASSERT_FALSE(r.op.messages.empty());
    EXPECT_TRUE(r.op.messages.back().startsWith("Print data failed")) << r.op.messages.back().toStdString();
    EXPECT_EQ(std::count(r.op.messages.begin(), r.op.messages.end(), QStringLiteral("Print data has completed")), 0);
}

// The menus, keys, tips and icon before any detection; errors and questions with their icons
// and advice; the machine's ports, adapters first with what identifies them; the window back
// where it was left.
TEST(MainWindowGui, MenusHoldEveryItemAndErrorsAndQuestionsShowTheirIcons) {
    Rig r("NX31A16");
    ASSERT_NE(r.window->Action(command::kDetect11F), nullptr);
    EXPECT_TRUE(r.window->Action(command::kDetect11F)->isEnabled());
    EXPECT_EQ(r.window->Action(command::kDetect11F)->text(),
              "Detect Target MCU for Firmware1.1&F and RS232 Config.");
    // Each key of a menu (and of the bar) reaches one item; no control that does nothing.
    QList<QWidget*> menus{r.window->menuBar()};
    for (QMenu* m : r.window->menuBar()->findChildren<QMenu*>()) menus << m;
    for (QWidget* menu : menus) {
        std::set<QChar> keys;
        for (QAction* a : menu->actions()) {
            const qsizetype at = a->text().indexOf(QLatin1Char('&'));
            if (at < 0) continue;
            EXPECT_TRUE(keys.insert(a->text().at(at + 1).toLower()).second) << a->text().toStdString();
        }
    }
    EXPECT_EQ(r.window->Action(command::kToolbarLast), nullptr);
    EXPECT_TRUE(r.window->Action(command::kSave)->isEnabled());
    ASSERT_NE(r.window->Action(command::kEditBlock0), nullptr);
    for (int id : {command::kChangePassword, command::kSetResetPassword, command::kUpgradeInternalBsl,
                   command::kDownloadMonitra})
        EXPECT_TRUE(r.window->Action(id)->isEnabled()) << id;
    EXPECT_EQ(r.window->windowTitle(), "QMT Tessel11F Boot-Strap Loader (Fw: v1.1F) ");
    EXPECT_EQ(r.window->SecurityLine()->text(), "SECURITY: UNKNOWN");

    MainWindow& w = *r.window;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    auto* help = w.menuBar()->findChild<QMenu*>(QStringLiteral("helpMenu"));
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->title(), "&Help");
    QStringList items;
    for (QAction* a : help->actions()) items << a->text();
    EXPECT_EQ(items, QStringList({"About QMT Tessel", "About Detect Chip", "About Password", "About Upgrade BSL",
                                  "About Byte Modify", "About Monitra"}));
    EXPECT_EQ(help->actions().front(), w.Action(command::kAboutTessel));
    // Nothing of the bar hides behind its overflow button.
    for (QToolButton* b : w.menuBar()->findChildren<QToolButton*>())
        EXPECT_FALSE(b->isVisible()) << b->objectName().toStdString();
    EXPECT_TRUE(w.menuBar()->actionGeometry(help->menuAction()).right() <= w.menuBar()->width());
    EXPECT_EQ(w.Action(command::kCompare)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_M));
    EXPECT_EQ(w.Action(command::kResetLink)->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(w.Button(IapButton::Read)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    EXPECT_EQ(w.Button(IapButton::Download)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_D));
    for (int id : {command::kResetLink, command::kDoubleClock, command::kSerialTest})
        EXPECT_FALSE(w.Action(id)->toolTip().isEmpty()) << id;
    EXPECT_TRUE(w.Action(command::kResetLink)->toolTip().contains("F5"));
    EXPECT_FALSE(w.windowIcon().pixmap(32, 32).isNull());

    ASSERT_TRUE(r.Run(command::kRead));
    ASSERT_FALSE(r.op.messages.empty());
    EXPECT_EQ(r.op.messages.back(), "No target board has been located!!!");
    EXPECT_EQ(r.op.icons.back(), QMessageBox::Critical);


    const std::string recorded = TESSEL_SOURCE_DIR "/tests/platform/data/ports";
    SetDeviceTreeRoot(recorded);
    // The port chosen before is COM1, which ttyS0 is.
    r.window->OnCommandThread([](MainDialog& d) { d.Session().port.SetPortNumber(1); });
    QString current;
    r.op.On("CommSetupDialog", [&](QWidget* d) {
        current = Child<QComboBox>(d, "port")->currentText();
        PressCancel(d);
    });
    r.Run(command::kDetect11F);
    SetDeviceTreeRoot("");
    EXPECT_TRUE(current.contains(QStringLiteral("/dev/ttyS0"))) << current.toStdString();

    r.op.answer = QMessageBox::No;
    const size_t before = r.op.icons.size();
    ASSERT_TRUE(r.Run(command::kExit));
    ASSERT_EQ(r.op.icons.size(), before + 1);
    EXPECT_EQ(r.op.icons.back(), QMessageBox::Question);
    EXPECT_TRUE(r.window->isVisible()) << "No keeps the window";

    // As left, but never wider or further out than the screen it comes up on.
    r.window->resize(900, 640);
    r.window->move(40, 30);
    QApplication::processEvents();
    r.window.reset();
    MainWindowOptions again;
    again.configDir = r.dir + "/config";
    r.window = std::make_unique<MainWindow>(again);
    const QRect screen = r.window->screen()->availableGeometry();
    EXPECT_EQ(r.window->width(), std::min(900, screen.width()));
    EXPECT_EQ(r.window->height(), 640);
    EXPECT_TRUE(screen.contains(r.window->pos()));
    EXPECT_LE(r.window->pos().x() + r.window->width(), screen.right() + 1);
}

// A HEX file dropped on the window opens the Download dialog with that file; the file taken
// is offered again by the next run of the program.
TEST(MainWindowGui, ADroppedHexFileOpensDownloadWithItAndRecentFilesSurviveARestart) {
    auto r = std::make_unique<Rig>("NX31A32");
    ASSERT_TRUE(r->Detect());
    const QString image = QString::fromStdString(r->dir + "/dropped image.hex");
    ASSERT_TRUE(QFile::copy(kSample, image));
    const QString notes = r->WriteText("notes.txt", "");
    auto drop = [&](const QString& path) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(path)});
        const QPoint at = r->window->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(r->window.get(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(r->window.get(), &dropped);
        return dropped.isAccepted();
    };
    EXPECT_FALSE(drop(notes)) << "only images are taken";
    EXPECT_FALSE(r->window->CommandBusy());

    QString opened;
    r->op.On("DownloadDialog", [&](QWidget* d) {
        opened = Child<QLineEdit>(d, "fileName")->text();
        // An empty name is refused in the dialog: nothing to download, so cancel.
        if (opened.isEmpty()) PressCancel(d);
        else PressOk(d);
    });
    r->op.answer = QMessageBox::No;  // the confirmation: nothing is written
    ASSERT_TRUE(drop(image));
    ASSERT_TRUE(WaitFor([&] { return !r->window->CommandBusy(); }));
    EXPECT_EQ(opened, image);
    EXPECT_LT(r->Find(QStringLiteral("Download dropped image.hex (")), r->op.messages.size()) << "the question names it";

    // Without a drop the dialog opens empty again.
    opened = QStringLiteral("unset");
    ASSERT_TRUE(r->Run(command::kDownload));
    EXPECT_TRUE(opened.isEmpty()) << opened.toStdString();

    const std::string config = r->dir + "/config";
    const std::string keep = r->dir;
    r->dir = TempDir();  // the Rig removes this one; the first folder outlives the window
    r.reset();
    {
        MainWindowOptions again;
        again.configDir = config;
        MainWindow next(again);
        ASSERT_FALSE(next.Settings().RecentFiles().isEmpty());
        EXPECT_EQ(next.Settings().RecentFiles().front(), image);
        CDeviceSession session(nullptr);
        session.chipType = 2;
        session.RefreshGeometry();
        FileSectorDialog model(session, FileSectorDialog::Kind::Compare);
        std::unique_ptr<QDialog> dialog = CreateModelDialog(model, &next, &next.Settings());
        auto* recent = Child<QComboBox>(dialog.get(), "recentFiles");
        EXPECT_NE(recent->findText(image), -1);
        EXPECT_TRUE(Child<QLineEdit>(dialog.get(), "fileName")->text().isEmpty());
        recent->setCurrentIndex(recent->findText(image));
        EXPECT_EQ(Child<QLineEdit>(dialog.get(), "fileName")->text(), image);
    }
    std::filesystem::remove_all(keep);
}

// The Stop button during a read of 64 KB ends it within a chunk and leaves the window ready, and
// the spent stop does not cut the next read short; Escape is the button's key while one runs.
TEST(MainWindowGui, StopDuringA64KReadEndsWithinOneChunkAndLeavesTheWindowReady) {
    Rig r("NX31H64D");
    ASSERT_TRUE(r.Detect());
    r.count = 0;  // "All Sectors": the 64 KB of block 0
    QPushButton* stop = r.window->StopButton();
    QLabel* label = Child<QLabel>(r.window.get(), "progressLabel");
    EXPECT_FALSE(stop->isVisible());
    r.window->RunCommand(command::kRead);
    ASSERT_TRUE(WaitFor([&] { return r.window->Progress()->isVisible() && r.window->Progress()->value() >= 8; }, 20000));
    // The list follows the read sector by sector.
    QTreeWidget* list = r.window->SectorList();
    EXPECT_EQ(list->topLevelItem(0)->text(4), "Blank");
    EXPECT_EQ(list->topLevelItem(511)->text(4), kNotReadStatus);
    ASSERT_TRUE(stop->isVisible());
    ASSERT_TRUE(stop->isEnabled());
    QTest::mouseClick(stop, Qt::LeftButton);
    // The request is raised by the click itself; only the chunk under way may still come.
    const uint64_t sentAtStop = r.board->BytesSent();
    EXPECT_EQ(label->text(), "Stopping...");
    EXPECT_FALSE(stop->isEnabled()) << "asked once";
    ASSERT_TRUE(WaitFor([&] { return !r.window->CommandBusy(); }, 20000));
    EXPECT_LE(r.board->BytesSent() - sentAtStop, 128u) << "more than the chunk under way was read";
    EXPECT_LT(r.board->BytesSent(), 60000u);
    EXPECT_FALSE(stop->isVisible());
    EXPECT_EQ(label->text(), "Stopped") << "the stop's label, not the operation's \"Abort\"";
    const size_t report = r.Find(QStringLiteral("Stopped at the operator's request: reading stopped after "));
    ASSERT_LT(report, r.op.messages.size());
    EXPECT_EQ(r.op.icons[report], QMessageBox::Warning);
    // A stop is not a failure: one warning, no error box before it.
    EXPECT_EQ(std::count(r.op.icons.begin(), r.op.icons.end(), QMessageBox::Critical), 0);
    EXPECT_TRUE(WaitFor([&] { return r.Iap().contains("stopped at the operator's request"); }, 5000))
        << r.Iap().toStdString();
    // The list vouches for the sectors read, and passes none of the others off as blank.
    ASSERT_TRUE(WaitFor([&] { return list->topLevelItemCount() == 512; }, 5000));
    EXPECT_EQ(list->topLevelItem(0)->text(4), "Blank");
    EXPECT_EQ(list->topLevelItem(511)->text(4), kNotReadStatus);

    EXPECT_TRUE(r.window->Button(IapButton::Download)->isEnabled());
    std::vector<uint8_t> flash(65536, 0xFF);
    std::fill(flash.begin() + 7 * 128, flash.begin() + 8 * 128, 0x12);
    r.board->SetBlock(0, flash);
    const size_t messages = r.op.messages.size();
    r.count = 8;
    ASSERT_TRUE(r.Run(command::kRead));
    EXPECT_TRUE(WaitFor([&] { return list->topLevelItem(7)->text(4) == "Not Blank"; }, 5000))
        << "the next read did not reach its last sector";
    EXPECT_EQ(r.Find(QStringLiteral("Stopped"), messages), r.op.messages.size());

    r.count = 0;
    const uint64_t sent = r.board->BytesSent();
    r.window->RunCommand(command::kRead);
    ASSERT_TRUE(WaitFor([&] { return r.board->BytesSent() > sent + 1024; }, 20000));
    r.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(r.window.get()));
    QTest::keyClick(r.window.get(), Qt::Key_Escape);
    EXPECT_TRUE(r.window->Stopping());
    ASSERT_TRUE(WaitFor([&] { return !r.window->CommandBusy(); }, 20000));
    EXPECT_LT(r.Find(QStringLiteral("Stopped at the operator's request: "), messages), r.op.messages.size());
}

// A file that cannot be used is an error box whose details give the file's remedy, never the
// port's, before any question. (Which files are refused, and in what words: tests/ui.)
TEST(MainWindowGui, AFileThatCannotBeUsedIsRefusedWithFileAdviceBeforeAnyQuestion) {
    Rig r("NX31A32");
    ASSERT_TRUE(r.Detect());
    // A dialog cancelled after the password gate leaves none of the gate's words behind.
    r.op.On("DownloadDialog", [](QWidget* d) { PressCancel(d); });
    ASSERT_TRUE(r.Run(command::kDownload));
    for (const QString& shown : {r.Iap(), r.window->PromptPane()->text()}) EXPECT_NE(shown, "Password Verify succeed");
    r.file = QString::fromStdString(r.dir + "/missing.hex");
    r.op.On("DownloadDialog", [&r](QWidget* d) {
        Child<QLineEdit>(d, "fileName")->setText(r.file);
        PressOk(d);
    });
    r.op.answer = QMessageBox::Yes;
    const size_t from = r.op.messages.size();
    ASSERT_TRUE(r.Run(command::kDownload));
    ASSERT_EQ(r.op.messages.size(), from + 1) << "one box, and no question before it";
    EXPECT_EQ(r.op.icons[from], QMessageBox::Critical);
    EXPECT_EQ(r.op.details[from], QString::fromLatin1(kFileRemedy));
    EXPECT_TRUE(Child<QLabel>(r.window.get(), "progressLabel")->text().isEmpty());
}

}  // namespace
}  // namespace tessel::gui

namespace tessel::gui {
namespace {

// What the operator sees of a modal window: the main window dimmed behind it, the window
// centred on top with a strip bearing its title (offscreen windows have no frame).
QImage OverWindow(QWidget* window, QWidget* modal) {
    QApplication::processEvents();
    QPixmap base = window->grab();
    const QPixmap top = modal->grab();
    const int strip = 24;
    QPainter p(&base);
    p.fillRect(base.rect(), QColor(0, 0, 0, 70));
    const QPoint at(std::max(0, (base.width() - top.width()) / 2), std::max(strip, (base.height() - top.height()) / 2));
    const QRect title(at.x(), at.y() - strip, top.width(), strip);
    p.fillRect(title, QColor(0x2f, 0x3b, 0x4a));
    p.setPen(Qt::white);
    const QString text = modal->windowTitle().isEmpty() ? QStringLiteral("(untitled)") : modal->windowTitle();
    p.drawText(title.adjusted(8, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft, text);
    p.drawPixmap(at, top);
    p.setPen(QColor(0x2f, 0x3b, 0x4a));
    p.drawRect(QRect(title.topLeft(), QSize(top.width(), top.height() + strip)).adjusted(0, 0, -1, -1));
    return base.toImage();
}

// What a screen reader reads for each control of a window: every visible control has a name,
// and no two share one (a group's title handed to each of its fields names none of them). A
// list box is read by its current text and told apart by the label that points at it.
void ExpectEveryControlNamed(QWidget* top) {
    std::map<QString, QString> owner;
    for (QWidget* w : top->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                             qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractItemView*>(w) ||
                             qobject_cast<QProgressBar*>(w);
        // A header is read through its columns' names.
        if (qobject_cast<QHeaderView*>(w)) continue;
        if (!control || !w->isVisibleTo(top) || qobject_cast<QComboBox*>(w->parentWidget())) continue;
        QAccessibleInterface* ai = QAccessible::queryAccessibleInterface(w);
        const QString name = ai ? ai->text(QAccessible::Name).trimmed() : QString();
        const QString what = top->objectName() + "/" + w->objectName() + " (" + w->metaObject()->className() + ")";
        if (qobject_cast<QComboBox*>(w)) {
            EXPECT_TRUE(!w->accessibleName().isEmpty() || (ai && !ai->relations(QAccessible::Label).isEmpty()))
                << what.toStdString() << " has no label";
            continue;
        }
        EXPECT_FALSE(name.isEmpty()) << what.toStdString();
        if (name.isEmpty()) continue;
        const auto [it, fresh] = owner.emplace(name, what);
        EXPECT_TRUE(fresh) << what.toStdString() << " and " << it->second.toStdString() << " are both read as \""
                           << name.toStdString() << "\"";
    }
}

QString ShotFolder() { return QStringLiteral(TESSEL_BINARY_DIR "/screenshots"); }

// Events until the memory view's geometry has stayed the same for a few rounds: a resize
// reaches the splitters and lists in several steps, more or fewer of them at a time as the
// machine's load has it.
void Settle(MainWindow& w) {
    std::vector<QRect> last;
    for (int calm = 0, round = 0; calm < 3 && round < 300; ++round) {
        QTest::qWait(10);
        std::vector<QRect> now;
        for (QWidget* v : {w.SectorList()->viewport(), w.DumpList()->viewport(), static_cast<QWidget*>(w.Log())})
            now.emplace_back(v->mapTo(&w, QPoint(0, 0)), v->size());
        calm = now == last ? calm + 1 : 0;
        last = now;
    }
}

// The rows an operator reads whole, however high the font draws them.
int WholeRows(QTreeWidget* list) {
    int rows = 0;
    const QRect view = list->viewport()->rect();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QRect at = list->visualItemRect(list->topLevelItem(i));
        rows += at.top() >= view.top() && at.bottom() <= view.bottom() && at.height() > 0;
    }
    return rows;
}

// The screenshots target: the main window in each state and every dialog and kind of message
// box, each as the operator meets it on the way through the commands.
TEST(Screenshots, TheMainWindowInEachStateAndEveryDialog) {
    QDir(ShotFolder()).removeRecursively();
    QDir().mkpath(ShotFolder());
    // The port list as on a machine with adapters plugged in.
    SetDeviceTreeRoot(TESSEL_SOURCE_DIR "/tests/platform/data/ports");
    Rig r("NX31A32");
    int number = 0;
    std::set<QString> dialogsSeen;
    std::vector<QString> files;
    auto save = [&](const QImage& image, const QString& what) {
        const QString file = QStringLiteral("%1/%2-%3.png").arg(ShotFolder()).arg(++number, 2, 10, QLatin1Char('0')).arg(what);
        ASSERT_TRUE(image.save(file)) << file.toStdString();
        files.push_back(file);
    };
    auto mainWindow = [&](const char* state) {
        QApplication::processEvents();
        ExpectEveryControlNamed(r.window.get());
        save(r.window->grab().toImage(), QStringLiteral("main-%1").arg(QString::fromLatin1(state)));
    };
    r.op.onModal = [&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            const char* kind = box->icon() == QMessageBox::Critical   ? "error"
                               : box->icon() == QMessageBox::Question ? "question"
                               : box->icon() == QMessageBox::Warning  ? "warning"
                                                                      : "information";
            save(OverWindow(r.window.get(), modal), QStringLiteral("box-%1").arg(QString::fromLatin1(kind)));
            return;
        }
        ExpectEveryControlNamed(modal);
        if (dialogsSeen.insert(modal->objectName()).second)
            save(OverWindow(r.window.get(), modal), QStringLiteral("dialog-%1").arg(modal->objectName()));
    };
    for (const char* name : {"ExtMemCommDialog", "SaveDialog", "LockMenuTypeADialog", "RemapMenuDialog",
                             "PasswordChangeDialog", "PasswordSetDialog"})
        r.op.On(name, [](QWidget* d) { PressCancel(d); });
    r.op.On("ByteEditDialog", [](QWidget* d) {
        Child<QLineEdit>(d, "address")->setText(QStringLiteral("0100"));
        // The chip is read on the command's thread: the window's events go on meanwhile, the
        // dialog greyed.
        bool greyedWhileReading = false;
        QTimer::singleShot(0, d, [&] { greyedWhileReading = !d->isEnabled(); });
        Child<QPushButton>(d, "displayData")->click();
        EXPECT_TRUE(greyedWhileReading && d->isEnabled());
        // The downloaded image's bytes at 0100h.
        EXPECT_TRUE(Child<QLineEdit>(d, "shownData")->text().startsWith("01 08 0F 16 "));
        Child<QDialogButtonBox>(d, "buttons")->buttons().front()->click();
    });

    mainWindow("at-start");
    ASSERT_TRUE(r.Run(command::kRead));  // nothing detected: an error
    ASSERT_TRUE(r.Run(command::kAboutDetect));
    ASSERT_TRUE(r.Run(command::kExtMemSerialDialog));
    r.port = QStringLiteral("COM250");  // no device behind it: the error with its remedy
    ASSERT_TRUE(r.Run(command::kDetect11F));
    r.port = QStringLiteral("sim:NX31A32");
    ASSERT_TRUE(r.Detect());
    mainWindow("after-detection");

    std::vector<uint8_t> flash(32768, 0xFF);
    for (size_t i = 0; i < 3 * 128; ++i) flash[i] = static_cast<uint8_t>("Tessel reads this. "[i % 19]);
    r.board->SetBlock(0, flash);
    r.count = 8;
    ASSERT_TRUE(r.Run(command::kRead));
    QTreeWidget* list = r.window->SectorList();
    ASSERT_TRUE(WaitFor([&] { return list->topLevelItemCount() == 256; }, 5000));
    ASSERT_TRUE(r.ShowRow(1));
    mainWindow("after-read");
    // From the smallest screen we support to a full-HD one nothing is cut off: each list shows
    // its columns whole, the buttons stay on screen, and spare room goes to the dump, beside
    // the sector list once both fit side by side.
    const QSize usual = r.window->size();
    std::vector<int> logHeights;
    for (const QSize size : {QSize(1024, 700), QSize(1920, 1080)}) {
        SCOPED_TRACE(size.width());
        r.window->resize(size);
        Settle(*r.window);
        for (QTreeWidget* list : {r.window->SectorList(), r.window->DumpList()}) {
            SCOPED_TRACE(list->objectName().toStdString());
            int columns = 0;
            for (int i = 0; i < list->columnCount() - 1; ++i) columns += list->columnWidth(i);
            EXPECT_LE(columns, list->viewport()->width());
            // The last column reaches the list's edge: nothing stops short of it.
            const QHeaderView* header = list->header();
            EXPECT_GE(header->sectionViewportPosition(list->columnCount() - 1) + header->sectionSize(list->columnCount() - 1),
                      list->viewport()->width());
            // A whole sector's dump (eight rows), a few sectors of the list.
            EXPECT_GE(WholeRows(list), list == r.window->DumpList() ? 8 : 6);
        }
        logHeights.push_back(r.window->Log()->height());
        for (IapButton b : {IapButton::Download, IapButton::MemoryRemap}) {
            const QRect at(r.window->Button(b)->mapTo(r.window.get(), QPoint(0, 0)), r.window->Button(b)->size());
            EXPECT_TRUE(r.window->rect().contains(at)) << static_cast<int>(b);
        }
        const bool wide = size.width() >= 1920;
        EXPECT_EQ(r.window->MemorySplitter()->orientation(), wide ? Qt::Horizontal : Qt::Vertical);
        if (wide) EXPECT_GT(r.window->DumpList()->width(), r.window->SectorList()->width() + 400);
        else EXPECT_GT(r.window->DumpList()->height(), r.window->SectorList()->height());
        save(r.window->grab().toImage(), QStringLiteral("main-after-read-%1x%2").arg(size.width()).arg(size.height()));
        QApplication::setPalette(DarkPalette());
        Settle(*r.window);
        save(r.window->grab().toImage(), QStringLiteral("main-after-read-%1x%2-dark").arg(size.width()).arg(size.height()));
        QApplication::setPalette(QApplication::style()->standardPalette());
    }
    // The log shares the height there is to spare with the dump.
    EXPECT_GT(logHeights[1], logHeights[0] + 60);
    r.window->resize(usual);

    // A file larger than the block: refused before the question, the box giving both sizes.
    r.file = r.Write("big.bin", test::Pattern(40000, 1, 7));
    ASSERT_TRUE(r.Run(command::kDownload));
    // A binary image large enough that the download is caught while it writes.
    r.file = r.Write("image.bin", test::Pattern(8192, 1, 7));
    r.op.answer = QMessageBox::Yes;
    bool caught = false;
    r.window->RunCommand(command::kDownload);
    ASSERT_TRUE(WaitFor([&] {
        if (!caught && r.window->Progress()->isVisible() && r.window->Progress()->value() > 4) {
            EXPECT_TRUE(r.window->StopButton()->isVisible());
            mainWindow("during-download");
            caught = true;
        }
        return !r.window->CommandBusy();
    }));
    EXPECT_TRUE(caught) << "the download ended before it could be seen";
    mainWindow("after-download");
    std::vector<uint8_t> changed = test::Pattern(8192, 1, 7);
    for (size_t at : {0x105, 0x10C}) changed[at] ^= 0x5A;
    r.file = r.Write("image-changed.bin", changed);
    ASSERT_TRUE(r.Run(command::kCompare));
    mainWindow("after-compare");
    QApplication::setPalette(DarkPalette());
    mainWindow("after-compare-dark");
    QApplication::setPalette(QApplication::style()->standardPalette());


    for (int id : {command::kSave, command::kChangePassword, command::kSetResetPassword, command::kEditBlock0})
        ASSERT_TRUE(r.Run(id)) << id;
    // The A models take Lock Chip and Memory Remap in external memory mode only.
    ASSERT_TRUE(r.Run(command::kResetLink));
    r.external = true;
    ASSERT_TRUE(r.Detect());
    for (int id : {command::kLockChip, command::kMemoryRemap}) ASSERT_TRUE(r.Run(id)) << id;
    r.op.answer = QMessageBox::No;
    ASSERT_TRUE(r.Run(command::kExit));

    for (const char* name : {"ChipSelectDialog", "CommSetupDialog", "ExtMemCommDialog", "SectorRangeDialog",
                             "DownloadDialog", "CompareDialog", "SaveDialog", "LockMenuTypeADialog", "RemapMenuDialog",
                             "PasswordChangeDialog", "PasswordSetDialog", "ByteEditDialog"})
        EXPECT_TRUE(dialogsSeen.count(QString::fromLatin1(name))) << name;
    SetDeviceTreeRoot("");
    EXPECT_GE(files.size(), 15u);
}

const QRegularExpression kTimed(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d  (.*)$"));

// Each command ends with its result line in the log (timed), in the IAP Status line and
// beside the banner, which names the command in the colour of its outcome; success fills the
// bar and gives the time taken.
TEST(MainWindowOutcome, EachCommandEndsWithItsLineInTheLogTheStatusAndTheBanner) {
    Rig r("NX31A32");
    std::vector<uint8_t> flash(32768, 0xFF);
    for (size_t i = 0; i < 4 * 128; ++i) flash[i] = static_cast<uint8_t>(i * 3 + 1);
    struct Case {
        int id;
        QMessageBox::StandardButton answer;
        const char* line;  // the result line's start
        const char* banner;
    } cases[] = {
        {command::kDetect11F, QMessageBox::Yes, "detected NX31A32 with loader v1.1F on sim:NX31A32 at ", "OK  Detect"},
        {command::kRead, QMessageBox::Yes, "read 8 sectors at 0000h-03FFh, 4 not blank", "OK  Read"},
        {command::kSectorErase, QMessageBox::No, "erase declined: nothing was erased", "STOPPED  Sector Erase"},
        {command::kPrint, QMessageBox::Yes, "printed 8 sectors at 0000h-03FFh", "OK  Print"},
    };
    r.window->Printer().SetPdfOutput(QString::fromStdString(r.dir + "/dump.pdf"));
    // Before a detection each button that needs a chip says what comes first, to the eye and
    // to a screen reader.
    for (IapButton b : {IapButton::Read, IapButton::ChipErase}) {
        EXPECT_EQ(r.window->Button(b)->toolTip(), "Detect the chip first (DetectChip/RS232)");
        EXPECT_EQ(r.window->Button(b)->accessibleDescription(), "Detect the chip first (DetectChip/RS232)");
    }
    auto spoken = [](QWidget* w) { return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name); };
    r.count = 8;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.banner);
        r.op.answer = c.answer;
        ASSERT_TRUE(r.Run(c.id));
        if (c.id == command::kDetect11F) sim::FindSimBoard(r.port.toStdString())->SetBlock(0, flash);
        const QRegularExpressionMatch last = kTimed.match(r.LogLines().back());
        ASSERT_TRUE(last.hasMatch()) << r.LogLines().back().toStdString();
        EXPECT_TRUE(last.captured(1).startsWith(QLatin1String(c.line))) << last.captured(1).toStdString();
        EXPECT_EQ(r.LogLines().filter(last.captured(1)).size(), 1) << "logged once";
        EXPECT_EQ(r.Iap(), last.captured(1));
        EXPECT_EQ(r.window->ResultBanner()->text(), c.banner);
        EXPECT_TRUE(r.window->ResultBanner()->isVisible());
        // A screen reader reads the message pane and the banner as what they show.
        EXPECT_EQ(spoken(r.window->PromptPane()), r.Iap());
        EXPECT_EQ(spoken(r.window->ResultBanner()), c.banner);
        if (c.answer == QMessageBox::No) continue;
        QProgressBar* bar = r.window->Progress();
        EXPECT_EQ(bar->value(), bar->maximum());
        EXPECT_TRUE(bar->text().contains(QRegularExpression(QStringLiteral("^100%  \\d+\\.\\d s$"))))
            << bar->text().toStdString();
    }
    // Before a command has chosen its range the bar counts nothing.
    for (const QString& bar : r.barsAtRange) EXPECT_FALSE(bar.contains(QStringLiteral(" of "))) << bar.toStdString();
    // Detected in internal memory mode, the greyed buttons give the rule book's reason; a live
    // one keeps its own tip.
    for (const auto& [b, why] : {std::pair{IapButton::ChipErase, "Chip Erase is not available on NX31A32 in internal memory mode"},
                                 std::pair{IapButton::LockChip, "Lock Chip is not available on NX31A32 in internal memory mode"}}) {
        EXPECT_FALSE(r.window->Button(b)->isEnabled());
        EXPECT_EQ(r.window->Button(b)->toolTip(), why);
        EXPECT_EQ(r.window->Button(b)->accessibleDescription(), why);
    }
    EXPECT_TRUE(r.window->Button(IapButton::Read)->accessibleDescription().isEmpty());
    EXPECT_TRUE(r.window->Button(IapButton::Read)->toolTip().startsWith("Read (")) << r.window->Button(IapButton::Read)->toolTip().toStdString();
}

// A mismatch is a finding: the report names the file, how many bytes differ and the first
// with both values, the log lists them, the dump marks them, and the phase is no "Abort".
TEST(MainWindowOutcome, ACompareReportsEveryDifferenceAndTheDumpMarksThem) {
    Rig r("NX31A32");
    ASSERT_TRUE(r.Detect());
    std::vector<uint8_t> flash(32768, 0xFF);
    for (size_t i = 0; i < 3 * 128; ++i) flash[i] = static_cast<uint8_t>(i * 5 + 7);
    r.board->SetBlock(0, flash);
    std::vector<uint8_t> changed(flash.begin(), flash.begin() + 3 * 128);
    for (size_t at : {0x105, 0x107, 0x140}) changed[at] ^= 0xFF;
    r.file = r.Write("fw-changed.bin", changed);
    ASSERT_TRUE(r.Run(command::kCompare));
    const QString line = "fw-changed.bin differs from block 0 in 3 bytes, first at 0105h: chip 20h, file DFh";
    const QStringList lines = r.LogLines();
    ASSERT_GT(lines.size(), 3);
    EXPECT_EQ(kTimed.match(lines[lines.size() - 4]).captured(1), line) << lines[lines.size() - 4].toStdString();
    EXPECT_EQ(r.Iap(), line);
    EXPECT_EQ(lines.back().trimmed(), "0140h  chip 47h  file B8h");
    EXPECT_EQ(r.window->ResultBanner()->text(), "FAILED  Compare");
    EXPECT_EQ(Child<QLabel>(r.window.get(), "progressLabel")->text(), "Differences");
    // The dump shows the first difference's sector, its bytes marked in their row.
    EXPECT_EQ(r.window->DumpList()->headerItem()->text(0), "SECTOR 002");
    EXPECT_EQ(r.DumpRow()->text(0), "0100 - 010F");
    EXPECT_EQ(r.DumpRow()->data(1, Qt::UserRole).toUInt(), 0xA0u);
    EXPECT_EQ(r.DumpRow(1)->data(1, Qt::UserRole).toUInt(), 0u) << "a row without differences is plain";
    // The marks take the list's palette, light or dark, and read on it.
    for (const QPalette& palette : {r.window->DumpList()->palette(), DarkPalette()}) {
        r.window->DumpList()->setPalette(palette);
        const MarkColours mark = DifferenceMarkColours(palette);
        EXPECT_GE(ContrastRatio(mark.text, mark.background), 4.5);
        EXPECT_GT(mark.background.red(), mark.background.green() + 40) << "a red tint";
        EXPECT_GT(ContrastRatio(mark.background, palette.color(QPalette::Base)), 1.3) << "apart from the list";
        const QImage shown = r.window->DumpList()->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        EXPECT_GT(std::count(reinterpret_cast<const QRgb*>(shown.constBits()),
                             reinterpret_cast<const QRgb*>(shown.constBits()) + shown.width() * shown.height(),
                             mark.background.rgb()), 20) << "the dump paints the marks in them";
    }

    // The next command starts clean: a download refused for its size leaves no mark and no
    // "Differences", and its line says why.
    r.file = r.Write("big.bin", test::Pattern(40000, 1, 7));
    ASSERT_TRUE(r.Run(command::kDownload));
    EXPECT_EQ(r.Iap(), "download of big.bin refused: the file needs 40,000 bytes from 0000h; NX31A32's block 0 holds "
                       "32,768; nothing was erased or written");
    EXPECT_TRUE(Child<QLabel>(r.window.get(), "progressLabel")->text().isEmpty());
    EXPECT_EQ(r.DumpRow()->data(1, Qt::UserRole).toUInt(), 0u) << "the compare's mark outlived it";
}

// Chip Erase detects again at its end; its own line is the one that stays. The log is saved
// whole through the project's safe writing; a file that cannot be written is told in a box
// naming it and why.
TEST(MainWindowOutcome, AChipEraseKeepsItsLineAndSaveLogWritesTheLogOrSaysWhyNot) {
    Rig r("NX31A32");
    r.external = true;
    ASSERT_TRUE(r.Run(command::kDetect11F));
    ASSERT_TRUE(r.Run(command::kChipErase));
    EXPECT_EQ(r.Iap(), "erased the whole chip");
    EXPECT_EQ(r.window->ResultBanner()->text(), "OK  Chip Erase");

    const std::string saved = r.dir + "/session.log";
    ASSERT_TRUE(r.window->SaveLog(QString::fromStdString(saved)));
    std::ifstream in(saved);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // As shown, each entry with its date.
    const QRegularExpression date(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d (?=\\d\\d:)"), QRegularExpression::MultilineOption);
    EXPECT_TRUE(date.match(QString::fromStdString(text)).hasMatch()) << text;
    EXPECT_EQ(QString::fromStdString(text).remove(date), r.window->Log()->toPlainText() + "\n");

    const QString missing = QString::fromStdString(r.dir + "/no-such-folder/session.log");
    EXPECT_FALSE(r.window->SaveLog(missing));
    ASSERT_FALSE(r.op.messages.empty());
    EXPECT_TRUE(r.op.messages.back().contains(missing + ": ")) << r.op.messages.back().toStdString();
}

}  // namespace
}  // namespace tessel::gui
