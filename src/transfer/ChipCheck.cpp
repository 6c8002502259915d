#include "transfer/ChipCheck.h"

#include <algorithm>

#include "device/CDeviceSession.h"
#include "device/ChipCatalogue.h"
#include "device/CommandChecks.h"
#include "transfer/ImageLoaders.h"

namespace tessel {
namespace {

// No catalogue chip's block 1 reaches below this address unless it overlays block 0, and an
// overlaying block 1 answers only after its own select: below it only block 0 answers a read.
constexpr uint32_t kBelowEveryBlock1 = 0xE000;

// What one detection's checks found, so that the command line's check before a command and
// the command's own do not read twice.
bool Remembered(const CDeviceSession& s, int step) {
    const CDeviceSession::ChipCheckMemo& m = s.chipChecked[static_cast<size_t>(step)];
    return m.valid && m.generation == s.imageGeneration && m.chipType == s.chipType && m.memoryMode == s.memoryMode;
}
void Remember(CDeviceSession& s, int step) {
    s.chipChecked[static_cast<size_t>(step)] = {true, s.imageGeneration, s.chipType, s.memoryMode};
}

class Checker {
public:
    explicit Checker(LinkContext& c) : c_(c), s_(c.session), model_(s_.Chip().model) {}

    // Block 0 reaches as far as the chip type says.
    bool Block0(ChipCheck* out) {
        const uint32_t size = static_cast<uint32_t>(s_.BlockSize(0));
        if (s_.NeedsBlockSelect() && !selectBlock0(c_))
            return Contradict(out, "the chip did not acknowledge the block-0 select (68h 68h) that every " +
                                       std::string(FamilyName(s_.Family())) + " chip answers: it is not " + model_);
        const uint32_t inside = std::min(size, kBelowEveryBlock1) - 1;
        if (!AnswersReadAt(c_, inside))
            return Contradict(out, "the chip did not answer a read at " + AddressText(inside) + ", inside " + model_ +
                                       "'s block 0: it is smaller than " + model_);
        return true;
    }

    // And no further.
    bool Block0End(ChipCheck* out) {
        const uint32_t size = static_cast<uint32_t>(s_.BlockSize(0));
        if (size < kBelowEveryBlock1 && AnswersReadAt(c_, size))
            return Contradict(out, "the chip answered a read at " + AddressText(size) + ", past " + model_ +
                                       "'s block 0: its block 0 is larger than " + model_ + "'s");
        return true;
    }

    bool Block1(ChipCheck* out) {
        const uint32_t start = static_cast<uint32_t>(s_.StartAddress(1));
        const bool select = s_.NeedsBlockSelect();
        if (select && !selectBlock1(c_))
            return Contradict(out, "the chip did not acknowledge the block-1 select (69h 69h) that every " +
                                       std::string(FamilyName(s_.Family())) + " chip answers: it is not " + model_);
        bool ok = true;
        if (!AnswersReadAt(c_, start)) {
            ok = Contradict(out, "the chip did not answer a read at " + AddressText(start) + ", the first address of " +
                                     model_ + "'s block 1: it is not " + model_);
        } else if (start > static_cast<uint32_t>(s_.BlockSize(0)) && AnswersReadAt(c_, start - 1)) {
            // Below a block 1 that starts above block 0's end lies nothing of this chip.
            ok = Contradict(out, "the chip answered a read at " + AddressText(start - 1) + ", below " + model_ +
                                     "'s block 1 and past its block 0: it is not " + model_);
        }
        // The chip is left as the command expects to find it.
        if (select && ok && !selectBlock0(c_)) ok = Contradict(out, "the block-0 select (68h 68h) was not acknowledged");
        return ok;
    }

private:
    // A silent answer says something about the chip only while the line is alive.
    bool Contradict(ChipCheck* out, std::string why) {
        if (LinkAnswers(c_)) {
            out->outcome = ChipCheckOutcome::Contradicted;
            out->why = std::move(why);
        } else {
            out->outcome = ChipCheckOutcome::LinkSilent;
            out->why = SilentLineText(s_);
        }
        return false;
    }

    LinkContext& c_;
    CDeviceSession& s_;
    const std::string model_;
};

}  // namespace

ChipCheck CheckChipType(LinkContext& c, ChipCheckFor what) {
    CDeviceSession& s = c.session;
    ChipCheck out;
    s.refusalBeforeChange.clear();
    s.lineSilent = false;
    if (c.worker || s.flags.workerRunning || s.ExternalWindowOpen() || !IsKnownChipType(s.chipType)) return out;
    Checker checker(c);
    const int steps = what == ChipCheckFor::Block0 ? 1 : what == ChipCheckFor::Bits ? 2 : 3;
    for (int step = 0; step < steps; ++step) {
        if (Remembered(s, step)) continue;
        const bool ok = step == 0 ? checker.Block0(&out) : step == 1 ? checker.Block0End(&out) : checker.Block1(&out);
        if (!ok) {
            s.refusalBeforeChange = out.why;
            s.lineSilent = out.outcome == ChipCheckOutcome::LinkSilent;
            return out;
        }
        Remember(s, step);
    }
    // Only a family with other bits and other addresses matters; the H and L parts of one
    // family answer and behave alike.
    for (const ChipInfo& chip : AllChips())
        if (chip.family != s.Family() && chip.block[0].blockSize == s.BlockSize(0)) out.alike.push_back(chip.code);
    return out;
}

std::string ChipCheckRefusal(const ChipCheck& check, const char* nothingDone) {
    if (check.Ok()) return "";
    std::string text = AsSentence(check.why) + " " + nothingDone;
    if (check.outcome == ChipCheckOutcome::Contradicted) text += " Check the chip type chosen at detection.";
    return text;
}

std::string AlikeNote(int chipType, const ChipCheck& check) {
    if (check.alike.empty()) return "";
    std::string others;
    for (size_t i = 0; i < check.alike.size(); ++i)
        others += std::string(i == 0 ? "" : i + 1 == check.alike.size() ? " or " : ", ") +
                  ModelNameForCode(check.alike[i]);
    return std::string("the loader's answers cannot tell ") + ModelNameForCode(chipType) + " from " + others;
}

}  // namespace tessel
