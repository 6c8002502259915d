#include "files/SaveFlash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/CDeviceSession.h"
#include "files/FlashDump.h"
#include "files/HexImage.h"
#include "platform/Operator.h"

namespace tessel {

SaveFormat SaveFormatFor(const std::string& path, bool textMode) {
    if (textMode) return SaveFormat::Text;
    return IsHexFile(path) ? SaveFormat::IntelHex : SaveFormat::Binary;
}

namespace {

void Show(LinkContext& c, const std::string& text) {
    if (Operator* op = c.session.port.Owner()) op->ShowMessage(text);
}

// Written beside the target and renamed over it, so that the old file survives a failure.
bool WriteReplacing(const std::string& path, const std::string& bytes, std::string* error) {
    const std::string temp = path + ".part";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const int savedErrno = errno;
    if (std::fclose(f) != 0 || !written) {
        *error = path + ": " + std::strerror(written ? errno : savedErrno);
        std::remove(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
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
    if (!WriteReplacing(path, bytes, &error)) {
        Show(c, error);
        return -1;
    }
    return 0;
}

}  // namespace tessel
