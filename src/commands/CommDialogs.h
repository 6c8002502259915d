#pragma once
// The two communication set-up dialogs and the chip-type dialog, as models: their fields,
// lists and button handlers, without any toolkit. OnOK says whether the dialog closes.

#include <string>
#include <vector>

#include "device/ChipCatalogue.h"
#include "platform/Operator.h"

namespace tessel {

class CDeviceSession;
class ConfigStore;

// "Select MCU Chip Type and Memory Mode": edits the session's chipType and memoryMode on OK,
// so the dialog's two choices and the session are one state. 0 means "not chosen".
class ChipSelectDialog : public DialogModel {
public:
    explicit ChipSelectDialog(CDeviceSession& session);
    const char* DialogName() const override { return "ChipSelectDialog"; }
    static constexpr const char* kTitle = "Select MCU Chip Type and Memory Mode";

    int chipType = 0;    // 1..6
    int memoryMode = 0;  // 1 internal, 2 external
    // True when both were chosen; the session takes them. The dialog closes either way.
    bool OnOK();
    OkOutcome PressOk() override {
        OnOK();
        return OkOutcome::CloseOk;
    }
    // A chip and a memory mode, both: the session takes the two together or neither.
    static bool Complete(int chipType, int memoryMode) {
        return IsKnownChipType(chipType) && (memoryMode == kInternalMemory || memoryMode == kExternalMemory);
    }

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
    // The rates beyond the loader's documented list that the crystal makes closely enough,
    // listed after the documented ones (positions 7 on) and marked as such.
    std::vector<uint32_t> beyondRates;
    double crystal = 11.0592;
    uint32_t recommendedRate = 38400;
    int32_t reload = 65527;
    std::string reloadText = "FFF7";

    // Fills the lists and the fields on first show.
    void FirstExchange(const std::vector<std::string>& namedPorts = {});
    void OnCompute();
    void OnNextBaud();
    OkOutcome OnOK();
    OkOutcome PressOk() override { return OnOK(); }
    // The validation of the framework's field exchange: the crystal range.
    bool Validate(std::string* message) const;
    // The rate of a list position and the position of a rate, beyond-list entries included;
    // as for the documented list, what is not there maps to 38400 and position 0.
    uint32_t RateAt(int position) const;
    int PositionOf(uint32_t rate) const;
    static std::string BeyondListText(uint32_t rate);

private:
    CDeviceSession& session_;
    const ConfigStore& store_;
    Operator& op_;
};

// "Serial Communication (External Memory Mode)": port and rate for a target whose rate is set
// in its own code; it computes a best rate on request but leaves the choice to the operator.
class ExtMemCommDialog : public DialogModel {
public:
    ExtMemCommDialog(CDeviceSession& session, const ConfigStore& store, Operator& op);
    const char* DialogName() const override { return "ExtMemCommDialog"; }
    static constexpr const char* kTitle = "Serial Communication (External Memory Mode)";

    std::vector<std::string> ports;
    int portSelection = -1;
    std::vector<std::string> rates;
    int rateSelection = -1;
    double crystal = 11.0592;
    uint32_t bestRate = 38400;
    int32_t bestReload = 65527;

    void FirstExchange(const std::vector<std::string>& namedPorts = {});
    void OnCompute();
    void OnReplace();
    OkOutcome OnOK();
    OkOutcome PressOk() override { return OnOK(); }
    bool Validate(std::string* message) const;

private:
    CDeviceSession& session_;
    const ConfigStore& store_;
    Operator& op_;
};

// The ports both set-up dialogs offer: "COM1" to "COM256", then the named ones; and the
// position of the session's port in that list.
std::vector<std::string> PortListTexts(const std::vector<std::string>& namedPorts);
int PortPosition(const std::vector<std::string>& ports, const CDeviceSession& session);

}  // namespace tessel
