#pragma once
// A 1.1F loader never says which chip it runs on: the chip type is the operator's word, and a
// wrong word erases the wrong range or burns another family's bits, which no later command can
// undo. Before such a command the word is held against what the loader's answers show:
//
//  - the size of block 0: a read at the claimed chip's last block-0 address is answered and
//    one just past it is not. Both addresses are chosen below every catalogue chip's block 1
//    (which lies at E000h or F000h, or overlays block 0 only after its own select), so that
//    no other block can answer for block 0. A 64 KB block 0 is proven at DFFFh, the highest
//    address no block 1 reaches.
//  - the block-0 and block-1 selects (68h 68h, 69h 69h) that every H/L chip acknowledges: a
//    claimed H/L chip that does not acknowledge them is not one. (How an A chip answers them
//    is not known, so the selects are sent only to a chip claimed to need them.)
//  - with block-1 work, the place of block 1: its first address answers and the address just
//    below it does not, where that address belongs to no block 0.
//
// A silent answer is only a small chip when the line is alive: a read at 0000h, which every
// chip answers, tells a silent line from a missing address.
//
// What the answers cannot tell apart is said, not guessed: an NX31A32 and an NX31H32B have the
// same 32 KB block 0, and the selects do not tell them apart in either direction.

#include <string>
#include <vector>

#include "protocol/Primitives.h"

namespace tessel {

enum class ChipCheckOutcome {
    Consistent,    // nothing the chip answered contradicts the chip type
    Contradicted,  // an answer that no chip of the claimed type gives
    LinkSilent,    // not even 0000h answered: the line or the loader is gone
};

struct ChipCheck {
    ChipCheckOutcome outcome = ChipCheckOutcome::Consistent;
    // Contradicted and LinkSilent: why, as the command line ends its line ("the chip did not
    // answer a read at 7FFFh, inside NX31A32's block 0: it is smaller than NX31A32").
    std::string why;
    // Consistent: chip types of another family whose answers would have been the same.
    std::vector<int> alike;

    bool Ok() const { return outcome == ChipCheckOutcome::Consistent; }
};

// What a command needs to know of the chip. A read where the chip should be silent costs a
// whole reply wait, so only the commands for which a larger chip differs ask it.
enum class ChipCheckFor {
    Block0,  // erasing or programming block 0: its last address answers
    Bits,    // one-time bits, which differ by family: also nothing answers just past block 0
    Block1,  // block-1 work: as Bits, and block 1 lies where the type puts it
};

// Checks the session's chip type against the chip before a command that erases or burns bits.
// Sends only reads and, to a chip claimed to need them, block selects; it leaves block 0
// selected. A 1.1E loader (the link worker owns the port) reported its type, and an
// external-flash window is not the chip: both pass unchecked. What a check found consistent is
// kept for the rest of the detection.
ChipCheck CheckChipType(LinkContext& c, ChipCheckFor what);

// The refusal a window command shows for a check that found something, as a sentence;
// "" for one that did not.
std::string ChipCheckRefusal(const ChipCheck& check, const char* nothingDone);

// "the loader's answers cannot tell NX31A32 from NX31H32B or NX31L32B" for a check with alike
// types, "" without.
std::string AlikeNote(int chipType, const ChipCheck& check);

}  // namespace tessel
