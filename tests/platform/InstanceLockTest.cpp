#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/InstanceLock.h"
#include "support/TempFolder.h"

namespace tessel {
namespace {

TEST(InstanceLock, ASecondCopyIsTurnedAwayUntilTheFirstGoes) {
    const test::TempFolder dir;
    {
        InstanceLock first("gui.lock", dir + "/nested");
        ASSERT_TRUE(first.TryAcquire());
        EXPECT_TRUE(first.TryAcquire()) << "taking it again is harmless";
        // Another process, as a second start of the program would be.
        const pid_t child = fork();
        if (child == 0) {
            InstanceLock second("gui.lock", dir + "/nested");
            _exit(second.TryAcquire() ? 1 : 0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second copy got the lock";
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
