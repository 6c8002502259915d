#include "transfer/SaveFlash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/CDeviceSession.h"
#include "files/FlashDump.h"
#include "files/HexImage.h"
#include "platform/SafeFile.h"
#include "platform/Operator.h"

namespace tessel {

SaveFormat SaveFormatFor(const std::string& path, bool textMode) {
    if (textMode) return SaveFormat::Text;
    return IsHexFile(path) ? SaveFormat::IntelHex : SaveFormat::Binary;
}

namespace {

void Show(LinkContext& c, const std::string& text) {
    if (Operator* op = c.session.port.Owner()) op->Fail(text);
}

}  // namespace

int saveFlashToFile(LinkContext& c, const std::string& path, uint32_t start, uint32_t count,
                    uint32_t sectorSize, SaveFormat format, bool highWindow) {
    std::vector<uint8_t> buf(count + 128, 0xFF);
    if (ReadFlash(c, buf.data(), start, count, sectorSize) < count) return -1;
    buf.resize(count);
    std::string bytes;
    switch (format) {
        case SaveFormat::Binary: bytes.assign(buf.begin(), buf.end()); break;
        case SaveFormat::Text: bytes = FormatSaveText(buf, start, highWindow); break;
        case SaveFormat::IntelHex: bytes = FormatIntelHex(buf, 0); break;
    }
    std::string error;
    // Written beside the target and renamed over it, so that the old file survives a failure;
    // a file the user already has keeps who may read it.
    if (!WriteFileSafely(path, bytes, &error, FileMode::KeepExisting)) {
        Show(c, error);
        return -1;
    }
    return 0;
}

}  // namespace tessel
