#include "device/CDeviceSession.h"

#include <algorithm>

namespace tessel {

namespace {
bool ValidBlock(int block) { return block == 0 || block == 1; }
}  // namespace

CDeviceSession::CDeviceSession(Operator* owner, Clock& clock) : port(owner, clock), owner(owner) {
    RefreshGeometry();
}

CDeviceSession::~CDeviceSession() {
    // Through a volatile pointer, so that the stores are not dropped as dead.
    volatile char* p = gatePassword.data();
    for (size_t i = 0; i < gatePassword.size(); ++i) p[i] = 0;
}

void CDeviceSession::RefreshGeometry() { geometry = LookupChip(chipType).block; }

int32_t CDeviceSession::SectorCount(int block) const {
    return ValidBlock(block) ? geometry[block].sectorCount : 0;
}

int32_t CDeviceSession::SectorSize(int block) const {
    return ValidBlock(block) ? geometry[block].sectorSize : 0;
}

int32_t CDeviceSession::BlockSize(int block) const {
    return ValidBlock(block) ? geometry[block].blockSize : 0;
}

int32_t CDeviceSession::ListedSectorCount(int block) const {
    return ValidBlock(block) ? geometry[block].listedSectorCount : 0;
}

int32_t CDeviceSession::StartAddress(int block) const {
    return ValidBlock(block) ? geometry[block].startAddress : 0;
}

std::span<uint8_t> CDeviceSession::BlockImage(int block) {
    if (!ValidBlock(block)) return {};
    return blockImage[block];
}

std::span<const uint8_t> CDeviceSession::BlockImage(int block) const {
    if (!ValidBlock(block)) return {};
    return blockImage[block];
}

void CDeviceSession::AllocateImages() {
    for (int block = 0; block < 2; ++block) {
        const size_t size = static_cast<size_t>(geometry[block].blockSize > 0
                                                    ? geometry[block].blockSize
                                                    : 0);
        // A fresh vector rather than a resize, so that no byte of an older, larger image
        // survives into the slack.
        std::vector<uint8_t> image(size + kImageSlack, 0x00);
        std::fill(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size), 0xFF);
        blockImage[block] = std::move(image);
    }
    externalImage.assign(kExternalImageSize, 0xFF);
    ++imageGeneration;
}

int32_t CDeviceSession::SectorAddress(int block, int index) const {
    return StartAddress(block) + index * SectorSize(block);
}

int CDeviceSession::CombinedSectorCount() const { return SectorCount(0) + SectorCount(1); }

int CDeviceSession::CombinedSectorIndex(int block, int index) const {
    return block == 1 ? SectorCount(0) + index : index;
}

SectorRef CDeviceSession::SectorFromCombined(int combinedIndex) const {
    if (combinedIndex < SectorCount(0)) return {0, combinedIndex};
    return {1, combinedIndex - SectorCount(0)};
}

bool CDeviceSession::InBslWindow(int block, int32_t address) const {
    return tessel::InBslWindow(Family(), block, address);
}

bool CDeviceSession::NeedsBlockSelect() const {
    return tessel::NeedsBlockSelect(Family(), memoryMode);
}

}  // namespace tessel
