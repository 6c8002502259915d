#include "commands/MessageAdvice.h"

namespace tessel {

const char kPortRemedy[] =
    "The serial port could not be opened. Check that the adapter is plugged in and that no other "
    "program holds the port. Serial devices belong to the group 'dialout': add your user with "
    "'sudo usermod -aG dialout $USER', then log out and in again.";
const char kNoAnswerRemedy[] =
    "The target did not answer. Likely causes: the board is not powered, or was not reset after "
    "OK was clicked; the cable is on another port or not connected; the chosen baud rate does "
    "not suit the target's crystal; the chip type or memory mode does not match the board.";
const char kLinkLostRemedy[] =
    "The target stopped answering. Likely causes: the board was reset or powered off, the "
    "cable was pulled, or the target's own program was started. Detect the chip again.";

const char kFileRemedy[] =
    "The file could not be used, so nothing on the chip was touched. Check the file's name and "
    "folder, that you may read it, and that it is the firmware image (Intel HEX or raw binary) "
    "built for this chip.";

const char kStoppedPrefix[] = "Stopped at the operator's request: ";

std::string StoppedReport(const std::string& notes, const std::vector<std::string>& backups) {
    if (notes.empty()) return {};
    return kStoppedPrefix + notes + BackupsClause(backups) + ".";
}

std::string BackupsClause(const std::vector<std::string>& backups) {
    std::string text;
    for (size_t i = 0; i < backups.size(); ++i) text += (i == 0 ? "; the operator's data is kept in " : ", ") + backups[i];
    return text;
}

const char* RemedyFor(Fault fault) {
    switch (fault) {
        case Fault::Port: return kPortRemedy;
        case Fault::NoAnswer: return kNoAnswerRemedy;
        case Fault::LinkLost: return kLinkLostRemedy;
        case Fault::File: return kFileRemedy;
        case Fault::Unconfirmed:
        case Fault::None: break;
    }
    return "";
}

}  // namespace tessel
