#include "protocol/ConfigBits.h"

#include "device/CDeviceSession.h"
#include "platform/Clock.h"
#include "platform/Operator.h"

namespace tessel {

namespace {

using namespace security;

// The loader needs this long to burn one bit before the next command.
constexpr uint32_t kBitSettleMs = 100;

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

const char* Level4Refusal(LockVariant variant, const LockOption& option, int lockStatus) {
    const uint8_t after = static_cast<uint8_t>((lockStatus | option.mask) & 0xFF);
    if (after != kLevel4 && !(variant == LockVariant::A && after == kLevel4TypeA)) return nullptr;
    return variant == LockVariant::Internal ? option.refusalInternal : option.refusal;
}

int ProgramLockBits(LinkContext& c, Operator& op, LockVariant variant, const LockOption* o, int lockStatus) {
    int result = lock::kFailed;
    if (o) {
        if (const char* refusal = Level4Refusal(variant, *o, lockStatus)) {
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

int ProgramRemapBits(LinkContext& c, const RemapOption& option) {
    int result = -1;
    if (option.remapBits != 0) {
        result = 0;
        // RB0 is code 0, RB1 code 1.
        for (uint8_t rb : {uint8_t{0}, uint8_t{1}}) {
            if (!(option.remapBits & (1 << rb))) continue;
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
