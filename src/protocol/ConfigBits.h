#pragma once
// The one-time bits the boot loader programs on request: the security bits SB1 to SB3, the
// remap bits of the A-type chips, and the SC0/SC1 and double-clock bits of the H/L chips.
// The loader answers none of these: success means only that every byte was written, and
// the next detection is what reads the bits back.

#include <cstdint>
#include <initializer_list>

#include "device/ChipCatalogue.h"
#include "protocol/Primitives.h"

namespace tessel {

class Operator;

// How a security bit is put on the wire: the A-type chips and the H/L chips in external
// memory mode take two bytes, the H/L chips in internal memory mode three.
enum class LockVariant { A, External, Internal };
LockVariant LockVariantFor(int chipType, int memoryMode);

namespace lock {
constexpr int kDone = 0;
constexpr int kFailed = -1;
// The level-4 guard refused the option: nothing but the closing sequence was sent.
constexpr int kRefused = 1;
}  // namespace lock

// The level-4 guard on its own, so that a front end can refuse before anything is sent: the
// option's refusal text when programming it at `lockStatus` would make the chip level 4 (on
// the A models 60h is level 4 too), else null.
const char* Level4Refusal(LockVariant variant, const LockOption& option, int lockStatus);

// Programs the option's security bits, 100 ms apart, and closes with 6Bh 6Bh whatever came
// before. The guard refuses an option that would make the chip level 4 and shows why;
// the first refused write stops the bits that follow. No option (null) sends only the
// closing sequence and fails.
int ProgramLockBits(LinkContext& c, Operator& op, LockVariant variant, const LockOption* option, int lockStatus);

// A-type chips in external memory mode: the option's RB0, then its RB1, each 100 ms apart,
// then the closing sequence. 0 when every bit of the option was sent, else -1 (also for an
// option that programs no remap bit).
int ProgramRemapBits(LinkContext& c, const RemapOption& option);

// Writes the bytes one by one; false at the first the port did not take.
bool SendBytes(LinkContext& c, std::initializer_list<uint8_t> bytes);

}  // namespace tessel
