#include "protocol/ConfigBits.h"

#include "device/CDeviceSession.h"
#include "platform/Clock.h"
#include "platform/Operator.h"

namespace tessel {

namespace {

using namespace security;

// The loader needs this long to burn one bit before the next command.
constexpr uint32_t kBitSettleMs = 100;

constexpr char kLevel4Long[] = "Can not set level4 lock!";
constexpr char kLevel4Short[] = "Can not set level4 lock";
constexpr char kLevel4Internal[] = "Can't set level4 lock!";
constexpr char kLevel4InternalShort[] = "Can't set level4 lock";

constexpr LockOption kTypeAOptions[] = {
    {1, "L2 Hard Lock Block 0, 1 (PROG-SB1)", {kSB1, 0}, kSB1, kLevel4Long, kLevel4Long},
    {2, "L3 Hard Lock Block 0, 1 (PROG-SB1, SB2)", {kSB1, kSB2}, kSB1 | kSB2, kLevel4Long, kLevel4Long},
    {3, "L3 Hard Lock Block 0, 1 (PROG-SB1, SB3)", {kSB1, kSB3}, kSB1 | kSB3, kLevel4Long, kLevel4Long},
    {4, "L3 Soft Lock Block 0, 1 (PROG-SB2)", {kSB2, 0}, kSB2, kLevel4Long, kLevel4Long},
    {5, "L3 Soft Lock Block 0, Hard Lock Block 1 (PROG-SB3)", {kSB3, 0}, kSB3, kLevel4Short, kLevel4Short},
};

constexpr LockOption kHLOptions[] = {
    {1, "L2 Soft Lock Block 0, 1 (PROG-SB1)", {kSB1, 0}, kSB1, kLevel4Long, kLevel4Internal},
    {2, "L3 Hard Lock Block 0, 1 (PROG-SB2, SB3)", {kSB2, kSB3}, kSB2 | kSB3, kLevel4Long, kLevel4Internal},
    {3, "L3 Hard Lock Block 0, 1 (PROG-SB1, SB3)", {kSB1, kSB3}, kSB1 | kSB3, kLevel4Long, kLevel4Internal},
    {4, "L3 Soft Lock Block 0, 1 (PROG-SB2)", {kSB2, 0}, kSB2, kLevel4Long, kLevel4Internal},
    {5, "L3 Soft Lock Block 0, Hard Lock Block 1 (PROG-SB3)", {kSB3, 0}, kSB3, kLevel4Short, kLevel4InternalShort},
    {6, "L3 Soft Lock Block 0, Hard Lock Block 1 (PROG-SB1, SB2)", {kSB1, kSB2}, kSB1 | kSB2, kLevel4Internal,
     kLevel4Internal},
};

// The code after 04h that programs a bit, per variant.
uint8_t ShortCode(uint8_t bit) { return bit == kSB1 ? 0x00 : bit == kSB2 ? 0x01 : 0x02; }
uint8_t LongCode(uint8_t bit) { return bit == kSB1 ? 0x0F : bit == kSB2 ? 0x03 : 0x05; }

bool SendBit(LinkContext& c, LockVariant variant, uint8_t bit) {
    if (variant == LockVariant::Internal) return SendLongLockFrame(c, LongCode(bit));
    return SendLockFrame(c, ShortCode(bit));
}

// Ends every programming sequence; the loader's answer to it, if any, is not ours to check.
void SendClosing(LinkContext& c) {
    SendByte(c, cmd::kClose);
    SendByte(c, cmd::kClose);
}

void Settle(LinkContext& c) {
    DrainLine(c);
    c.session.port.GetClock().SleepMs(kBitSettleMs);
}

}  // namespace

LockVariant LockVariantFor(int chipType, int memoryMode) {
    if (IsTypeA(chipType)) return LockVariant::A;
    return memoryMode == kInternalMemory ? LockVariant::Internal : LockVariant::External;
}

const LockOption* FindLockOption(bool typeA, int option) {
    if (typeA) {
        for (const LockOption& o : kTypeAOptions)
            if (o.option == option) return &o;
        return nullptr;
    }
    for (const LockOption& o : kHLOptions)
        if (o.option == option) return &o;
    return nullptr;
}

const char* Level4Refusal(LockVariant variant, bool typeA, int option, int lockStatus) {
    const LockOption* o = FindLockOption(typeA, option);
    if (!o) return nullptr;
    const uint8_t after = static_cast<uint8_t>((lockStatus | o->mask) & 0xFF);
    if (after != kLevel4 && !(variant == LockVariant::A && after == kLevel4TypeA)) return nullptr;
    return variant == LockVariant::Internal ? o->refusalInternal : o->refusal;
}

int ProgramLockBits(LinkContext& c, Operator& op, LockVariant variant, bool typeA, int option, int lockStatus) {
    const LockOption* o = FindLockOption(typeA, option);
    int result = lock::kFailed;
    if (o) {
        if (const char* refusal = Level4Refusal(variant, typeA, option, lockStatus)) {
            op.Warn(refusal);
            result = lock::kRefused;
        } else {
            result = lock::kDone;
            for (uint8_t bit : o->bits) {
                if (bit == 0) break;
                if (!SendBit(c, variant, bit)) {
                    // The bits already burnt stay burnt; the rest are not sent.
                    result = lock::kFailed;
                    break;
                }
                Settle(c);
            }
        }
    }
    SendClosing(c);
    return result;
}

int ProgramRemapBits(LinkContext& c, int option) {
    int result = -1;
    if (option >= 1 && option <= 3) {
        result = 0;
        // RB0 is code 0, RB1 code 1; option 3 programs both.
        for (uint8_t rb : {uint8_t{0}, uint8_t{1}}) {
            if (!(option & (1 << rb))) continue;
            if (!SendConfigFrame(c, rb)) {
                result = -1;
                break;
            }
            Settle(c);
        }
    }
    SendClosing(c);
    return result;
}

bool SendBytes(LinkContext& c, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes)
        if (!SendByte(c, b)) return false;
    return true;
}

}  // namespace tessel
