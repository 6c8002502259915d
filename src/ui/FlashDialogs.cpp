#include "ui/FlashDialogs.h"

#include <algorithm>

#include "device/CDeviceSession.h"
#include "protocol/Password.h"

namespace tessel {

namespace {
bool Within(int index, const std::vector<std::string>& list) {
    return index >= 0 && index < static_cast<int>(list.size());
}
}  // namespace

SectorRangeDialog::SectorRangeDialog(const CDeviceSession& session, int preselectedCount, int preselectedStart)
    : sectors(BuildSectorList(session, SectorListUse::RangeDialog)),
      counts(BuildCountList(session, SectorListUse::RangeDialog)),
      startIndex(preselectedStart),
      countIndex(preselectedCount) {}

OkOutcome SectorRangeDialog::PressOk() {
    return Within(startIndex, sectors) && Within(countIndex, counts) ? OkOutcome::CloseOk : OkOutcome::KeepOpen;
}

FileSectorDialog::FileSectorDialog(const CDeviceSession& session, Kind k)
    : kind(k),
      sectors(BuildSectorList(session, k == Kind::Compare ? SectorListUse::CompareDialog
                                                          : SectorListUse::DownloadDialog)) {
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
    return Within(startIndex, sectors) ? OkOutcome::CloseOk : OkOutcome::KeepOpen;
}

SaveDialog::SaveDialog(const CDeviceSession& session)
    : sectors(BuildSectorList(session, SectorListUse::SaveDialog)),
      counts(BuildCountList(session, SectorListUse::SaveDialog)) {}

OkOutcome SaveDialog::PressOk() {
    return Within(startIndex, sectors) && Within(countIndex, counts) && (textMode == 0 || textMode == 1)
               ? OkOutcome::CloseOk
               : OkOutcome::KeepOpen;
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
