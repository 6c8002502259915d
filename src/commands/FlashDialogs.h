#pragma once
// The dialogs of the flash commands, as models: the sector range dialog of Read, Sector Erase
// and Print, the file dialogs of Download and Compare, the Save dialog, and the password
// dialog of the gate. Their lists come from the session's geometry and memory mode.

#include <string>
#include <vector>

#include "device/SectorLists.h"
#include "files/HexImage.h"
#include "transfer/SaveFlash.h"
#include "platform/Operator.h"

namespace tessel {

class CDeviceSession;

// "Starting From:" and "Range:", under the title of the command that asks (Read, Sector Erase
// and Print each have their own, so that an erase cannot be taken for a read).
inline constexpr const char kReadTitle[] = "Read";
inline constexpr const char kSectorEraseTitle[] = "Sector Erase";
inline constexpr const char kPrintTitle[] = "Print";

class SectorRangeDialog : public DialogModel {
public:
    SectorRangeDialog(const CDeviceSession& session, int preselectedCount = 0, int preselectedStart = 0,
                      const char* title = "");
    const char* DialogName() const override { return "SectorRangeDialog"; }
    const char* Title() const { return title_; }
    static constexpr const char* kStartLabel = "Starting From:";
    static constexpr const char* kCountLabel = "Range:";

    std::vector<std::string> sectors;
    std::vector<std::string> counts;
    int startIndex = 0;
    int countIndex = 0;
    // A front end that lets nothing be chosen outside the lists never sees a refusal.
    OkOutcome PressOk() override;

private:
    const char* title_;
};

// "Download Hex or Binary File into Flash Memory" and "Compare Hex or Binary File with Flash
// Memory": a file name and the starting sector. An empty name is refused here (said through
// `op` when given); a file that cannot be used is refused by the command before its question
// and before anything on the chip changes.
class FileSectorDialog : public DialogModel {
public:
    // UpgradeBsl: the download dialog of the boot loader upgrade, whose list holds only the
    // sectors a new loader may start at (block 1's loader area); startIndex counts within
    // block 1 there.
    enum class Kind { Download, Compare, UpgradeBsl };
    FileSectorDialog(const CDeviceSession& session, Kind kind, Operator* op = nullptr);
    static constexpr const char* kNoFileName = "Please enter the name of the file.";
    const char* DialogName() const override {
        return kind == Kind::Compare ? "CompareDialog" : "DownloadDialog";
    }
    static constexpr const char* kDownloadTitle = "Download Hex or Binary File into Flash Memory";
    static constexpr const char* kCompareTitle = "Compare Hex or Binary File with Flash Memory";
    static constexpr const char* kFileLabel = "File Name";
    static constexpr const char* kStartLabel = "Starting Sector";
    const char* Title() const { return kind == Kind::Compare ? kCompareTitle : kDownloadTitle; }

    Kind kind;
    std::string fileName;
    ImageFormat format = ImageFormat::Auto;  // the command line's --format
    std::vector<std::string> sectors;
    int startIndex = 0;
    // Download into block 0: rewrite only the sectors whose contents differ from the file.
    // The desktop program's dialog has no such choice; the command line offers it.
    bool changedOnly = false;
    OkOutcome PressOk() override;

private:
    Operator* op_;
};

// "Save Flash Contents into a Disk File". The file's name says its format, as every other
// tool reads it: ".hex" Intel HEX and ".bin" raw bytes (both "Binary File"), ".txt" the dump
// text ("Text File"). OK refuses a name whose extension contradicts the choice.
class SaveDialog : public DialogModel {
public:
    explicit SaveDialog(const CDeviceSession& session, Operator* op = nullptr);
    const char* DialogName() const override { return "SaveDialog"; }
    static constexpr const char* kTitle = "Save Flash Contents into a Disk File";

    std::string fileName;
    std::vector<std::string> sectors;
    std::vector<std::string> counts;
    int startIndex = 0;
    int countIndex = 0;
    int textMode = 1;  // 0 "Binary File", 1 "Text File"
    OkOutcome PressOk() override;

private:
    Operator* op_;
};

// How a completion message names a save's format: "Intel HEX", "binary" or "dump text".
const char* SaveFormatName(SaveFormat format);

// "Password Verify": one masked field, empty when the dialog opens.
class PasswordVerifyDialog : public DialogModel {
public:
    PasswordVerifyDialog() = default;
    PasswordVerifyDialog(const PasswordVerifyDialog&) = delete;
    PasswordVerifyDialog& operator=(const PasswordVerifyDialog&) = delete;
    // The text is wiped, so that a password does not linger in freed memory.
    ~PasswordVerifyDialog() override;
    const char* DialogName() const override { return "PasswordVerifyDialog"; }
    static constexpr const char* kTitle = "Password Verify";
    static constexpr const char* kPrompt =
        "Please enter your password, if you have not set password, then leave it blank and click OK.";

    std::string password;
    // Longer than the loader keeps: the field allows no more, so OK is refused.
    OkOutcome PressOk() override;
};

// Overwrites a string's characters before it is released.
void WipeString(std::string& s);

}  // namespace tessel
