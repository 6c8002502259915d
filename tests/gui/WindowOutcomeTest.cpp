// How the window tells a command's outcome: the log's timed lines, the banner, the full bar,
// and a compare's report of its differences, read from the real widgets.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "MainWindow.h"
#include "gui/ModalOperator.h"
#include "sim/SimBoard.h"
#include "support/FlashRig.h"

namespace tessel::gui {
namespace {

void PressOk(QWidget* d) {
    d->findChild<QDialogButtonBox*>(QStringLiteral("buttons"))->button(QDialogButtonBox::Ok)->click();
}

// The window on a stand-in NX31A32 (128-byte sectors), its dialogs answered as set here.
struct Rig {
    Rig() {
        char tmpl[] = "/tmp/tessel-outcome-XXXXXX";
        dir = mkdtemp(tmpl);
        MainWindowOptions o;
        o.configDir = dir + "/config";
        o.stateDir = dir + "/state";
        window = std::make_unique<MainWindow>(o);
        window->resize(1100, 760);
        window->show();
        op.On("ChipSelectDialog", [this](QWidget* d) {
            d->findChild<QComboBox*>(QStringLiteral("chipType"))->setCurrentIndex(*ChipCodeForModel("NX31A32") - 1);
            d->findChild<QRadioButton*>(external ? QStringLiteral("memoryExternal") : QStringLiteral("memoryInternal"))
                ->setChecked(true);
            PressOk(d);
        });
        op.On("CommSetupDialog", [](QWidget* d) {
            auto* ports = d->findChild<QComboBox*>(QStringLiteral("port"));
            if (ports->findText(kPort) < 0) d->findChild<QCheckBox*>(QStringLiteral("showAllComNames"))->setChecked(true);
            ports->setCurrentIndex(ports->findText(kPort));
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
    // Runs a command and waits until the window has taken in its end.
    bool Run(int id) {
        window->RunCommand(id);
        return WaitFor([this] { return !window->CommandBusy(); }, 60000);
    }
    QString Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                                 static_cast<std::streamsize>(bytes.size()));
        return QString::fromStdString(dir + "/" + name);
    }
    QStringList LogLines() const { return window->Log()->toPlainText().split(QLatin1Char('\n')); }
    QString Iap() const { return window->Field(ChipField::IapStatus)->text(); }

    static constexpr char kPort[] = "sim:NX31A32";
    std::string dir;
    ModalOperator op;
    std::unique_ptr<MainWindow> window;
    bool external = false;  // the chip selection answers External memory mode
    int start = 0, count = 8;
    QString file;
};

const QRegularExpression kTimed(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d  (.*)$"));

// Each command ends with its result line in the log (timed), in the IAP Status line and
// beside the banner, which names the command in the colour of its outcome; success fills the
// bar and gives the time taken.
TEST(WindowOutcome, EachCommandEndsWithItsLineInTheLogTheStatusAndTheBanner) {
    Rig r;
    std::vector<uint8_t> flash(32768, 0xFF);
    for (size_t i = 0; i < 4 * 128; ++i) flash[i] = static_cast<uint8_t>(i * 3 + 1);
    const QString same = r.Write("same.bin", {flash.begin(), flash.begin() + 300});
    struct Case {
        int id;
        QMessageBox::StandardButton answer;
        QString file;
        const char* line;  // the result line's start
        const char* banner;
    } cases[] = {
        {command::kDetect11F, QMessageBox::Yes, {}, "detected NX31A32 with loader v1.1F on sim:NX31A32 at ", "OK  Detect"},
        {command::kRead, QMessageBox::Yes, {}, "read 8 sectors at 0000h-03FFh, 4 not blank", "OK  Read"},
        {command::kCompare, QMessageBox::Yes, same, "compare: same.bin matches the flash, 300 bytes at 0000h-012Bh",
         "OK  Compare"},
        {command::kSectorErase, QMessageBox::No, {}, "erase declined: nothing was erased", "STOPPED  Sector Erase"},
        {command::kSectorErase, QMessageBox::Yes, {}, "erased 8 sectors from sector 0 at 0000h-03FFh",
         "OK  Sector Erase"},
        {command::kDownload, QMessageBox::Yes, same, "downloaded same.bin: 300 bytes in 3 sectors at 0000h-012Bh, verified",
         "OK  Download"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.banner);
        r.op.answer = c.answer;
        r.file = c.file;
        ASSERT_TRUE(r.Run(c.id));
        if (c.id == command::kDetect11F) sim::FindSimBoard(Rig::kPort)->SetBlock(0, flash);
        const QRegularExpressionMatch last = kTimed.match(r.LogLines().back());
        ASSERT_TRUE(last.hasMatch()) << r.LogLines().back().toStdString();
        EXPECT_TRUE(last.captured(1).startsWith(QLatin1String(c.line))) << last.captured(1).toStdString();
        EXPECT_EQ(r.Iap(), last.captured(1));
        EXPECT_EQ(r.window->ResultBanner()->text(), c.banner);
        EXPECT_TRUE(r.window->ResultBanner()->isVisible());
        if (c.answer == QMessageBox::No) continue;
        QProgressBar* bar = r.window->Progress();
        EXPECT_EQ(bar->value(), bar->maximum());
        EXPECT_TRUE(bar->text().contains(QRegularExpression(QStringLiteral("^100%  \\d+\\.\\d s$"))))
            << bar->text().toStdString();
    }
}

// A mismatch is a finding: the report names the file, how many bytes differ and the first
// with both values, the log lists them, the dump marks them, and the phase is no "Abort".
// A binary goes through the plain compare, a HEX file with gaps through the one of its runs.
TEST(WindowOutcome, ACompareReportsEveryDifferenceAndTheDumpMarksThem) {
    Rig r;
    ASSERT_TRUE(r.Run(command::kDetect11F));
    std::vector<uint8_t> flash(32768, 0xFF);
    for (size_t i = 0; i < 3 * 128; ++i) flash[i] = static_cast<uint8_t>(i * 5 + 7);
    sim::FindSimBoard(Rig::kPort)->SetBlock(0, flash);
    std::vector<uint8_t> changed(flash.begin(), flash.begin() + 3 * 128);
    for (size_t at : {0x105, 0x107, 0x140}) changed[at] ^= 0xFF;
    struct Case {
        QString file;
        const char* line;
        const char* sector;  // the dump shows the first difference's sector
        const char* row;     // whose first row holds it
        uint16_t mask;       // with these of its bytes marked
        int listed;          // lines of differences in the log
        const char* last;    // the last of them
    } cases[] = {
        {r.Write("fw-changed.bin", changed),
         "fw-changed.bin differs from block 0 in 3 bytes, first at 0105h: chip 20h, file DFh", "SECTOR 002",
         "0100 - 010F", 0xA0, 3, "0140h  chip 47h  file B8h"},
        {QString::fromStdString(r.dir + "/fw.hex"),
         "fw.hex differs from block 0 in 2 bytes, first at 0000h: chip 07h, file 00h", "SECTOR 000", "0000 - 000F",
         0x01, 2, "0102h  chip 11h  file 00h"},
    };
    // Two runs with a sector between them that the file leaves alone; 0101h matches.
    std::ofstream(r.dir + "/fw.hex") << test::HexOf({{0x0000, {0x00}}, {0x0101, {0x0C, 0x00}}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        r.file = c.file;
        ASSERT_TRUE(r.Run(command::kCompare));
        const QStringList lines = r.LogLines();
        ASSERT_GT(lines.size(), c.listed);
        const QString result = lines[lines.size() - 1 - c.listed];
        EXPECT_EQ(kTimed.match(result).captured(1), c.line) << result.toStdString();
        EXPECT_EQ(r.Iap(), c.line);
        EXPECT_EQ(lines.back().trimmed(), c.last);
        EXPECT_EQ(r.window->ResultBanner()->text(), "FAILED  Compare");
        EXPECT_EQ(r.window->findChild<QLabel*>(QStringLiteral("progressLabel"))->text(), "Differences");
        QTreeWidget* dump = r.window->DumpList();
        ASSERT_GT(dump->topLevelItemCount(), 1);
        EXPECT_EQ(dump->headerItem()->text(0), c.sector);
        EXPECT_EQ(dump->topLevelItem(0)->text(0), c.row);
        EXPECT_EQ(dump->topLevelItem(0)->data(1, Qt::UserRole).toUInt(), c.mask);
        EXPECT_EQ(dump->topLevelItem(1)->data(1, Qt::UserRole).toUInt(), 0u) << "a row without differences is plain";
    }
}

// Chip Erase detects again at its end; its own line is the one that stays.
TEST(WindowOutcome, AChipEraseKeepsItsLineThroughTheDetectionAfterIt) {
    Rig r;
    r.external = true;
    ASSERT_TRUE(r.Run(command::kDetect11F));
    ASSERT_TRUE(r.Run(command::kChipErase));
    EXPECT_EQ(r.Iap(), "erased the whole chip");
    EXPECT_EQ(r.window->ResultBanner()->text(), "OK  Chip Erase");
}

// The log is saved whole through the project's safe writing; a file that cannot be written is
// told in a box naming it and why.
TEST(WindowOutcome, SaveLogWritesTheLogOrSaysWhyNot) {
    Rig r;
    ASSERT_TRUE(r.Run(command::kDetect11F));
    const std::string saved = r.dir + "/session.log";
    ASSERT_TRUE(r.window->SaveLog(QString::fromStdString(saved)));
    std::ifstream in(saved);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(QString::fromStdString(text), r.window->Log()->toPlainText() + "\n");
    EXPECT_NE(text.find("  detected NX31A32 with loader v1.1F"), std::string::npos) << text;

    const QString missing = QString::fromStdString(r.dir + "/no-such-folder/session.log");
    EXPECT_FALSE(r.window->SaveLog(missing));
    ASSERT_FALSE(r.op.messages.empty());
    EXPECT_TRUE(r.op.messages.back().contains(missing + ": ")) << r.op.messages.back().toStdString();
}

}  // namespace
}  // namespace tessel::gui
