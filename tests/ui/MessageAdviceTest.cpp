// The remedies an error message gets: the failures an operator can mend say how, and nothing
// else gets advice. How serious a message is comes from the code that raised it (checked where
// the commands run); here only what is added to it.
#include <gtest/gtest.h>

#include <string>

#include "commands/MessageAdvice.h"
#include "commands/Texts.h"

namespace tessel {
namespace {

TEST(MessageAdvice, ErrorsThatAnOperatorCanMendNameTheirLikelyCauses) {
    // The port could not be had: the remedy names the group that serial devices belong to. The
    // port opened but the loader stayed silent: power, reset, cable, rate. The file comes
    // before the port: a missing image's "No such file or directory" is not a missing device.
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
        {"Can't open the selected file!!!\nblink.hex: No such file or directory", kFileRemedy},
        {"blink.hex: line 3: bad checksum", kFileRemedy},
        {"Sector erase failed!!!", ""},  // nothing particular to add
    };
    for (const auto& [text, remedy] : remedies) {
        EXPECT_EQ(RemedyFor(text, MessageKind::Error), remedy) << text;
        // A warning or a note is not a fault to mend, whatever its words.
        EXPECT_EQ(RemedyFor(text, MessageKind::Warning), "") << text;
    }
    EXPECT_NE(std::string(kPortRemedy).find("dialout"), std::string::npos);
}

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
