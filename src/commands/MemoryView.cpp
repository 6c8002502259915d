#include "commands/MemoryView.h"

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
    // One character per byte, zeros included: a column that ended at the first 00h would
    // hide the bytes the chip holds after it.
    std::string text;
    for (uint8_t b : bytes) text.push_back(b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.');
    return text;
}

MemoryView::MemoryView(CDeviceSession& session, Operator& op) : session_(session), op_(op) {}

void MemoryView::Changed() {
    if (onChanged_) onChanged_();
}

int MemoryView::SlotSectors(int block) const {
    return block == 0 || block == 1 ? session_.SectorCount(block) : kExternalWindowSectors;
}

std::vector<SectorState>& MemoryView::States(int block) {
    Knowledge& k = known_[static_cast<size_t>(block == 0 || block == 1 ? block : 2)];
    const bool high = block != 0 && block != 1 && session_.externalHighOpen;
    const size_t sectors = static_cast<size_t>(std::max(SlotSectors(block), 0));
    if (k.generation != session_.imageGeneration || k.high != high || k.states.size() != sectors)
        k = {session_.imageGeneration, high, std::vector<SectorState>(sectors, SectorState::NotRead)};
    return k.states;
}

const std::vector<SectorState>* MemoryView::CurrentStates(int block) const {
    const Knowledge& k = known_[static_cast<size_t>(block == 0 || block == 1 ? block : 2)];
    const bool high = block != 0 && block != 1 && session_.externalHighOpen;
    if (k.generation != session_.imageGeneration || k.high != high ||
        static_cast<int>(k.states.size()) != SlotSectors(block))
        return nullptr;
    return &k.states;
}

SectorState MemoryView::State(int block, int sector) const {
    const auto* states = CurrentStates(block);
    if (!states || sector < 0 || sector >= static_cast<int>(states->size())) return SectorState::NotRead;
    return (*states)[static_cast<size_t>(sector)];
}

void MemoryView::Record(int block, int first, int count, SectorState state) {
    auto& states = States(block);
    for (int i = std::max(first, 0); i < first + count && i < static_cast<int>(states.size()); ++i)
        states[static_cast<size_t>(i)] = state;
}

void MemoryView::Refresh() {
    const int hot = hotItem_;
    if (shownBlock_ == -1) {
        if (!session_.ExternalWindowOpen()) return;
        ShowExternalStatus(-1, -1);
    } else {
        ShowSectorStatus(shownBlock_, -1, -1);
    }
    hotItem_ = hot < static_cast<int>(statusRows_.size()) ? hot : -1;
    if (dumpSector_ >= 0 && dumpBlock_ != -1) ShowSector(dumpBlock_, dumpSector_);
    else if (dumpSector_ >= 0 && session_.ExternalWindowOpen()) ShowExternalSector(dumpSector_);
    else Changed();
}

namespace {
const char* KnownWord(SectorState state, std::span<const uint8_t> bytes, int sector);
}  // namespace

void MemoryView::RecordRead(int block, int sector) {
    Record(block, sector, 1, SectorState::Read);
    if (block != shownBlock_ || sector < 0 || sector >= static_cast<int>(statusRows_.size())) return;
    const size_t size = static_cast<size_t>(session_.SectorSize(block));
    const auto bytes = SectorBytes(session_.BlockImage(block), static_cast<size_t>(sector) * size, size);
    statusRows_[static_cast<size_t>(sector)][4] = KnownWord(SectorState::Read, bytes, sector);
    if (onRowsChanged_) onRowsChanged_();
    else Changed();
}

void MemoryView::ClearMarks() {
    if (marked_.empty()) return;
    marked_.clear();
    Refresh();
}

namespace {
const char* KnownWord(SectorState state, std::span<const uint8_t> bytes, int sector) {
    switch (state) {
        case SectorState::NotRead: return kNotReadStatus;
        case SectorState::ChangedNotRead: return kChangedNotReadStatus;
        case SectorState::Read:
        case SectorState::Written: break;
    }
    // Zeros known to be on the chip are real zeros.
    return SectorStatusWord(bytes, sector, sector, 1);
}
}  // namespace

void MemoryView::ShowSectorStatus(int block, int count, int first) {
    statusRows_.clear();
    const int sectors = session_.SectorCount(block);
    const int size = session_.SectorSize(block);
    const auto image = session_.BlockImage(block);
    const bool known = block == 0 || block == 1;
    if (known && count > 0) {
        auto& states = States(block);
        for (int i = std::max(first, 0); i < first + count && i < static_cast<int>(states.size()); ++i)
            states[static_cast<size_t>(i)] = SectorState::Read;
    }
    for (int i = 0; i < sectors; ++i) {
        const int start = session_.StartAddress(block) + i * size;
        const int end = start + size - 1;
        const auto bytes = SectorBytes(image, static_cast<size_t>(i) * static_cast<size_t>(size),
                                       static_cast<size_t>(size));
        const char* word = bytes.empty() || !known ? SectorStatusWord(bytes, i, first, count)
                                                   : KnownWord(State(block, i), bytes, i);
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
    if (count > 0) {
        auto& states = States(-1);
        for (int i = std::max(first, 0); i < first + count && i < kExternalWindowSectors; ++i)
            states[static_cast<size_t>(i)] = SectorState::Read;
    }
    for (int r = 0; r < kExternalWindowSectors; ++r) {
        const int n = r + offset;
        const int start = n * kExternalSectorSize;
        const int end = start + kExternalSectorSize - 1;
        const auto bytes =
            SectorBytes(image, static_cast<size_t>(r) * kExternalSectorSize, kExternalSectorSize);
        // Sector and range are counted within the window, so the status looks at r.
        const char* word = bytes.empty() ? SectorStatusWord(bytes, r, first, count) : KnownWord(State(-1, r), bytes, r);
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

void MemoryView::AppendSector(std::span<const uint8_t> bytes, uint32_t address, bool wide, SectorState state,
                              uint32_t size, int sector) {
    if (bytes.empty()) return;
    const char* label = wide ? "%05X - %05X" : "%04X - %04X";
    if (state == SectorState::NotRead || state == SectorState::ChangedNotRead) {
        // No bytes are known: the dump says so over the sector's addresses.
        dumpRows_.push_back({Format(label, address, address + size - 1),
                             state == SectorState::NotRead ? kNotReadStatus : kChangedNotReadStatus, ""});
        dumpMarks_.push_back(0);
        dumpRowSector_.push_back(sector);
        dumpRowAddress_.push_back(address);
        return;
    }
    for (uint32_t k = 0; k + kDumpBytesPerRow <= bytes.size(); k += kDumpBytesPerRow) {
        const auto row = bytes.subspan(k, kDumpBytesPerRow);
        const unsigned a = address + k;
        std::string hex = Format("%02X %02X %02X %02X %02X %02X %02X %02X - ", row[0], row[1],
                                 row[2], row[3], row[4], row[5], row[6], row[7]);
        hex += Format("%02X %02X %02X %02X %02X %02X %02X %02X", row[8], row[9], row[10],
                      row[11], row[12], row[13], row[14], row[15]);
        dumpRows_.push_back({Format(label, a, a + 15), std::move(hex), DumpAscii(row)});
        uint16_t mask = 0;
        if (markBlock_ == dumpBlock_)
            for (auto it = std::lower_bound(marked_.begin(), marked_.end(), a); it != marked_.end() && *it < a + 16; ++it)
                mask = static_cast<uint16_t>(mask | 1u << (*it - a));
        dumpMarks_.push_back(mask);
        dumpRowSector_.push_back(sector);
        dumpRowAddress_.push_back(a);
    }
}

void MemoryView::FillDump(int block, int sector) {
    dumpRows_.clear();
    dumpMarks_.clear();
    dumpRowSector_.clear();
    dumpRowAddress_.clear();
    focusRow_ = 0;
    const bool window = block == -1;
    const bool high = window && session_.externalHighOpen;
    const int sectors = window ? kExternalWindowSectors : session_.SectorCount(block);
    const uint32_t size = static_cast<uint32_t>(window ? kExternalSectorSize : session_.SectorSize(block));
    const auto image = window ? session_.ExternalImage() : session_.BlockImage(block);
    for (int i = wholeBlock_ ? 0 : sector; i < (wholeBlock_ ? sectors : sector + 1); ++i) {
        if (i == sector) focusRow_ = static_cast<int>(dumpRows_.size());
        const uint32_t address = window ? static_cast<uint32_t>(i + (high ? kExternalWindowSectors : 0)) * size
                                        : static_cast<uint32_t>(session_.SectorAddress(block, i));
        AppendSector(SectorBytes(image, static_cast<size_t>(i) * size, size), address, high, State(block, i), size, i);
    }
}

void MemoryView::MarkDifferences(int block, std::vector<uint32_t> addresses) {
    std::sort(addresses.begin(), addresses.end());
    markBlock_ = block;
    marked_ = std::move(addresses);
}

void MemoryView::ShowSector(int block, int sector) {
    // The image holds nothing for a sector past the block's end, so the dump keeps what
    // it shows rather than reading beyond the block.
    if (sector < 0 || sector >= session_.SectorCount(block)) return;
    dumpHeader_ = Format("SECTOR %03d", sector);
    dumpBlock_ = block;
    dumpSector_ = sector;
    FillDump(block, sector);
    if (shownBlock_ == block && sector < static_cast<int>(statusRows_.size())) hotItem_ = sector;
    Changed();
}

void MemoryView::ShowExternalSector(int sector) {
    if (sector < 0 || sector >= kExternalWindowSectors) return;
    const bool high = session_.externalHighOpen;
    const int n = sector + (high ? kExternalWindowSectors : 0);
    dumpHeader_ = Format("SECTOR %03d", n);
    dumpBlock_ = -1;
    dumpSector_ = sector;
    FillDump(-1, sector);
    if (shownBlock_ == -1 && sector < static_cast<int>(statusRows_.size())) hotItem_ = sector;
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
        op_.Warn(kIllegalBlockNumber);
        return;
    }
    ShowSector(block, row);
}

std::string MemoryView::GoTo(uint32_t address) {
    const bool window = session_.ExternalWindowOpen();
    const int block = window ? -1 : session_.CurrentBlock();
    if (!window && block != 0 && block != 1) return kIllegalBlockNumber;
    const bool high = window && session_.externalHighOpen;
    const uint32_t size = static_cast<uint32_t>(window ? kExternalSectorSize : session_.SectorSize(block));
    const uint32_t first = window ? (high ? kExternalWindowSectors * size : 0)
                                  : static_cast<uint32_t>(session_.StartAddress(block));
    const uint32_t sectors = static_cast<uint32_t>(window ? kExternalWindowSectors : session_.SectorCount(block));
    if (size == 0 || address < first || address - first >= sectors * size) {
        const char* range = high ? "%05Xh is outside %s (%05Xh-%05Xh)" : "%04Xh is outside %s (%04Xh-%04Xh)";
        const std::string what = window ? (high ? "the external flash's high window" : "the external flash's low window")
                                        : "block " + std::to_string(block);
        char buf[128];
        std::snprintf(buf, sizeof buf, range, address, what.c_str(), first, first + sectors * size - 1);
        return buf;
    }
    const int sector = static_cast<int>((address - first) / size);
    if (window) ShowExternalSector(sector);
    else ShowSector(block, sector);
    // The row that holds the address: the sector's one row when its bytes are not known.
    for (int row = focusRow_; row < static_cast<int>(dumpRowAddress_.size()) &&
                              dumpRowSector_[static_cast<size_t>(row)] == sector &&
                              dumpRowAddress_[static_cast<size_t>(row)] <= address;
         ++row)
        focusRow_ = row;
    Changed();
    return {};
}

void MemoryView::ClickDumpRow(int row) {
    if (!wholeBlock_) {
        ClickRow(row);
        return;
    }
    if (row < 0 || row >= static_cast<int>(dumpRowSector_.size())) return;
    const int sector = dumpRowSector_[static_cast<size_t>(row)];
    // Showing the sector again keeps the rows (the same block) and makes it the hot one; the
    // focus then stays on the row clicked.
    if (dumpBlock_ == -1) ShowExternalSector(sector);
    else ShowSector(dumpBlock_, sector);
    focusRow_ = row;
    Changed();
}

void MemoryView::TabChanged(int tab) {
    session_.SetCurrentBlock(tab == 1 ? 1 : 0);
    if (session_.ExternalWindowOpen()) {
        op_.Inform(kExternalDataMessage);
        ShowExternalStatus(-1, -1);
        ShowExternalSector(0);
    } else {
        op_.Inform(kInternalDataMessage);
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
