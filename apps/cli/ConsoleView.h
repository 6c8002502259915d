#pragma once
// The main window as a terminal shows it: the chip-information fields are kept for the
// summary, the progress bar is drawn on stderr when that is a terminal and reported as
// plain lines otherwise.

#include <map>
#include <string>

#include "protocol/WindowView.h"

namespace tessel::cli {

class ConsoleView : public WindowView {
public:
    ConsoleView();

    void setProgressLabel(const std::string& text) override;
    void setProgressRange(int upper) override;
    void stepProgress() override;
    void resetProgress() override;
    void SetField(ChipField field, const std::string& text) override { fields_[field] = text; }
    std::string Field(ChipField field) const override;
    void setSecurityLine(const std::string& text) override { security_ = text; }
    void resetChipInfo() override;
    void EnableButton(IapButton button, bool enabled) override { buttons_[button] = enabled; }
    bool ButtonEnabled(IapButton button) const override;
    void Refresh() override {}

    const std::string& SecurityLine() const { return security_; }
    // The chip information, the security line and the "IAP Status:" line.
    void PrintSummary() const;

private:
    void Draw();

    bool tty_;
    std::map<ChipField, std::string> fields_;
    std::map<IapButton, bool> buttons_;
    std::string security_ = "SECURITY: UNKNOWN";
    std::string label_;
    int range_ = 0;
    int position_ = 0;
    bool drawn_ = false;
};

}  // namespace tessel::cli
