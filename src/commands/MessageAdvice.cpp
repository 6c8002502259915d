#include "commands/MessageAdvice.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>

#include "transfer/ImageLoaders.h"
#include "commands/Texts.h"

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

namespace {

std::string Lower(const std::string& s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool HasAny(const std::string& lower, std::initializer_list<const char*> words) {
    return std::any_of(words.begin(), words.end(),
                       [&](const char* w) { return lower.find(w) != std::string::npos; });
}

}  // namespace

std::string RemedyFor(const std::string& message, MessageKind kind) {
    if (kind != MessageKind::Error) return {};
    const std::string m = Lower(message);
    // The image file, not the port: its errors name the file, and a missing file's "No such
    // file or directory" must not read as a missing serial device.
    if (message.rfind(kCantOpenFile, 0) == 0 || message.rfind(kOverSize, 0) == 0 ||
        HasAny(m, {": line ", "the file holds no data", "not an image file", "not a firmware image",
                   "does not start with a ':' record", "larger than any image"}))
        return kFileRemedy;
    // The port itself could not be had: opening failed, or the device said why.
    if (HasAny(m, {"failed to setup serial comm", "failed to set up rs232 connection with target board",
                   "permission denied", "is in use by another program", "not a serial device", ": cannot open",
                   "no such file or directory", "no such serial device"}))
        return kPortRemedy;
    if (message == text::kTimeoutReset) return kLinkLostRemedy;
    // The port opened but the loader never answered as it should.
    if (HasAny(m, {"failed to setup rs232 connection with target mcu", "no response from target board",
                   "failed on receiving string"}))
        return kNoAnswerRemedy;
    return {};
}

}  // namespace tessel
