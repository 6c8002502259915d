#pragma once
// The one-time bits the boot loader programs on request: the security bits SB1 to SB3, the
// remap bits of the A-type chips, and the SC0/SC1 and double-clock bits of the H/L chips.
// The loader answers none of these: success means only that every byte was written, and
// the next detection is what reads the bits back.

#include <cstdint>
#include <initializer_list>

#include "protocol/Primitives.h"

namespace tessel {

class Operator;

// How a security bit is put on the wire: the A-type chips and the H/L chips in external
// memory mode take two bytes, the H/L chips in internal memory mode three.
enum class LockVariant { A, External, Internal };
LockVariant LockVariantFor(int chipType, int memoryMode);

// Bits of the lock status (the chip's FCST bits 7:5).
namespace security {
constexpr uint8_t kSB1 = 0x80, kSB2 = 0x40, kSB3 = 0x20;
constexpr uint8_t kLevel4 = 0xE0;
// On the A-type chips SB2 and SB3 without SB1 is level 4 as well.
constexpr uint8_t kLevel4TypeA = 0x60;
}  // namespace security

// One choice of a lock menu: what it programs, in order, and what the level-4 guard says.
struct LockOption {
    int option;
    const char* label;
    uint8_t bits[2];   // in programming order; 0 ends the list
    uint8_t mask;      // every bit of the option
    const char* refusal;          // variants A and external
    const char* refusalInternal;  // variant internal
};

// The options of the A-type menu (1 to 5) or of the H/L menu (1 to 6); null for any other.
const LockOption* FindLockOption(bool typeA, int option);

namespace lock {
constexpr int kDone = 0;
constexpr int kFailed = -1;
// The level-4 guard refused the option: nothing but the closing sequence was sent.
constexpr int kRefused = 1;
}  // namespace lock

// The level-4 guard on its own, so that a front end can refuse before anything is sent: the
// option's refusal text when programming it at `lockStatus` would make the chip level 4 (on
// the A models 60h is level 4 too), else null.
const char* Level4Refusal(LockVariant variant, bool typeA, int option, int lockStatus);

// Programs the option's security bits, 100 ms apart, and closes with 6Bh 6Bh whatever came
// before. The guard refuses an option that would make the chip level 4 and shows why;
// the first refused write stops the bits that follow. An unknown option sends only the
// closing sequence and fails.
int ProgramLockBits(LinkContext& c, Operator& op, LockVariant variant, bool typeA, int option,
                    int lockStatus);

// A-type chips in external memory mode: option 1 RB0, 2 RB1, 3 RB0 then RB1, each 100 ms
// apart, then the closing sequence. 0 when every bit of the option was sent, else -1.
int ProgramRemapBits(LinkContext& c, int option);

// Writes the bytes one by one; false at the first the port did not take.
bool SendBytes(LinkContext& c, std::initializer_list<uint8_t> bytes);

}  // namespace tessel
