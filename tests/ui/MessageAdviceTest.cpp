// The kind and remedy of the commands' fixed messages: an error must not pass as information,
// a success must not look like an error, and the failures an operator can mend say how.
#include <gtest/gtest.h>

#include <string>

#include "ui/MessageAdvice.h"
#include "ui/Texts.h"

namespace tessel {
namespace {

TEST(MessageAdvice, FailuresAreErrorsThatNameTheirLikelyCausesAndReportsOfSuccessOrWhatToDoAreNot) {
    for (const char* error :
         {"No flash chip has been selected/detected!!!", "No target board has been located!!!",
          "Illegal Block Number Detected!!!", "Sector erase failed!!!", "Failed to Verify Data!!!",
          "Can't open the selected file!!!", "The selected file is over size!!!", "Serial connection is incorrect!!!",
          "Wrong Firmware Version Detected in MCU chip!!!", "Memory address is invalid!",
          "Input string is oversize!\nPlease shorten your input.", "Chip Info is not completed!!!",
          "Byte Edit only works in Internal Memory Mode!", "File Compare doesn't work if chip is locked!\n",
          "You can't overwrite external BSL firmware\nwhich resides in the first sector of Low64K memory!",
          "You can not erase BSL which resides in the first 16 sectors of Block1!", "Password Verify Failed!",
          "Block1 is not available in internal memory mode!!!", "Error! Queue is Full.",
          "Set Lock not confirmed!\nThe detection after it did not read the new bits back from the chip; they may "
          "or may not be programmed.",
          "The sectors read differently twice, so the line is not reliable.\nBlock 0 was not changed."})
        EXPECT_EQ(AdviseOn(error).kind, MessageKind::Error) << error;
    for (const char* info :
         {"Sectors erase completed!!!", "Serial connection is correct!", "Chip Erase Completed!",
          "Click on OK then Reset MCU\nto Detect Baud & Chip\n(MCU:Fw v1.1F)", text::kSelectChipOrDetect,
          "Please remove MCU from the target board,\nthen connect TXD and RXD pin and power on!",
          "Set Lock Completed!\nChip will be automatically redetected!", "Internal Data"}) {
        EXPECT_EQ(AdviseOn(info).kind, MessageKind::Information) << info;
        EXPECT_TRUE(AdviseOn(info).remedy.empty()) << info;
    }
    // The port could not be had: the remedy names the group that serial devices belong to. The
    // port opened but the loader stayed silent: power, reset, cable, rate.
    const std::pair<const char*, const char*> remedies[] = {
        {"Failed to setup Serial Comm with Target MCU!!!", kPortRemedy},
        {"Failed to set up RS232 connection with Target Board!!!", kPortRemedy},
        {"/dev/ttyUSB0: permission denied", kPortRemedy},
        {"/dev/ttyS7: No such file or directory", kPortRemedy},
        {"/dev/ttyS249: no such serial device (is the adapter plugged in?)", kPortRemedy},
        {"/dev/ttyUSB0: the port is in use by another program", kPortRemedy},
        {"Failed to setup RS232 connection with Target MCU!!!", kNoAnswerRemedy},
        {"No Response from Target Board!!!", kNoAnswerRemedy},
        {"No Response from Target Board after sending 05h,55h!!!", kNoAnswerRemedy},
        {"Failed on receiving string RDY(1).", kNoAnswerRemedy},
        {text::kTimeoutReset, kLinkLostRemedy},
        {"Sector erase failed!!!", ""},  // nothing particular to add
    };
    for (const auto& [text, remedy] : remedies) {
        EXPECT_EQ(AdviseOn(text).kind, MessageKind::Error) << text;
        EXPECT_EQ(AdviseOn(text).remedy, remedy) << text;
    }
    EXPECT_NE(std::string(kPortRemedy).find("dialout"), std::string::npos);
}

// A stop the operator asked for is a warning, not a failure, unless what it left behind is
// one; the report names the backups that still hold the operator's data.
TEST(MessageAdvice, AStopReportIsAWarningUnlessItLeftSomethingUndone) {
    EXPECT_EQ(StoppedReport("", {"/var/b0.bin"}), "") << "nothing was stopped part-way";
    const std::string read = StoppedReport("reading stopped after 3 of 512 chunks", {});
    EXPECT_EQ(read, "Stopped at the operator's request: reading stopped after 3 of 512 chunks.");
    EXPECT_EQ(AdviseOn(read).kind, MessageKind::Warning);
    EXPECT_TRUE(AdviseOn(read).remedy.empty());

    const std::string kept = StoppedReport("erasing stopped after 1 of 48 sectors; block 0 could not be put back",
                                           {"/var/b0.bin", "/var/b0-2.bin"});
    EXPECT_EQ(kept, "Stopped at the operator's request: erasing stopped after 1 of 48 sectors; block 0 could not be "
                    "put back; the operator's data is kept in /var/b0.bin, /var/b0-2.bin.");
    EXPECT_EQ(AdviseOn(kept).kind, MessageKind::Error);
    EXPECT_EQ(AdviseOn(StoppedReport("block 0's areas 0000h-007Fh and 2000h-217Fh were not put back", {})).kind,
              MessageKind::Error);
    // The words alone do not make a warning of a command's own message.
    EXPECT_EQ(AdviseOn("Stopped").kind, MessageKind::Information);
}

}  // namespace
}  // namespace tessel
