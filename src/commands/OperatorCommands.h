#pragma once
// The smaller commands of the main window: editing up to 16 bytes of block 0 in place,
// starting the user's program, the serial cable test and the help boxes.

#include "commands/Actions.h"
#include <array>
#include <cstdint>
#include <string>

#include "platform/Operator.h"

namespace tessel {

class Target;

// "Byte Edit in Block 0". Its two buttons talk to the chip while the dialog is open.
class ByteEditDialog : public DialogModel {
public:
    ByteEditDialog(Target& target, std::string backupDir);
    const char* DialogName() const override { return "ByteEditDialog"; }
    static constexpr const char* kTitle = "Byte Edit in Block 0";
    static constexpr const char* kNote =
        "After returning to Main Menu, please Read the sector(s) in which data was altered.";
    static constexpr const char* kAddressLabel = "Enter Memory Location in Hex (4-digit Only, e.g. 03E6)";
    static constexpr const char* kShownLabel = "Display Hex data (up to 16 bytes) at above address";
    static constexpr const char* kNewLabel =
        "Enter new data in Hex (up to 16 bytes)\nseparated by a blank, e.g. 72 4F 5D\n"
        "Fewer bytes modify only the first bytes shown.";
    static constexpr size_t kAddressChars = 4, kDataChars = 48;

    // "&Display Data": reads up to 16 bytes at the address into the shown-data text. False
    // (after saying why) for an address that is malformed or outside block 0.
    bool OnDisplayData();
    // "&Replace Data": checks the new-data text and rewrites the sector(s) it falls into.
    bool OnReplaceData();

    std::string addressText;
    std::string shownData;
    std::string newData;
    uint32_t address = 0;
    std::array<uint8_t, 16> parsed{};
    // Set once Replace Data has sent its first erase: from then on block 0 may differ.
    bool chipChanged = false;
    // What the replacements wrote and read back, for the command's result line:
    // "3 bytes at 03E6h, 1 byte at 0100h".
    std::string written;

private:
    // The typed bytes into `parsed`, each two hex digits with a blank between: how many, or 0
    // when the text is refused (it has said why).
    size_t ParseNewData();
    bool ReadBytes(uint32_t at, uint8_t* out, uint32_t n, bool exact = false);
    bool RewriteSector(uint32_t sector, const uint8_t* bytes, bool second);
    void ShowBytes(const uint8_t* bytes, uint32_t n);

    Target& w_;
    std::string backupDir_;
};

// The end of block 0 for a chip type: addresses below it may be edited.
uint32_t Block0Limit(int chipType);

// The window's entries for "&Edit data in Block 0" (32792), "&Execute User Code (Fw: v1.1F)" (1029),
// "Dnload/Run UserCode" (1074) and the serial cable test (32812).
// `backupDir` is where Replace Data saves the sectors it is about to erase ("" for the user's
// state folder).
Actions OperatorActions(Target& target, std::string backupDir = {});

}  // namespace tessel
