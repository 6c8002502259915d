#include "files/ConfigStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "platform/Paths.h"
#include "support/TempFolder.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

class ConfigStoreTest : public testing::Test {
protected:
    void WriteFile(const fs::path& path, const std::string& content) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        ASSERT_TRUE(out.good());
    }
    static std::string ReadFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> FolderEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    test::TempFolder folder_;
    const fs::path dir_{std::string(folder_)};
};

struct ReadCase {
    const char* why;
    std::string content;
    bool accepted;
    int port;
    uint32_t rate;
    double crystal;
};

// The three settings, to compare at once (a crystal read back is the number written).
std::tuple<int, uint32_t, double> Fields(const CommSettings& s) { return {s.portNumber, s.baudRate, s.crystalMHz}; }

// A setting unlike the defaults, so that a rejected file visibly leaves it alone.
constexpr CommSettings kPrior{5, 1200, 3.5};

void ExpectReads(const ConfigStore& store, const std::vector<ReadCase>& cases) {
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.why);
        {
            std::ofstream out(store.SettingsFilePath(), std::ios::binary | std::ios::trunc);
            out << c.content;
        }
        CommSettings settings = kPrior;
        EXPECT_EQ(store.ReadStartupSettings(settings), c.accepted);
        const CommSettings expected =
            c.accepted ? CommSettings{c.port, c.rate, c.crystal} : kPrior;
        EXPECT_EQ(Fields(settings), Fields(expected));
    }
}

TEST_F(ConfigStoreTest, StartupReadAcceptsOnlyTheThreeKeywordFieldsWithinTheirLimits) {
    CommSettings defaults;
    EXPECT_FALSE(ConfigStore(dir_).ReadStartupSettings(defaults)) << "no file";
    EXPECT_EQ(Fields(defaults), Fields({1, 38400, 11.0592}));

    const std::string port11 = "COM00000003";  // 11 characters, the most field 1 holds
    const std::string rate15 = "BAUD00000009600";
    const std::string crystal31 = "CRYSTAL000000000000000000012.25";
    ASSERT_EQ(port11.size(), ConfigStore::kMaxPortField);
    ASSERT_EQ(rate15.size(), ConfigStore::kMaxRateField);
    ASSERT_EQ(crystal31.size(), ConfigStore::kMaxCrystalField);
    const std::string tail(400, '7');
    // Every field is within its limit, but the third runs past the 48th byte: cut there, it
    // would read as a crystal of 0.
    const std::string crossing = "COM00000003$BAUD00000009600$CRYSTAL000000000000012.5$$";
    ASSERT_GE(crossing.find("12.5"), ConfigStore::kMaxFileBytes);

    const std::vector<ReadCase> cases = {
        {"format A", "COM3$BAUD9600$CRYSTAL12.000000$$", true, 3, 9600, 12.0},
        {"format B", "COM1 BAUD38400 $$", false, 0, 0, 0},
        {"empty file", "", false, 0, 0, 0},
        {"unclosed last field", "COM2$BAUD4800$CRYSTAL24", true, 2, 4800, 24.0},
        {"text after third $", "COM4$BAUD600$CRYSTAL1.5$rubbish$$", true, 4, 600, 1.5},
        {"leading digits only", "COM7x$BAUD19200 baud$CRYSTAL22.1184MHz$$", true, 7, 19200, 22.1184},
        {"no digits", "COM$BAUD$CRYSTAL$$", true, 0, 0, 0.0},
        {"no range check", "COM0$BAUD-1$CRYSTAL99.5$$", true, 0, 0xFFFFFFFFu, 99.5},
        // Overlong fields are rejected, not cut.
        {"port at its limit", port11 + "$BAUD9600$CRYSTAL1$$", true, 3, 9600, 1.0},
        {"rate at its limit", "COM3$" + rate15 + "$CRYSTAL1$$", true, 3, 9600, 1.0},
        {"crystal at its limit", "COM3$BAUD9600$" + crystal31 + "$$", true, 3, 9600, 12.25},
        {"port one over", "COM000000012$BAUD9600$CRYSTAL1$$", false, 0, 0, 0},
        {"rate one over", "COM3$BAUD000000009600$CRYSTAL1$$", false, 0, 0, 0},
        {"crystal one over", "COM3$BAUD9600$" + crystal31 + "5$$", false, 0, 0, 0},
        // A long file is read only while its fields close in time.
        {"record then junk", "COM3$BAUD9600$CRYSTAL12$" + tail, true, 3, 9600, 12.0},
        {"third field crosses the limit", crossing + tail, false, 0, 0, 0},
    };
    ExpectReads(ConfigStore(dir_), cases);
}

TEST_F(ConfigStoreTest, WrittenFilesHaveTheExactTextAndRoundTripOrFailQuietly) {
    const ConfigStore store(dir_ / "nested" / "deeper");
    ASSERT_TRUE(store.WriteSettingsFormatA(1, 38400, 11.0592));
    EXPECT_EQ(ReadFile(store.SettingsFilePath()), "COM1$BAUD38400$CRYSTAL11.059200$$");

    ASSERT_TRUE(store.WriteSettingsFormatA(256, 600, 22.1184));
    CommSettings settings;
    ASSERT_TRUE(store.ReadStartupSettings(settings));
    EXPECT_EQ(Fields(settings), Fields({256, 600, 22.1184}));

    // The shorter format B replaces the file entirely (the startup read refuses it: the read
    // table's "format B").
    ASSERT_TRUE(store.WriteSettingsFormatB(1, 38400));
    EXPECT_EQ(ReadFile(store.SettingsFilePath()), "COM1 BAUD38400 $$");

    // A regular file where the folder should be: neither mkdir -p nor the writes can succeed,
    // and each fails quietly.
    WriteFile(dir_ / "blocker", "x");
    const ConfigStore blocked(dir_ / "blocker" / "tessel");
    EXPECT_FALSE(blocked.WriteSettingsFormatA(1, 38400, 11.0592));
    EXPECT_EQ(blocked.WriteRegistryValue("COMMPORT", "1"), 0);
    EXPECT_FALSE(ConfigStore(fs::path()).WriteSettingsFormatB(1, 38400));
}

TEST_F(ConfigStoreTest, NumbersIgnoreTheProcessLocale) {
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    bool comma = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"}) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            comma = true;
            break;
        }
    }
    if (!comma) {
        GTEST_SKIP() << "no locale with a decimal comma installed";
    }
    const ConfigStore store(dir_);
    const bool written = store.WriteSettingsFormatA(2, 9600, 11.0592);
    CommSettings settings;
    const bool read = store.ReadStartupSettings(settings);
    std::setlocale(LC_ALL, saved.c_str());
    ASSERT_TRUE(written);
    EXPECT_EQ(ReadFile(store.SettingsFilePath()), "COM2$BAUD9600$CRYSTAL11.059200$$");
    ASSERT_TRUE(read);
    EXPECT_DOUBLE_EQ(settings.crystalMHz, 11.0592);
}

TEST_F(ConfigStoreTest, RegistryValuesKeepTheirNeighboursAndTheirLengthRuleAndAnUnreadableFile) {
    const ConfigStore store(dir_);
    EXPECT_EQ(store.ReadRegistryValue("COMMPORT"), std::nullopt);
    ASSERT_EQ(store.WriteRegistryValue("COMMPORT", "1"), 1);
    ASSERT_EQ(store.WriteRegistryValue("BAUDRATE", "38400"), 1);
    ASSERT_EQ(store.WriteRegistryValue("COMMPORT", "12"), 1);
    EXPECT_EQ(store.ReadRegistryValue("COMMPORT"), "12");
    EXPECT_EQ(store.ReadRegistryValue("BAUDRATE"), "38400");
    EXPECT_EQ(ReadFile(store.RegistryFilePath()), "[SOFTWARE\\QMT]\nCOMMPORT=12\nBAUDRATE=38400\n");
    // The temporary file of each write is gone once the write is over.
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"registry.txt"});

    // Someone else's key, with our key gone from the file.
    WriteFile(store.RegistryFilePath(), "[SOFTWARE\\OTHER]\nCOMMPORT=9\n");
    ASSERT_EQ(store.WriteRegistryValue("BAUDRATE", "9600"), 1);
    EXPECT_EQ(store.ReadRegistryValue("BAUDRATE"), "9600");
    EXPECT_EQ(store.ReadRegistryValue("COMMPORT"), std::nullopt);
    EXPECT_EQ(ReadFile(store.RegistryFilePath()), "[SOFTWARE\\OTHER]\nCOMMPORT=9\n[SOFTWARE\\QMT]\nBAUDRATE=9600\n");

    // The length rule: what is longer than 31 characters is kept as its first 30.
    const std::string text(40, 'x');
    for (const size_t length : {size_t{30}, size_t{31}, size_t{32}, size_t{35}}) {
        SCOPED_TRACE(length);
        ASSERT_EQ(store.WriteRegistryValue("BAUDRATE", text.substr(0, length)), 1);
        EXPECT_EQ(store.ReadRegistryValue("BAUDRATE")->size(), length < 32 ? length : 30u);
    }
    // The file holds one value per line; a line break would forge another value.
    EXPECT_EQ(store.WriteRegistryValue("BAUDRATE", "9600\nCOMMPORT=7"), 0);
    EXPECT_EQ(store.WriteRegistryValue("COMM=PORT", "1"), 0);
    EXPECT_EQ(store.ReadRegistryValue("COMMPORT"), std::nullopt);

    // A file that cannot be read is not overwritten (root reads every file).
    if (geteuid() == 0) return;
    WriteFile(store.RegistryFilePath(), "[SOFTWARE\\OTHER]\nKEEP=1\n");
    fs::permissions(store.RegistryFilePath(), fs::perms::none);
    EXPECT_EQ(store.WriteRegistryValue("COMMPORT", "1"), 0);
    fs::permissions(store.RegistryFilePath(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadFile(store.RegistryFilePath()), "[SOFTWARE\\OTHER]\nKEEP=1\n");
}

// Sets or clears environment variables for one test and puts them back afterwards.
class EnvOverride {
public:
    EnvOverride(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~EnvOverride() {
        if (saved_) setenv(name_, saved_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

// The settings' folder, and the state folder that holds backups and the instance lock.
TEST_F(ConfigStoreTest, UserFoldersFollowXdgThenHome) {
    const std::string home = (dir_ / "home").string();
    const std::string xdg = (dir_ / "xdg").string();
    EnvOverride homeVar("HOME", home.c_str());
    const fs::path fromHome = fs::path(home) / ".config" / "tessel";
    {
        EnvOverride x("XDG_CONFIG_HOME", xdg.c_str());
        EXPECT_EQ(ConfigStore::UserConfigFolder(), fs::path(xdg) / "tessel");
        const ConfigStore store = ConfigStore::ForUser();
        ASSERT_TRUE(store.WriteSettingsFormatA(1, 38400, 11.0592));
        EXPECT_TRUE(fs::exists(fs::path(xdg) / "tessel" / "QmtBslComDft.txt"));
    }
    for (const char* unusable : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
        SCOPED_TRACE(unusable != nullptr ? unusable : "(unset)");
        EnvOverride x("XDG_CONFIG_HOME", unusable);
        EXPECT_EQ(ConfigStore::UserConfigFolder(), fromHome);
        EXPECT_EQ(ConfigStore().Folder(), fromHome);
        EnvOverride state("XDG_STATE_HOME", unusable);
        EXPECT_EQ(UserStateDir(), home + "/.local/state/tessel");
    }
}

}  // namespace
}  // namespace tessel
