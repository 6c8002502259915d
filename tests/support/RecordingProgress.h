#pragma once
// Records the progress bar and its label as the flash operations drive them.

#include <optional>
#include <string>
#include <vector>

#include "protocol/Progress.h"

namespace tessel::test {

class RecordingProgress : public ProgressReporter {
public:
    void setProgressLabel(const std::string& text) override { labels.push_back(text); }
    void setProgressRange(int upper) override { range = upper; }
    void stepProgress() override { ++steps; ++position; }
    void resetProgress() override { position = 0; }
    void reportFailure(const Failure& f) override { failure = f; }

    std::string Last() const { return labels.empty() ? "" : labels.back(); }

    std::vector<std::string> labels;
    int range = -1;
    int steps = 0;
    int position = 0;
    std::optional<Failure> failure;
};

}  // namespace tessel::test
