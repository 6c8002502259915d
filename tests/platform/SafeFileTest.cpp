#include "platform/SafeFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "files/Backup.h"
#include "files/ConfigStore.h"
#include "platform/InstanceLock.h"
#include "serial/WireTrace.h"
#include "support/TempFolder.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

class SafeFileTest : public testing::Test {
protected:
    // Whatever the umask, the files must come out private.
    void SetUp() override { oldMask_ = ::umask(0); }
    void TearDown() override { ::umask(oldMask_); }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    static mode_t ModeOf(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    }
    // Everything in the folder but the names given: no temporary file may be left behind.
    std::vector<std::string> Others(std::initializer_list<std::string> known) const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(std::string(dir_))) {
            const std::string name = e.path().filename().string();
            if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
        }
        return out;
    }

    test::TempFolder dir_;
    mode_t oldMask_ = 0;
};

// A settings file some other tool left readable by all becomes private when rewritten; a saved
// image the user keeps group-readable stays so; new files are private either way.
TEST_F(SafeFileTest, NewAndReplacedFilesArePrivateUnlessAnExistingModeIsToBeKept) {
    const struct {
        const char* name;
        mode_t before;  // 0: no file yet
        FileMode mode;
        mode_t after;
    } rows[] = {{"fresh.bin", 0, FileMode::Private, 0600}, {"settings.txt", 0644, FileMode::Private, 0600},
                {"image.hex", 0640, FileMode::KeepExisting, 0640}, {"new.hex", 0, FileMode::KeepExisting, 0600}};
    for (const auto& row : rows) {
        const std::string path = dir_ + "/" + row.name;
        if (row.before) {
            Write(path, "old");
            ::chmod(path.c_str(), row.before);
        }
        std::string error;
        ASSERT_TRUE(WriteFileSafely(path, "new", &error, row.mode)) << error;
        EXPECT_EQ(Read(path), "new") << row.name;
        EXPECT_EQ(ModeOf(path), row.after) << row.name;
    }
    EXPECT_TRUE(Others({"fresh.bin", "settings.txt", "image.hex", "new.hex"}).empty());
}

TEST_F(SafeFileTest, ANameThatIsASymbolicLinkIsRefusedAndItsTargetUntouched) {
    const std::string target = dir_ + "/victim";
    Write(target, "precious");
    ::chmod(target.c_str(), 0200);  // write-only: a plain open for writing would still succeed
    const std::string link = dir_ + "/link";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    const std::string dangling = dir_ + "/dangling";
    const std::string nowhere = dir_ + "/created-through-link";
    ASSERT_EQ(::symlink(nowhere.c_str(), dangling.c_str()), 0);

    for (const std::string& name : {link, dangling}) {
        std::string error;
        EXPECT_FALSE(WriteFileSafely(name, "evil", &error)) << name;
        EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
        EXPECT_EQ(CreateFileSafely(name, &error), -1) << name;
    }
    ::chmod(target.c_str(), 0600);
    EXPECT_EQ(Read(target), "precious");
    EXPECT_FALSE(fs::exists(nowhere)) << "a dangling link must not be created through";
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(Others({"victim", "link", "dangling"}).empty());
}

// Backups have a time-stamped name that anybody can predict: links planted for the names of
// the next seconds are passed over, not followed.
TEST_F(SafeFileTest, BackupsArePrivateAndNeverWrittenThroughAPlantedLink) {
    const std::string state = dir_ + "/state";
    fs::create_directories(state);
    const std::string target = dir_ + "/victim";
    Write(target, "precious");
    const auto now = std::chrono::system_clock::now();
    std::vector<std::string> planted;
    for (int s = 0; s < 10; ++s) {
        const std::time_t t = std::chrono::system_clock::to_time_t(now + std::chrono::seconds(s));
        std::tm tm{};
        localtime_r(&t, &tm);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
        const std::string name = state + "/block0-" + stamp + ".hex";
        ASSERT_EQ(::symlink((s % 2 ? target : dir_ + "/made-" + std::to_string(s)).c_str(), name.c_str()), 0);
        planted.push_back(name);
    }
    const std::vector<BackupRegion> regions{{0x0000, {1, 2, 3}}, {0x2000, {4, 5}}};
    const std::string path = WriteBackupHex(state, "block0", regions);
    ASSERT_FALSE(path.empty());
    EXPECT_FALSE(fs::is_symlink(path)) << path;
    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_NE(Read(path).find(":022000000405"), std::string::npos) << Read(path);
    EXPECT_EQ(Read(target), "precious");
    for (int s = 0; s < 10; s += 2) EXPECT_FALSE(fs::exists(dir_ + "/made-" + std::to_string(s)));
    for (const std::string& p : planted) EXPECT_TRUE(fs::is_symlink(p));
}

TEST_F(SafeFileTest, SettingsRegistryPortNameAndWireTracesRefuseAPlantedLink) {
    ConfigStore store{fs::path(std::string(dir_))};
    const std::string target = dir_ + "/victim";
    Write(target, "precious");
    for (const fs::path& p : {store.SettingsFilePath(), store.RegistryFilePath(),
                              fs::path(std::string(dir_)) / ConfigStore::kPortNameFileName})
        ASSERT_EQ(::symlink(target.c_str(), p.c_str()), 0) << p;
    EXPECT_FALSE(store.WriteSettingsFormatA(3, 9600, 12.0));
    EXPECT_FALSE(store.WriteRegistryValue("COMMPORT", "3"));
    EXPECT_FALSE(store.WritePortName("/dev/ttyUSB0"));
    EXPECT_EQ(Read(target), "precious");

    // A wire trace the same.
    const std::string linked = dir_ + "/trace.txt";
    ASSERT_EQ(::symlink(target.c_str(), linked.c_str()), 0);
    std::string error;
    EXPECT_EQ(WireTrace::Open(linked, &error), nullptr);
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    EXPECT_EQ(Read(target), "precious");

    const std::string plain = dir_ + "/plain.txt";
    {
        auto trace = WireTrace::Open(plain, &error);
        ASSERT_NE(trace, nullptr) << error;
        const uint8_t bytes[] = {0x63};
        trace->Bytes(1500, '>', bytes, 1);
    }
    EXPECT_EQ(ModeOf(plain), 0600u);
    EXPECT_NE(Read(plain).find("1.500 > 63"), std::string::npos) << Read(plain);
}

TEST(InstanceLock, ASecondCopyIsTurnedAwayUntilTheFirstGoes) {
    const test::TempFolder dir;
    {
        InstanceLock first("gui.lock", dir + "/nested");
        ASSERT_TRUE(first.TryAcquire());
        EXPECT_TRUE(first.TryAcquire()) << "taking it again is harmless";
        // A second process turned away is Station.SharedOrUnusableFilesEndTheRunBeforeTheFirstBoard.
    }
    InstanceLock later("gui.lock", dir + "/nested");
    EXPECT_TRUE(later.TryAcquire()) << "released with its holder";
    std::string error;
    InstanceLock nowhere("gui.lock", "/proc/no-such-folder");
    EXPECT_FALSE(nowhere.TryAcquire(&error));
    EXPECT_FALSE(error.empty());

    // A link planted at the lock's place (the runtime folder may be shared) is not followed:
    // the file it names is neither created nor truncated.
    std::filesystem::create_directories(dir + "/planted");
    std::filesystem::create_symlink(dir + "/victim", dir + "/planted/gui.lock");
    InstanceLock planted("gui.lock", dir + "/planted");
    EXPECT_FALSE(planted.TryAcquire(&error));
    EXPECT_FALSE(std::filesystem::exists(dir + "/victim"));
}

}  // namespace
}  // namespace tessel
