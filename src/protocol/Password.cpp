#include "protocol/Password.h"

#include "device/CDeviceSession.h"
#include "platform/Operator.h"

namespace tessel {

uint16_t PasswordAddress(int chipType) {
    switch (FamilyOf(chipType)) {
        case ChipFamily::A: return 0xF040;
        case ChipFamily::HL64D: return 0x0080;
        case ChipFamily::HL32B: return 0xE080;
        case ChipFamily::Unknown: break;
    }
    return 0;
}

namespace {
bool Accepted(LinkContext& c) {
    uint8_t reply = 0;
    return c.session.port.ReadByte(&reply) && reply == cmd::kAck;
}
}  // namespace

int VerifyPassword(LinkContext& c, uint16_t address, const std::string& password) {
    c.progress.resetProgress();
    c.progress.setProgressLabel("Password Verify");
    const bool ok = SendTextFrame(c, cmd::kPasswordVerify, address, password) && Accepted(c);
    c.progress.stepProgress();
    c.progress.resetProgress();
    if (!ok) {
        if (Operator* op = c.session.port.Owner()) op->ShowMessage(kPasswordIncorrect);
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
    c.session.port.PurgeInput();
    return 0;
}

}  // namespace tessel
