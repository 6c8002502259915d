// What a stop the operator asked for leaves behind, in one message.
#include <gtest/gtest.h>

#include <string>

#include "commands/MessageAdvice.h"

namespace tessel {
namespace {

// The report of a stop names what it left behind and the backups that still hold the
// operator's data.
TEST(MessageAdvice, AStopReportNamesWhatWasLeftAndTheBackups) {
    EXPECT_EQ(StoppedReport("", {"/var/b0.bin"}), "") << "nothing was stopped part-way";
    EXPECT_EQ(StoppedReport("reading stopped after 3 of 512 sectors", {}),
              "Stopped at the operator's request: reading stopped after 3 of 512 sectors.");
    EXPECT_EQ(StoppedReport("erasing stopped after 1 of 48 sectors; block 0 could not be put back",
                            {"/var/b0.bin", "/var/b0-2.bin"}),
              "Stopped at the operator's request: erasing stopped after 1 of 48 sectors; block 0 could not be "
              "put back; the operator's data is kept in /var/b0.bin, /var/b0-2.bin.");
}

}  // namespace
}  // namespace tessel
