#pragma once
// The status bar's progress bar and its label, as the flash operations drive them. The main
// window implements it; the CLI draws a bar on the terminal; tests record the calls.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessel {

// Why a flash operation stopped, beyond its fixed message: which step, at which target
// address, and what was seen there. Told to the progress before the message; a command's
// result carries it, and each front end renders the same record.
struct Failure {
    std::string step;  // "write", "read back", "verify", "erase", "read", "compare"
    uint32_t address = 0;
    std::string reason;
    // A byte that differed: what the chip holds and what was expected there.
    std::optional<uint8_t> got;
    std::optional<uint8_t> expected;
};

// What a compare that goes on past its first difference found: how many bytes differ, and
// the first few with both values, for a report that says more than "it differs".
struct ByteDifference {
    uint32_t address = 0;
    uint8_t chip = 0;
    uint8_t file = 0;
};
struct CompareDifferences {
    static constexpr size_t kListed = 16;
    size_t count = 0;
    std::vector<ByteDifference> listed;  // the first kListed, in address order
    // The last range compared was read to its end, every byte of it answered.
    bool complete = false;
    void Add(uint32_t address, uint8_t chip, uint8_t file) {
        ++count;
        if (listed.size() < kListed) listed.push_back({address, chip, file});
    }
};

class ProgressReporter {
public:
    virtual ~ProgressReporter() = default;
    virtual void setProgressLabel(const std::string& text) = 0;
    // The bar runs from 0 to `upper` steps.
    virtual void setProgressRange(int upper) = 0;
    virtual void stepProgress() = 0;
    // Bar back to position 0.
    virtual void resetProgress() = 0;
    // How many bytes one step stands for (0: the steps are not bytes), told before the label.
    virtual void setProgressStepBytes(uint32_t) {}
    // The bytes the operation covers when its last step is a shorter one (0: steps x step
    // bytes), told after the step bytes.
    virtual void setProgressTotalBytes(uint64_t) {}
    // Told before the operation's failure message and its "Abort" label.
    virtual void reportFailure(const Failure&) {}
};

class NullProgress final : public ProgressReporter {
public:
    void setProgressLabel(const std::string&) override {}
    void setProgressRange(int) override {}
    void stepProgress() override {}
    void resetProgress() override {}
};

}  // namespace tessel
