#pragma once
// A main window for tests: keeps the fields, the buttons and the progress calls.

#include <map>
#include <string>

#include "protocol/WindowView.h"
#include "support/RecordingProgress.h"

namespace tessel::test {

class RecordingView : public WindowView {
public:
    void setProgressLabel(const std::string& t) override { progress.setProgressLabel(t); }
    void setProgressRange(int n) override { progress.setProgressRange(n); }
    void stepProgress() override { progress.stepProgress(); }
    void resetProgress() override { progress.resetProgress(); }
    void SetField(ChipField f, const std::string& t) override { fields[f] = t; }
    std::string Field(ChipField f) const override {
        auto it = fields.find(f);
        return it == fields.end() ? "" : it->second;
    }
    void setSecurityLine(const std::string& t) override { security = t; }
    void resetChipInfo() override {
        fields.clear();
        security = "SECURITY : UNKNOWN";
    }
    void EnableButton(IapButton b, bool on) override { buttons[b] = on; }
    bool ButtonEnabled(IapButton b) const override {
        auto it = buttons.find(b);
        return it != buttons.end() && it->second;
    }
    void Refresh() override {}

    std::map<ChipField, std::string> fields;
    std::map<IapButton, bool> buttons;
    std::string security = "SECURITY: UNKNOWN";
    RecordingProgress progress;
};

}  // namespace tessel::test
