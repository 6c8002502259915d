#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <functional>

#include "MainWindow.h"
#include "QtPrintTarget.h"
#include "firmware/Firmware.h"
#include "sim/SimBoard.h"
#include "ui/MemoryView.h"

namespace tessel::gui {
namespace {

const QString kSample = QStringLiteral(TESSEL_SOURCE_DIR "/samples/blink.hex");

// Runs the event loop until `done` holds or `ms` pass.
bool WaitFor(const std::function<bool()>& done, int ms = 30000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(5);
    }
    return true;
}

// Answers whatever modal window comes up (message boxes and dialogs, shown by the real Qt
// code paths) with the handler for its kind; records the message texts on the way.
class Operator {
public:
    using Handler = std::function<void(QWidget*)>;
    Operator() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }
    void On(const QString& name, Handler h) { handlers_[name] = std::move(h); }

    std::vector<QString> messages;
    std::vector<QMessageBox::StandardButton> defaults;
    QMessageBox::StandardButton answer = QMessageBox::Yes;

private:
    void Poll() {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || w == last_) return;
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            last_ = w;
            messages.push_back(box->text());
            if (box->button(QMessageBox::No)) {
                defaults.push_back(box->standardButton(box->defaultButton()));
                box->button(answer)->click();
            } else {
                box->button(QMessageBox::Ok)->click();
            }
            last_ = nullptr;
            return;
        }
        auto it = handlers_.find(w->objectName());
        if (it == handlers_.end()) return;
        // Outside this timer's slot: a handler that opens a nested loop (OK refused with a
        // message box) needs this timer to fire again for the box.
        last_ = w;
        Handler h = it->second;
        QTimer::singleShot(0, w, [this, w, h] {
            h(w);
            last_ = nullptr;
        });
    }

    QTimer timer_;
    std::map<QString, Handler> handlers_;
    QWidget* last_ = nullptr;
};

void PressOk(QWidget* dialog) {
    dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttons"))->button(QDialogButtonBox::Ok)->click();
}

std::string TempDir() {
    char tmpl[] = "/tmp/tessel-gui-XXXXXX";
    return mkdtemp(tmpl);
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
        op.On("ChipSelectDialog", [code](QWidget* d) {
            d->findChild<QComboBox*>(QStringLiteral("chipType"))->setCurrentIndex(code - 1);
            d->findChild<QRadioButton*>(QStringLiteral("memoryInternal"))->setChecked(true);
            PressOk(d);
        });
        op.On("CommSetupDialog", [this](QWidget* d) {
            auto* ports = d->findChild<QComboBox*>(QStringLiteral("port"));
            ports->setCurrentIndex(ports->findText(port));
            PressOk(d);
        });
        op.On("PasswordVerifyDialog", [](QWidget* d) { PressOk(d); });
        op.On("SectorRangeDialog", [this](QWidget* d) {
            d->findChild<QComboBox*>(QStringLiteral("startSector"))->setCurrentIndex(start);
            d->findChild<QComboBox*>(QStringLiteral("count"))->setCurrentIndex(count);
            PressOk(d);
        });
        for (const char* name : {"DownloadDialog", "CompareDialog"})
            op.On(name, [this](QWidget* d) {
                d->findChild<QLineEdit*>(QStringLiteral("fileName"))->setText(file);
                d->findChild<QComboBox*>(QStringLiteral("startSector"))->setCurrentIndex(0);
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
    void Screenshot(const char* name) {
        const QString folder = QStringLiteral(TESSEL_BINARY_DIR "/screenshots");
        QDir().mkpath(folder);
        QApplication::processEvents();
        window->grab().save(folder + "/" + name);
    }

    std::string dir;
    QString port;
    Operator op;
    std::unique_ptr<MainWindow> window;
    std::shared_ptr<sim::Board> board;
    int start = 0, count = 0;
    QString file;
};

TEST(MainWindowGui, DetectThenReadFillsTheListsWhileTheWindowStaysLive) {
    Rig r("NX31A32");
    ASSERT_TRUE(r.Detect());
    EXPECT_EQ(r.window->Field(ChipField::ChipType)->text(), "NX31A32");
    EXPECT_EQ(r.window->findChild<QLabel*>(QStringLiteral("comPane"))->text(), "sim:NX31A32");
    r.Screenshot("after-detect.png");
    {
        // The stand-in port chosen in the dialog is what the next start comes up with.
        MainWindowOptions again;
        again.configDir = r.dir + "/config";
        MainWindow next(again);
        EXPECT_EQ(next.findChild<QLabel*>(QStringLiteral("comPane"))->text(), "sim:NX31A32");
        EXPECT_EQ(next.findChild<QLabel*>(QStringLiteral("baudPane"))->text(), "Baud Rate: 38400");
    }

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

    QTreeWidget* list = r.window->SectorList();
    QTest::qWait(100);  // the view's last update, posted as the command ended
    ASSERT_EQ(list->topLevelItemCount(), 256);
    for (int i = 0; i < 256; ++i) {
        const bool blank = i != 2 && i != 200;
        EXPECT_EQ(list->topLevelItem(i)->text(4), blank ? "Blank" : "Not Blank") << i;
    }
    r.Screenshot("after-read.png");

    QTreeWidgetItem* row = list->topLevelItem(2);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(row).center());
    QTreeWidget* dump = r.window->DumpList();
    ASSERT_TRUE(WaitFor([&] { return dump->headerItem()->text(0) == "SECTOR 002"; }, 5000));
    ASSERT_EQ(dump->topLevelItemCount(), 8);
    EXPECT_EQ(dump->topLevelItem(0)->text(0), "0100 - 010F");
    EXPECT_EQ(dump->topLevelItem(0)->text(2), "AAAAAAAAAAAAAAAA");
}

TEST(MainWindowGui, DownloadThroughTheDialogThenCompareOk) {
    Rig r("NX31H32B");
    ASSERT_TRUE(r.Detect());
    r.file = kSample;
    r.op.answer = QMessageBox::Yes;
    ASSERT_TRUE(r.Run(command::kDownload));
    ASSERT_FALSE(r.op.defaults.empty());
    EXPECT_EQ(r.op.defaults.back(), QMessageBox::No) << "Yes/No boxes default to No";
    ASSERT_TRUE(r.Run(command::kCompare));
    EXPECT_TRUE(WaitFor([&] { return r.window->Field(ChipField::IapStatus)->text() == "File blink.hex Compare OK!"; },
                        5000))
        << r.window->Field(ChipField::IapStatus)->text().toStdString();

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
    const QByteArray bytes = f.readAll();
    EXPECT_TRUE(bytes.startsWith("%PDF"));
    EXPECT_EQ(bytes.count("/Type /Page\n") + bytes.count("/Type /Page\r") + bytes.count("/Type /Page "),
              static_cast<qsizetype>(pages.size()));
}

TEST(MainWindowGui, ARefusedSetupOkKeepsTheDialogOpen) {
    Rig r("NX31L64D");
    std::vector<QWidget*> seen;
    r.op.On("CommSetupDialog", [&](QWidget* d) {
        seen.push_back(d);
        if (seen.size() > 1) {
            // Still the same dialog after the refusal: leave it.
            d->findChild<QDialogButtonBox*>(QStringLiteral("buttons"))->button(QDialogButtonBox::Cancel)->click();
            return;
        }
        d->findChild<QLineEdit*>(QStringLiteral("crystal"))->setText(QStringLiteral("1.0"));
        d->findChild<QComboBox*>(QStringLiteral("rate"))->setCurrentIndex(0);  // 38400
        PressOk(d);
    });
    ASSERT_TRUE(r.Run(command::kDetect11F));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], seen[1]) << "OK was refused and the dialog stayed open";
    EXPECT_NE(std::find(r.op.messages.begin(), r.op.messages.end(),
                        "You can't choose a baudrate which is higher than the computed best baudrate!\n"),
              r.op.messages.end());
    EXPECT_TRUE(r.window->Field(ChipField::FwVersion)->text().isEmpty()) << "cancelled: nothing detected";
}

// The operator closes the window while a command waits on its dialog: the dialog goes, the
// command ends, the window closes; nothing waits on anything that will not come.
TEST(MainWindowGui, ClosingWhileACommandWaitsOnADialogDoesNotHang) {
    auto r = std::make_unique<Rig>("NX31L32B");
    ASSERT_TRUE(r->Detect());
    QElapsedTimer t;
    bool closed = false;
    r->op.On("PasswordVerifyDialog", [&](QWidget*) {
        if (closed) return;
        closed = true;
        t.start();
        r->window->close();
    });
    r->window->RunCommand(command::kRead);
    EXPECT_TRUE(WaitFor([&] { return closed && !r->window->isVisible() && !r->window->CommandBusy(); }, 15000));
    EXPECT_LT(t.elapsed(), 5000);
    r.reset();
}

// Lock Chip from its IAP Function button: the menu refuses OK until a choice is made, the
// question defaults to No, and the re-detection shows the new level on the security line.
TEST(MainWindowGui, LockChipFromItsButtonShowsTheNewLevelAfterRedetection) {
    Rig r("NX31H64D");
    ASSERT_TRUE(r.Detect());
    ASSERT_TRUE(r.window->Button(IapButton::LockChip)->isEnabled());
    EXPECT_TRUE(r.window->Action(command::kDoubleClock)->isEnabled());
    std::vector<QWidget*> seen;
    r.op.On("LockMenuDialog", [&](QWidget* d) {
        seen.push_back(d);
        if (seen.size() == 1) {
            PressOk(d);  // nothing chosen yet
            return;
        }
        d->findChild<QRadioButton*>(QStringLiteral("option1067"))->click();  // SB2
        PressOk(d);
    });
    r.op.answer = QMessageBox::Yes;
    QTest::mouseClick(r.window->Button(IapButton::LockChip), Qt::LeftButton);
    const QString level3 = QStringLiteral("SECURITY : CHIP IS LEVEL3 SOFTLOCKED (FCST[7:5]:010)");
    ASSERT_TRUE(WaitFor([&] { return !r.window->CommandBusy() && r.window->SecurityLine()->text() == level3; }))
        << r.window->SecurityLine()->text().toStdString();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], seen[1]) << "the refused OK left the same menu open";
    const auto said = [&](const char* text) {
        return std::find(r.op.messages.begin(), r.op.messages.end(), QString::fromUtf8(text)) != r.op.messages.end();
    };
    EXPECT_TRUE(said("Please choose one of the options first."));
    EXPECT_TRUE(said("Set Lock Completed!\nChip will be automatically redetected!"));
    ASSERT_FALSE(r.op.defaults.empty());
    EXPECT_EQ(r.op.defaults.front(), QMessageBox::No);
    EXPECT_EQ(r.board->SecurityBits(), 0x40);
}

// Set/Reset from the Password menu: the question defaults to No, and once answered Yes the
// chip takes the new password and block 0 is blank.
TEST(MainWindowGui, SetResetPasswordFromTheMenuErasesBlock0AndSetsThePassword) {
    Rig r("NX31L32B");
    ASSERT_TRUE(r.Detect());
    r.board->SetBlock(0, std::vector<uint8_t>(32768, 0x12));
    QAction* item = r.window->Action(command::kSetResetPassword);
    ASSERT_TRUE(item->isEnabled());
    r.op.On("PasswordSetDialog", [](QWidget* d) {
        EXPECT_FALSE(d->findChild<QRadioButton*>(QStringLiteral("lockOption"))->isEnabled());
        d->findChild<QLineEdit*>(QStringLiteral("password"))->setText(QStringLiteral("gui-pw"));
        d->findChild<QLineEdit*>(QStringLiteral("retypePassword"))->setText(QStringLiteral("gui-pw"));
        PressOk(d);
    });
    r.op.answer = QMessageBox::Yes;
    item->trigger();
    ASSERT_TRUE(WaitFor([&] {
        return !r.window->CommandBusy() &&
               r.window->Field(ChipField::IapStatus)->text() == "Password Set/Reset Completed!";
    })) << r.window->Field(ChipField::IapStatus)->text().toStdString();
    ASSERT_FALSE(r.op.defaults.empty());
    EXPECT_EQ(r.op.defaults.front(), QMessageBox::No);
    EXPECT_EQ(r.board->Password(), "gui-pw");
    const std::vector<uint8_t> block0 = r.board->Block(0);
    EXPECT_TRUE(std::all_of(block0.begin(), block0.end(), [](uint8_t b) { return b == 0xFF; }));
}

// Byte Edit from its menu item: the dialog's buttons read and rewrite the chip while it is open.
TEST(MainWindowGui, ByteEditDisplaysAndReplacesThroughItsButtons) {
    Rig r("NX31A32");
    ASSERT_TRUE(r.Detect());
    r.board->SetBlock(0, std::vector<uint8_t>(32768, 0xFF));
    QString shown;
    r.op.On("ByteEditDialog", [&](QWidget* d) {
        d->findChild<QLineEdit*>(QStringLiteral("address"))->setText(QStringLiteral("03e6"));
        d->findChild<QLineEdit*>(QStringLiteral("newData"))->setText(QStringLiteral("72 4F 5D"));
        d->findChild<QPushButton*>(QStringLiteral("replaceData"))->click();
        shown = d->findChild<QLineEdit*>(QStringLiteral("shownData"))->text();
        d->findChild<QDialogButtonBox*>(QStringLiteral("buttons"))->buttons().front()->click();
    });
    r.op.answer = QMessageBox::Yes;
    ASSERT_TRUE(r.Run(command::kEditBlock0));
    EXPECT_TRUE(shown.startsWith(QStringLiteral("72 4F 5D FF"))) << shown.toStdString();
    const std::vector<uint8_t> block0 = r.board->Block(0);
    EXPECT_EQ(block0[0x3E6], 0x72);
    EXPECT_EQ(block0[0x3E8], 0x5D);
}

// "&Download Monitra" from its menu: the question defaults to No; answered Yes, the monitor
// replaces the loader and the window closes itself, as there is nothing left to talk to.
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
    ASSERT_FALSE(r->op.defaults.empty());
    EXPECT_EQ(r->op.defaults.front(), QMessageBox::No);
    const auto said = [&](const QString& prefix) {
        return std::any_of(r->op.messages.begin(), r->op.messages.end(),
                           [&](const QString& m) { return m.startsWith(prefix); });
    };
    EXPECT_TRUE(said(QStringLiteral("Do you really want to download Monitra?")));
    EXPECT_TRUE(said(QStringLiteral("Downloading Monitra Completed!")));
    EXPECT_TRUE(said(QStringLiteral("Please press reset button on BSL demo board.")));
    const FirmwareImage& part1 = Firmware(FirmwareId::MonitorA16Block1);
    const std::vector<uint8_t> b1 = r->board->Block(1);
    EXPECT_TRUE(std::equal(part1.data, part1.data + part1.size, b1.begin()));
    r.reset();
}

TEST(MainWindowGui, MenusHoldEveryItemAndDisableTheOnesNotBuilt) {
    Rig r("NX31A16");
    ASSERT_NE(r.window->Action(command::kDetect11F), nullptr);
    EXPECT_TRUE(r.window->Action(command::kDetect11F)->isEnabled());
    EXPECT_EQ(r.window->Action(command::kDetect11F)->text(),
              "&Detect Target MCU for Firmware1.1F and RS232 Config.");
    EXPECT_TRUE(r.window->Action(command::kSave)->isEnabled());
    ASSERT_NE(r.window->Action(command::kEditBlock0), nullptr);
    for (int id : {command::kChangePassword, command::kSetResetPassword, command::kUpgradeInternalBsl,
                   command::kDownloadMonitra})
        EXPECT_TRUE(r.window->Action(id)->isEnabled()) << id;
    EXPECT_EQ(r.window->windowTitle(), "QMT Tessel11F Boot-Strap Loader (Fw: v1.1F) ");
    EXPECT_EQ(r.window->SecurityLine()->text(), "SECURITY: UNKNOWN");
}

}  // namespace
}  // namespace tessel::gui
