#include "ui/MemoryView.h"

#include <algorithm>
#include <cstdio>

#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "platform/Operator.h"

namespace tessel {

namespace {

constexpr int kDumpBytesPerRow = 16;

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

// The bytes of one sector of an image, or none when the image does not reach that far
// (before the images are allocated).
std::span<const uint8_t> SectorBytes(std::span<const uint8_t> image, size_t offset, size_t size) {
    if (offset + size > image.size()) return {};
    return image.subspan(offset, size);
}

bool AllEqual(std::span<const uint8_t> bytes, uint8_t value) {
    return std::all_of(bytes.begin(), bytes.end(), [value](uint8_t b) { return b == value; });
}

}  // namespace

const char* SectorStatusWord(std::span<const uint8_t> bytes, int sector, int first, int count) {
    if (bytes.empty()) return "Unknown";
    if (AllEqual(bytes, 0xFF)) return "Blank";
    if (AllEqual(bytes, 0x00)) {
        // Zeros that were just read are real; zeros elsewhere may be what the image held
        // before any read, so they tell nothing.
        const bool justRead = sector >= first && sector < first + count;
        return justRead ? "All Zeros" : "Unknown";
    }
    return "Not Blank";
}

std::string DumpAscii(std::span<const uint8_t> bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        if (b == 0x00) break;
        text.push_back(b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.');
    }
    return text;
}

MemoryView::MemoryView(CDeviceSession& session, Operator& op) : session_(session), op_(op) {}

void MemoryView::Changed() {
    if (onChanged_) onChanged_();
}

MemoryView::ReadRange MemoryView::KnownRange(ReadRange& slot, int count, int first, bool high) {
    if (count > 0) slot = {session_.imageGeneration, high, first, count, true};
    else if (count == 0) slot = {};
    if (!slot.valid || slot.generation != session_.imageGeneration || slot.high != high) return {};
    return slot;
}

namespace {
bool InRange(int sector, int first, int count) { return sector >= first && sector < first + count; }
}  // namespace

void MemoryView::ShowSectorStatus(int block, int count, int first) {
    statusRows_.clear();
    const int sectors = session_.SectorCount(block);
    const int size = session_.SectorSize(block);
    const auto image = session_.BlockImage(block);
    ReadRange none;
    const ReadRange known = block == 0 || block == 1 ? KnownRange(read_[static_cast<size_t>(block)], count, first, false)
                                                     : none;
    for (int i = 0; i < sectors; ++i) {
        const int start = session_.StartAddress(block) + i * size;
        const int end = start + size - 1;
        const auto bytes = SectorBytes(image, static_cast<size_t>(i) * static_cast<size_t>(size),
                                       static_cast<size_t>(size));
        const char* word = !bytes.empty() && !InRange(i, known.first, known.count)
                               ? kNotReadStatus
                               : SectorStatusWord(bytes, i, first, count);
        statusRows_.push_back({Format("%03d", i), Format("%04X", start), Format("%04X", end),
                               Format("%05d", start), word});
    }
    shownBlock_ = block;
    hotItem_ = statusRows_.empty() ? -1 : 0;
    Changed();
}

void MemoryView::ShowExternalStatus(int count, int first) {
    statusRows_.clear();
    const bool high = session_.externalHighOpen;
    const int offset = high ? kExternalWindowSectors : 0;
    const auto image = session_.ExternalImage();
    const ReadRange known = KnownRange(read_[2], count, first, high);
    for (int r = 0; r < kExternalWindowSectors; ++r) {
        const int n = r + offset;
        const int start = n * kExternalSectorSize;
        const int end = start + kExternalSectorSize - 1;
        const auto bytes =
            SectorBytes(image, static_cast<size_t>(r) * kExternalSectorSize, kExternalSectorSize);
        // Sector and range are counted within the window, so the status looks at r.
        const char* word = !bytes.empty() && !InRange(r, known.first, known.count)
                               ? kNotReadStatus
                               : SectorStatusWord(bytes, r, first, count);
        if (high) {
            statusRows_.push_back({Format("%03d", n), Format("%05X", start), Format("%05X", end),
                                   Format("%06d", start), word});
        } else {
            statusRows_.push_back({Format("%03d", n), Format("%04X", start), Format("%04X", end),
                                   Format("%05d", start), word});
        }
    }
    shownBlock_ = -1;
    hotItem_ = 0;
    Changed();
}

void MemoryView::FillDump(std::span<const uint8_t> bytes, uint32_t address, int rows, bool wide) {
    dumpRows_.clear();
    if (bytes.empty()) return;
    for (int k = 0; k < rows; ++k) {
        const auto row = bytes.subspan(static_cast<size_t>(k) * kDumpBytesPerRow, kDumpBytesPerRow);
        const unsigned a = address + static_cast<unsigned>(k * kDumpBytesPerRow);
        std::string label = Format(wide ? "%05X - %05X" : "%04X - %04X", a, a + 15);
        std::string hex = Format("%02X %02X %02X %02X %02X %02X %02X %02X - ", row[0], row[1],
                                 row[2], row[3], row[4], row[5], row[6], row[7]);
        hex += Format("%02X %02X %02X %02X %02X %02X %02X %02X", row[8], row[9], row[10],
                      row[11], row[12], row[13], row[14], row[15]);
        dumpRows_.push_back({std::move(label), std::move(hex), DumpAscii(row)});
    }
}

void MemoryView::ShowSector(int block, int sector) {
    // The image holds nothing for a sector past the block's end, so the dump keeps what
    // it shows rather than reading beyond the block.
    if (sector < 0 || sector >= session_.SectorCount(block)) return;
    const int size = session_.SectorSize(block);
    dumpHeader_ = Format("SECTOR %03d", sector);
    const auto bytes = SectorBytes(session_.BlockImage(block),
                                   static_cast<size_t>(sector) * static_cast<size_t>(size),
                                   static_cast<size_t>(size));
    FillDump(bytes, static_cast<uint32_t>(session_.SectorAddress(block, sector)),
             size / kDumpBytesPerRow, false);
    Changed();
}

void MemoryView::ShowExternalSector(int sector) {
    if (sector < 0 || sector >= kExternalWindowSectors) return;
    const bool high = session_.externalHighOpen;
    const int n = sector + (high ? kExternalWindowSectors : 0);
    dumpHeader_ = Format("SECTOR %03d", n);
    const auto bytes = SectorBytes(session_.ExternalImage(),
                                   static_cast<size_t>(sector) * kExternalSectorSize,
                                   kExternalSectorSize);
    FillDump(bytes, static_cast<uint32_t>(n) * kExternalSectorSize,
             kExternalSectorSize / kDumpBytesPerRow, high);
    Changed();
}

void MemoryView::SetHotItem(int row) {
    hotItem_ = row;
    Changed();
}

void MemoryView::ClickRow(int row) {
    if (row < 0) return;
    if (session_.ExternalWindowOpen()) {
        ShowExternalSector(row);
        return;
    }
    const int block = session_.CurrentBlock();
    if (block != 0 && block != 1) {
        op_.ShowMessage(kIllegalBlockNumber);
        return;
    }
    ShowSector(block, row);
}

void MemoryView::TabChanged(int tab) {
    session_.SetCurrentBlock(tab == 1 ? 1 : 0);
    if (session_.ExternalWindowOpen()) {
        op_.ShowMessage(kExternalDataMessage);
        ShowExternalStatus(-1, -1);
        ShowExternalSector(0);
    } else {
        op_.ShowMessage(kInternalDataMessage);
        ShowSectorStatus(session_.CurrentBlock(), -1, -1);
        ShowSector(session_.CurrentBlock(), 0);
    }
}

std::vector<MemoryView::Column> MemoryView::StatusColumns(int clientWidth) {
    const int u = clientWidth / 5;
    return {{"SECTOR", Column::Centre, u},
            {"HEX - FROM", Column::Centre, u},
            {"HEX - TO", Column::Centre, u},
            {"DEC - FROM", Column::Centre, u},
            {" STATUS ", Column::Centre, clientWidth - 4 * u}};
}

std::vector<MemoryView::Column> MemoryView::DumpColumns(int clientWidth) const {
    const int u = clientWidth / 5;
    return {{dumpHeader_, Column::Centre, u},
            {"MEMORY", Column::Centre, 4 * u},
            {"ASCII", Column::Left, 2 * u}};
}

}  // namespace tessel
