#include "protocol/Password.h"

#include <algorithm>

#include "device/CDeviceSession.h"
#include "platform/Operator.h"

namespace tessel {

bool PasswordFromUtf8(std::string_view utf8, std::string* latin1, std::string* error) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<uint8_t>(utf8[i]);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        // Latin-1 above 7Fh is two UTF-8 bytes, C2h or C3h and a continuation byte.
        size_t length = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        // C0h and C1h could only start an overlong form of an ASCII character.
        bool wellFormed = length != 0 && b >= 0xC2 && i + length <= utf8.size();
        for (size_t k = 1; wellFormed && k < length; ++k)
            wellFormed = (static_cast<uint8_t>(utf8[i + k]) & 0xC0) == 0x80;
        if (!wellFormed) {
            if (error) *error = "The password is not valid UTF-8 text (byte " + std::to_string(i + 1) + ").";
            std::fill(out.begin(), out.end(), '\0');
            return false;
        }
        if (length != 2 || b > 0xC3) {
            if (error)
                *error = "The password's character " + std::string(utf8.substr(i, length)) +
                         " cannot be sent to the boot loader: only Latin-1 characters can.";
            std::fill(out.begin(), out.end(), '\0');
            return false;
        }
        out.push_back(static_cast<char>(((b & 0x03) << 6) | (static_cast<uint8_t>(utf8[i + 1]) & 0x3F)));
        i += 2;
    }
    *latin1 = std::move(out);
    return true;
}

uint16_t PasswordAddress(int chipType) { return LookupChip(chipType).passwordAddress; }

namespace {
bool Accepted(LinkContext& c) {
    uint8_t reply = 0;
    return ReadReply(c, &reply) && reply == cmd::kAck;
}
}  // namespace

int VerifyPassword(LinkContext& c, uint16_t address, const std::string& password) {
    c.progress.resetProgress();
    c.progress.setProgressLabel("Password Verify");
    const bool ok = SendTextFrame(c, cmd::kPasswordVerify, address, password) && Accepted(c);
    c.progress.stepProgress();
    c.progress.resetProgress();
    if (!ok) {
        // A device that vanished has said so itself; it judged no password.
        if (Operator* op = c.session.port.Owner(); op && !c.session.port.DeviceGone())
            op->Fail(kPasswordIncorrect);
        return -1;
    }
    c.progress.setProgressLabel("");
    return 0;
}

int WritePassword(LinkContext& c, uint16_t address, const std::string& password) {
    c.progress.resetProgress();
    c.progress.setProgressLabel("Password Write");
    if (!SendTextFrame(c, cmd::kPasswordWrite, address, password)) {
        c.progress.setProgressLabel("Password Write rc not return true");
        c.progress.setProgressLabel("Password write failed");
        return -1;
    }
    const bool ok = Accepted(c);
    c.progress.stepProgress();
    if (!ok) {
        c.progress.setProgressLabel("Password write failed");
        return -1;
    }
    c.progress.setProgressLabel("Done");
    PurgeReplies(c);
    return 0;
}

}  // namespace tessel
