#include "device/SectorLists.h"

#include <algorithm>
#include <cstdio>

#include "device/CDeviceSession.h"

namespace tessel {

namespace {

std::string Label(const char* format, int number, uint32_t address) {
    char buf[48];
    std::snprintf(buf, sizeof buf, format, number, static_cast<unsigned>(address));
    return buf;
}

void AddExternalWindow(const CDeviceSession& s, SectorListUse use,
                       std::vector<std::string>& list) {
    // The high window's sectors are numbered on from the low window's, so that the label
    // shows where the sector lies in the whole external flash.
    const int offset = s.externalHighOpen ? kExternalWindowSectors : 0;
    const char* format = (s.externalHighOpen && use == SectorListUse::CompareDialog)
                             ? kWideSectorLabel
                             : kBlock0SectorLabel;
    for (int i = 0; i < kExternalWindowSectors; ++i) {
        const int n = i + offset;
        list.push_back(Label(format, n, static_cast<uint32_t>(n) * kExternalSectorSize));
    }
}

bool ListsBlock1(const CDeviceSession& s, SectorListUse use) {
    if (use != SectorListUse::RangeDialog) return true;
    // Read and Sector Erase set rangeDialogBusy; in internal memory mode every other caller
    // of the range dialog works on block 0 alone.
    return s.memoryMode == kExternalMemory || s.rangeDialogBusy;
}

}  // namespace

std::vector<std::string> BuildSectorList(const CDeviceSession& s, SectorListUse use) {
    std::vector<std::string> list;
    if (s.ExternalWindowOpen()) {
        AddExternalWindow(s, use, list);
        return list;
    }

    const bool listed = use == SectorListUse::DownloadDialog || use == SectorListUse::CompareDialog;
    const int n0 = listed ? s.ListedSectorCount(0) : s.SectorCount(0);
    for (int i = 0; i < n0; ++i) {
        list.push_back(Label(kBlock0SectorLabel, i, static_cast<uint32_t>(i * s.SectorSize(0))));
    }
    if (ListsBlock1(s, use)) {
        const auto base = static_cast<uint32_t>(s.StartAddress(1));
        for (int i = 0; i < s.ListedSectorCount(1); ++i) {
            list.push_back(
                Label(kBlock1SectorLabel, i, base + static_cast<uint32_t>(i * s.SectorSize(1))));
        }
    }
    return list;
}

std::vector<std::string> BuildCountList(const CDeviceSession& s, SectorListUse use) {
    int m = 0;
    switch (use) {
        case SectorListUse::RangeDialog: m = s.SectorCount(0); break;
        case SectorListUse::SaveDialog: m = s.ListedSectorCount(0); break;
        case SectorListUse::DownloadDialog:
        case SectorListUse::CompareDialog: return {};
    }
    if (s.ExternalWindowOpen()) m = kExternalWindowSectors;

    std::vector<std::string> list;
    list.emplace_back(kAllSectorsLabel);
    for (int k = 1; k < m; ++k) {
        char buf[24];
        std::snprintf(buf, sizeof buf, kSectorCountLabel, k);
        list.emplace_back(buf);
    }
    return list;
}

FlashSelection MapFlashSelection(const CDeviceSession& s, int startIndex, int countIndex) {
    const int start = std::max(startIndex, 0);
    const int n0 = s.SectorCount(0);

    FlashSelection sel;
    int32_t address = 0;
    if (start < n0) {
        sel.block = 0;
        address = start * s.SectorSize(0);
    } else {
        sel.block = 1;
        address = (start - n0) * s.SectorSize(1) + s.StartAddress(1);
    }
    sel.address = static_cast<uint32_t>(address);

    const int size = s.SectorSize(sel.block);
    const int blockSectors = s.SectorCount(sel.block);
    sel.firstSector = size > 0 ? (address - s.StartAddress(sel.block)) / size : 0;

    int count = countIndex > 0 ? countIndex : blockSectors;
    if (sel.firstSector + count > blockSectors) count = blockSectors - sel.firstSector;
    sel.count = std::max(count, 0);
    return sel;
}

FlashSelection SelectFlashSectors(const CDeviceSession& s, int block, int firstSector, int count) {
    const int first = std::max(firstSector, 0);
    // Block 1's list entries follow block 0's; the mapping cuts a count at the block's end.
    return MapFlashSelection(s, block == 1 ? s.SectorCount(0) + first : first, std::max(count, 0));
}

ExternalSelection MapExternalSelection(int startIndex, int countIndex, bool cutToWindow) {
    ExternalSelection sel;
    sel.first = std::max(startIndex, 0);
    sel.address = static_cast<uint32_t>(sel.first) * kExternalSectorSize;
    sel.count = countIndex > 0 ? countIndex : kExternalWindowSectors;
    if (cutToWindow && sel.first + sel.count > kExternalWindowSectors) {
        sel.count = std::max(kExternalWindowSectors - sel.first, 0);
    }
    return sel;
}

}  // namespace tessel
