#include "firmware/Firmware.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

#include "platform/Paths.h"

// The installed folder, relative to the program's own folder, and where it is when the
// program cannot find itself.
#ifndef TESSEL_FIRMWARE_RELATIVE_DIR
#define TESSEL_FIRMWARE_RELATIVE_DIR "../share/tessel/firmware"
#endif
#ifndef TESSEL_FIRMWARE_DIR
#define TESSEL_FIRMWARE_DIR "/usr/local/share/tessel/firmware"
#endif

namespace tessel {

namespace {

constexpr char kStandInMarker[] = "TESSEL STAND-IN IMAGE";

struct Resolver {
    std::mutex mutex;
    std::string commandLineDir;
    bool resolved = false;
    // Stable addresses: Firmware() hands out references that live until the next set-up.
    std::array<ResolvedFirmware, kFirmwareCount> entries;
    std::array<std::vector<uint8_t>, kFirmwareCount> bytes;
};

Resolver& TheResolver() {
    static Resolver r;
    return r;
}

std::string BaseName(const char* path) { return std::filesystem::path(path).filename().string(); }

std::vector<std::string> FoldersLocked(const Resolver& r) {
    std::vector<std::string> out;
    if (!r.commandLineDir.empty()) out.push_back(r.commandLineDir);
    const std::string data = UserDataDir();
    if (!data.empty()) out.push_back((std::filesystem::path(data) / "firmware").string());
    const std::string program = ProgramDir();
    out.push_back(program.empty()
                      ? std::string(TESSEL_FIRMWARE_DIR)
                      : (std::filesystem::path(program) / TESSEL_FIRMWARE_RELATIVE_DIR).lexically_normal().string());
    return out;
}

void ResolveLocked(Resolver& r) {
    if (r.resolved) return;
    const std::vector<std::string> folders = FoldersLocked(r);
    for (size_t i = 0; i < kFirmwareCount; ++i) {
        const FirmwareImage& built = kFirmwareImages[i];
        ResolvedFirmware e;
        e.image = built;
        e.fileName = BaseName(built.fileName);
        e.source = "built in";
        r.bytes[i].clear();
        for (const std::string& folder : folders) {
            const std::filesystem::path path = std::filesystem::path(folder) / e.fileName;
            std::error_code ec;
            if (!std::filesystem::is_regular_file(path, ec)) continue;
            std::ifstream in(path, std::ios::binary);
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), {});
            if (!in.good() && !in.eof()) {
                e.refusal = path.string() + ": cannot be read";
            } else if (data.size() != built.size) {
                e.refusal = path.string() + " has " + std::to_string(data.size()) + " bytes; " + e.fileName +
                            " must have " + std::to_string(built.size);
            } else {
                r.bytes[i] = std::move(data);
                e.image.data = r.bytes[i].data();
                e.source = path.string();
                e.builtIn = false;
            }
            // The first file found decides, used or refused: a folder further down the
            // list must not quietly stand in for a file the operator meant to be used.
            break;
        }
        e.standIn = IsStandInImage(e.image);
        r.entries[i] = std::move(e);
    }
    r.resolved = true;
}

}  // namespace

const ResolvedFirmware& ResolveFirmware(FirmwareId id) {
    Resolver& r = TheResolver();
    std::lock_guard<std::mutex> lock(r.mutex);
    ResolveLocked(r);
    return r.entries[static_cast<size_t>(id)];
}

const FirmwareImage& Firmware(FirmwareId id) { return ResolveFirmware(id).image; }

std::vector<std::string> FirmwareSearchFolders() {
    Resolver& r = TheResolver();
    std::lock_guard<std::mutex> lock(r.mutex);
    return FoldersLocked(r);
}

void SetFirmwareDir(const std::string& dir) {
    Resolver& r = TheResolver();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::error_code ec;
    r.commandLineDir = dir.empty() ? dir : std::filesystem::absolute(dir, ec).string();
    r.resolved = false;
}

bool IsStandInImage(std::span<const uint8_t> bytes) {
    const size_t n = sizeof kStandInMarker - 1;
    return std::search(bytes.begin(), bytes.end(), kStandInMarker, kStandInMarker + n) != bytes.end();
}

bool IsStandInImage(const FirmwareImage& image) { return IsStandInImage(image.Bytes()); }

namespace {
std::string FolderList() {
    std::string out;
    for (const std::string& f : FirmwareSearchFolders()) out += (out.empty() ? "" : ", ") + f;
    return out;
}
}  // namespace

const char* StandInRefusalHint() { return "is a stand-in that only the stand-in board accepts"; }

std::string StandInRefusal(FirmwareId id) {
    const ResolvedFirmware& e = ResolveFirmware(id);
    const std::string what = e.builtIn ? "the built-in " + e.fileName : e.source;
    return what + " " + StandInRefusalHint() + "; put the real " + e.fileName + " (" +
           std::to_string(e.image.size) + " bytes) in one of: " + FolderList();
}

std::string FirmwareProblem(FirmwareId id) {
    const ResolvedFirmware& e = ResolveFirmware(id);
    return e.refusal.empty() ? std::string() : e.refusal + "; the file was not used";
}

uint32_t FirmwareFingerprint(std::span<const uint8_t> bytes) {
    uint32_t h = 2166136261u;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 16777619u;
    }
    return h;
}

}  // namespace tessel
