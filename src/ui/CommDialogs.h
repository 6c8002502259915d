#pragma once
// The two communication set-up dialogs and the chip-type dialog, as models: their fields,
// lists and button handlers, without any toolkit. OnOK says whether the dialog closes.

#include <string>
#include <vector>

#include "platform/Operator.h"

namespace tessel {

class CDeviceSession;
class ConfigStore;

enum class OkOutcome { KeepOpen, CloseOk, CloseCancel };

// "Select MCU Chip Type and Memory Mode": edits the session's chipType and memoryMode on OK,
// so the dialog's two choices and the session are one state. 0 means "not chosen".
class ChipSelectDialog : public DialogModel {
public:
    explicit ChipSelectDialog(CDeviceSession& session);
    const char* DialogName() const override { return "ChipSelectDialog"; }
    static constexpr const char* kTitle = "Select MCU Chip Type and Memory Mode";

    int chipType = 0;    // 1..6
    int memoryMode = 0;  // 1 internal, 2 external
    // True when both were chosen; the session takes them.
    bool OnOK();

private:
    CDeviceSession& session_;
};

// "RS232 Configuration and  Detect Target MCU".
class CommSetupDialog : public DialogModel {
public:
    CommSetupDialog(CDeviceSession& session, const ConfigStore& store, Operator& op);
    const char* DialogName() const override { return "CommSetupDialog"; }
    static constexpr const char* kTitle = "RS232 Configuration and  Detect Target MCU";

    // The lists: texts and the selected position (-1 none). Extra named ports (device paths,
    // the stand-in board) follow the 256 "COM%d" entries.
    std::vector<std::string> ports;
    int portSelection = -1;
    std::vector<std::string> rates;
    int rateSelection = -1;
    double crystal = 11.0592;
    uint32_t recommendedRate = 38400;
    int32_t reload = 65527;
    std::string reloadText = "FFF7";

    // Fills the lists and the fields on first show.
    void FirstExchange(const std::vector<std::string>& namedPorts = {});
    void OnCompute();
    void OnNextBaud();
    OkOutcome OnOK();
    // The validation of the framework's field exchange: the crystal range.
    bool Validate(std::string* message) const;

private:
    CDeviceSession& session_;
    const ConfigStore& store_;
    Operator& op_;
};

}  // namespace tessel
