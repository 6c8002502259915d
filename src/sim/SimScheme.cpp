#include <map>
#include <mutex>

#include "device/ChipCatalogue.h"
#include "platform/Clock.h"
#include "platform/SerialDevice.h"
#include "sim/SimBoard.h"

namespace tessel::sim {

namespace {

struct Registry {
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
        if (it == Boards().links.end()) it = Boards().links.emplace(name, MakeSimLink(clock, config)).first;
        return std::make_unique<VirtualLineHandle>(it->second.line);
    });
}

std::shared_ptr<Board> FindSimBoard(const std::string& name) {
    std::lock_guard<std::mutex> lock(Boards().mutex);
    auto it = Boards().links.find(name);
    return it == Boards().links.end() ? nullptr : it->second.board;
}

}  // namespace tessel::sim
