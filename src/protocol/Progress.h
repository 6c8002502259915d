#pragma once
// The status bar's progress bar and its label, as the flash operations drive them. The main
// window implements it; the CLI draws a bar on the terminal; tests record the calls.

#include <string>

namespace tessel {

class ProgressReporter {
public:
    virtual ~ProgressReporter() = default;
    virtual void setProgressLabel(const std::string& text) = 0;
    // The bar runs from 0 to `upper` steps.
    virtual void setProgressRange(int upper) = 0;
    virtual void stepProgress() = 0;
    // Bar back to position 0.
    virtual void resetProgress() = 0;
};

class NullProgress final : public ProgressReporter {
public:
    void setProgressLabel(const std::string&) override {}
    void setProgressRange(int) override {}
    void stepProgress() override {}
    void resetProgress() override {}
};

}  // namespace tessel
