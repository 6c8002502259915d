#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

#include "device/ChipCatalogue.h"
#include "platform/Clock.h"
#include "platform/SerialDevice.h"
#include "sim/SimBoard.h"

namespace tessel::sim {

namespace {

// Where the in-process boards keep their flash between runs of the program, when the
// environment names a folder: one file per board and memory, read when the board is made and
// written when the program ends, so that a download in one run is there for a compare in the
// next, as on a real board.
std::string StateFile(const std::string& name, const char* memory) {
    const char* dir = std::getenv("TESSEL_SIM_STATE_DIR");
    if (!dir || !*dir) return {};
    std::string file = name;
    for (char& c : file)
        if (c == ':' || c == '/') c = '_';
    return std::string(dir) + "/" + file + "." + memory;
}

constexpr const char* kMemories[3] = {"block0", "block1", "external"};

void LoadState(const std::string& name, Board& board) {
    for (int m = 0; m < 3; ++m) {
        const std::string path = StateFile(name, kMemories[m]);
        if (path.empty()) return;
        std::ifstream in(path, std::ios::binary);
        if (!in) continue;
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
        if (m < 2) board.SetBlock(m, data);
        else board.SetExternal(data);
    }
}

void SaveState(const std::string& name, const Board& board) {
    for (int m = 0; m < 3; ++m) {
        const std::string path = StateFile(name, kMemories[m]);
        if (path.empty()) return;
        const std::vector<uint8_t> data = m < 2 ? board.Block(m) : board.External();
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
}

struct Registry {
    ~Registry() {
        for (auto& [name, link] : links)
            if (link.board) SaveState(name, *link.board);
    }
    std::mutex mutex;
    std::map<std::string, SimLink> links;
};

Registry& Boards() {
    static Registry r;
    return r;
}

}  // namespace

bool ParseSimName(const std::string& name, BoardConfig* out, std::string* error) {
    if (!IsSchemeName(name, "sim")) {
        if (error) *error = name + ": not a stand-in board name";
        return false;
    }
    BoardConfig config;
    std::string rest = name.size() > 4 ? name.substr(4) : "";
    std::string chip = rest, firmware;
    if (const size_t colon = rest.find(':'); colon != std::string::npos) {
        chip = rest.substr(0, colon);
        firmware = rest.substr(colon + 1);
    }
    if (!chip.empty()) {
        const auto code = ChipCodeForModel(chip);
        if (!code) {
            if (error) *error = name + ": unknown chip '" + chip + "' (NX31A16, NX31A32, NX31H64D, NX31L64D, NX31H32B, NX31L32B)";
            return false;
        }
        config.chipType = *code;
    }
    // A third field names a fault the board starts with, for the tests of the tool's own
    // failure paths.
    if (const size_t colon = firmware.find(':'); colon != std::string::npos) {
        const std::string fault = firmware.substr(colon + 1);
        firmware = firmware.substr(0, colon);
        const auto count = [&](const char* prefix, uint64_t* into) {
            const size_t n = std::strlen(prefix);
            if (fault.compare(0, n, prefix) != 0 || fault.size() == n ||
                fault.find_first_not_of("0123456789", n) != std::string::npos)
                return false;
            *into = std::stoull(fault.substr(n));
            return true;
        };
        if (fault == "upgrade-silent") {
            config.faults.upgradeNeverAnswers = true;
        } else if (!count("silent-from=", &config.faults.silentFromByte)) {
            if (error) *error = name + ": unknown fault '" + fault + "' (upgrade-silent, silent-from=N)";
            return false;
        }
    }
    if (firmware.empty() || firmware == "1.1F" || firmware == "1.1f") {
        config.firmware = Firmware::F11F;
    } else if (firmware == "1.1E" || firmware == "1.1e") {
        if (config.chipType > 2) {
            if (error) *error = name + ": firmware 1.1E exists only on NX31A16 and NX31A32";
            return false;
        }
        config.firmware = Firmware::F11E;
    } else if (firmware == "monitor") {
        config.firmware = Firmware::Monitor;
    } else if (firmware == "loopback") {
        config.loopBack = true;
    } else {
        if (error) *error = name + ": unknown firmware '" + firmware + "' (1.1F, 1.1E, monitor, loopback)";
        return false;
    }
    if (out) *out = config;
    return true;
}

void RegisterSimScheme() {
    RegisterDeviceScheme("sim", [](const std::string& name, Clock& clock,
                                   OpenError* error) -> std::unique_ptr<SerialDevice> {
        BoardConfig config;
        std::string why;
        if (!ParseSimName(name, &config, &why)) {
            if (error) *error = {0, why};
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(Boards().mutex);
        auto it = Boards().links.find(name);
        if (it == Boards().links.end()) {
            it = Boards().links.emplace(name, MakeSimLink(clock, config)).first;
            LoadState(name, *it->second.board);
        }
        return std::make_unique<VirtualLineHandle>(it->second.line);
    });
}

std::shared_ptr<Board> FindSimBoard(const std::string& name) {
    std::lock_guard<std::mutex> lock(Boards().mutex);
    auto it = Boards().links.find(name);
    return it == Boards().links.end() ? nullptr : it->second.board;
}

}  // namespace tessel::sim
