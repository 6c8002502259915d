#include "commands/FlashDialogs.h"

#include <algorithm>
#include <cctype>

#include "device/CDeviceSession.h"
#include "protocol/Password.h"

namespace tessel {

namespace {
bool Within(int index, const std::vector<std::string>& list) {
    return index >= 0 && index < static_cast<int>(list.size());
}
}  // namespace

SectorRangeDialog::SectorRangeDialog(const CDeviceSession& session, int preselectedCount, int preselectedStart,
                                     const char* title)
    : sectors(BuildSectorList(session, SectorListUse::RangeDialog)),
      counts(BuildCountList(session, SectorListUse::RangeDialog)),
      startIndex(preselectedStart),
      countIndex(preselectedCount),
      title_(title ? title : "") {}

OkOutcome SectorRangeDialog::PressOk() {
    return Within(startIndex, sectors) && Within(countIndex, counts) ? OkOutcome::CloseOk : OkOutcome::KeepOpen;
}

FileSectorDialog::FileSectorDialog(const CDeviceSession& session, Kind k, Operator* op)
    : kind(k),
      sectors(BuildSectorList(session, k == Kind::Compare ? SectorListUse::CompareDialog
                                                          : SectorListUse::DownloadDialog)),
      op_(op) {
    if (k == Kind::UpgradeBsl) {
        // A new loader starts inside the old one's area, at or before the loader's entry
        // address, which it must cover: block 1's entries, cut to those.
        const ChipInfo& chip = session.Chip();
        int bslSectors = chip.bslSectorCount;
        if (chip.bslEntryAddress && session.SectorSize(1) > 0)
            bslSectors = std::min(bslSectors, (*chip.bslEntryAddress - chip.bslFirstAddress) / session.SectorSize(1) + 1);
        const auto first = sectors.begin() + std::min<std::ptrdiff_t>(session.SectorCount(0), std::ssize(sectors));
        sectors.erase(sectors.begin(), first);
        if (std::ssize(sectors) > bslSectors) sectors.resize(static_cast<size_t>(std::max(bslSectors, 0)));
    }
}

OkOutcome FileSectorDialog::PressOk() {
    if (fileName.find_first_not_of(" \t") == std::string::npos) {
        if (op_) op_->Warn(kNoFileName);
        return OkOutcome::KeepOpen;
    }
    return Within(startIndex, sectors) ? OkOutcome::CloseOk : OkOutcome::KeepOpen;
}

SaveDialog::SaveDialog(const CDeviceSession& session, Operator* op)
    : sectors(BuildSectorList(session, SectorListUse::SaveDialog)),
      counts(BuildCountList(session, SectorListUse::SaveDialog)),
      op_(op) {}

namespace {
// The extension after the last dot of the file part, lower case; "" when there is none.
std::string Extension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == path.size()) return {};
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}
}  // namespace

OkOutcome SaveDialog::PressOk() {
    if (!Within(startIndex, sectors) || !Within(countIndex, counts) || (textMode != 0 && textMode != 1))
        return OkOutcome::KeepOpen;
    if (fileName.find_first_not_of(" \t") == std::string::npos) {
        if (op_) op_->Warn(FileSectorDialog::kNoFileName);
        return OkOutcome::KeepOpen;
    }
    const std::string ext = Extension(fileName);
    const bool binaryName = ext == "hex" || ext == "bin";
    if ((textMode == 1 && binaryName) || (textMode == 0 && ext == "txt")) {
        if (op_)
            op_->Warn(textMode == 1 ? "A name ending in ." + ext + " is not a text file: choose \"Binary File\" "
                                          "(.hex saves Intel HEX, .bin raw bytes) or a name ending in .txt."
                                    : std::string("A name ending in .txt is a text file: choose \"Text File\", "
                                                  "or a name ending in .hex (Intel HEX) or .bin (raw bytes)."));
        return OkOutcome::KeepOpen;
    }
    return OkOutcome::CloseOk;
}

const char* SaveFormatName(SaveFormat format) {
    switch (format) {
        case SaveFormat::IntelHex: return "Intel HEX";
        case SaveFormat::Binary: return "binary";
        case SaveFormat::Text: return "dump text";
    }
    return "";
}

PasswordVerifyDialog::~PasswordVerifyDialog() { WipeString(password); }

OkOutcome PasswordVerifyDialog::PressOk() {
    return password.size() <= kMaxPasswordLength ? OkOutcome::CloseOk : OkOutcome::KeepOpen;
}

void WipeString(std::string& s) {
    // Through a volatile pointer, so that the stores are not dropped as dead.
    volatile char* p = s.data();
    for (size_t i = 0; i < s.size(); ++i) p[i] = 0;
    s.clear();
}

}  // namespace tessel
