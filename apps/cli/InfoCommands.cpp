#include <algorithm>
#include <cstring>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "Commands.h"
#include "device/ChipCatalogue.h"
#include "firmware/Firmware.h"
#include "platform/PortList.h"

namespace tessel::cli {

namespace {

std::string Printf(const char* fmt, auto... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// Empty texts are null: the port has no such thing.
nlohmann::json TextOrNull(const std::string& text) { return text.empty() ? nlohmann::json() : nlohmann::json(text); }

int RunPorts(RunState& state) {
    const auto ports = ListSerialPorts();
    std::string text;
    nlohmann::json list = nlohmann::json::array();
    for (const auto& p : ports) {
        text += DescribePort(p) + "\n";
        const size_t colon = p.usbId.find(':');
        const bool usb = colon != std::string::npos;
        list.push_back({{"path", p.name},
                        {"stable_name", TextOrNull(p.byId)},
                        {"driver", TextOrNull(p.driver)},
                        {"vendor_id", usb ? nlohmann::json(p.usbId.substr(0, colon)) : nlohmann::json()},
                        {"product_id", usb ? nlohmann::json(p.usbId.substr(colon + 1)) : nlohmann::json()},
                        {"product", usb ? TextOrNull(p.description) : nlohmann::json()},
                        {"serial_number", TextOrNull(p.serial)}});
    }
    text += Printf("%-14s  %s\n", "sim[:CHIP[:FIRMWARE]]", "the stand-in board, in-process (e.g. sim:NX31H64D)");
    state.events.Output(text);
    if (ports.empty()) state.events.Notice("no serial devices found");
    state.result.fields["ports"] = std::move(list);
    state.result.summary = Printf("%zu serial port%s found", ports.size(), ports.size() == 1 ? "" : "s");
    return kExitOk;
}

// Every target image: its size, where it is taken from, whether it is a stand-in; a file
// that was found and refused is named with its size. Status 1 when any was refused.
int RunFirmware(const std::string& dir, RunState& state) {
    SetFirmwareDir(dir);
    std::string text = "searched, in order:";
    for (const std::string& f : FirmwareSearchFolders()) text += " " + f;
    text += "\n";
    int refused = 0;
    int standIn = 0;
    // The columns as wide as their longest entry, so that a long name shifts no row.
    int nameWidth = 14, fileWidth = 22;
    for (size_t i = 0; i < kFirmwareCount; ++i) {
        nameWidth = std::max(nameWidth, static_cast<int>(std::strlen(kFirmwareImages[i].name)));
        fileWidth = std::max(fileWidth, static_cast<int>(ResolveFirmware(kFirmwareImages[i].id).fileName.size()));
    }
    for (size_t i = 0; i < kFirmwareCount; ++i) {
        const ResolvedFirmware& e = ResolveFirmware(kFirmwareImages[i].id);
        text += Printf("%-*s %-*s %6zu bytes  %-9s  %s\n", nameWidth, kFirmwareImages[i].name, fileWidth,
                       e.fileName.c_str(), e.image.size, e.standIn ? "stand-in" : "real", e.source.c_str());
        if (e.standIn) ++standIn;
        if (!e.refusal.empty()) {
            text += Printf("%-*s refused: %s\n", nameWidth, "", e.refusal.c_str());
            ++refused;
        }
    }
    state.events.Output(text);
    state.result.fields["images"] = kFirmwareCount;
    state.result.fields["refused"] = refused;
    state.result.fields["stand_in"] = standIn;
    state.result.summary = refused ? Printf("%d of %zu target images refused", refused, kFirmwareCount)
                                   : Printf("%zu target images usable, %d of them stand-ins", kFirmwareCount, standIn);
    return refused ? kExitFailed : kExitOk;
}

std::string Block(const char* name, const BlockGeometry& g) {
    return Printf("  %s  %3d sectors x %3d bytes = %5d bytes at 0x%04X..0x%04X\n", name, g.sectorCount, g.sectorSize,
                  g.blockSize, g.startAddress, g.startAddress + g.blockSize - 1);
}

int RunChips(RunState& state) {
    std::string text;
    int n = 0;
    nlohmann::json list = nlohmann::json::array();
    for (const ChipInfo& chip : AllChips()) {
        ++n;
        nlohmann::json blocks = nlohmann::json::array();
        for (const BlockGeometry& g : chip.block)
            blocks.push_back({{"sectors", g.sectorCount},
                              {"sector_size", g.sectorSize},
                              {"size", g.blockSize},
                              {"start", g.startAddress},
                              {"end", g.startAddress + g.blockSize - 1}});
        list.push_back({{"code", chip.code},
                        {"model", chip.model},
                        {"family", FamilyName(chip.family)},
                        {"flash_size", chip.flashSizeText},
                        {"blocks", std::move(blocks)},
                        {"bsl",
                         {{"sectors", chip.bslSectorCount},
                          {"first", chip.bslFirstAddress},
                          {"last", chip.bslLastAddress},
                          {"entry", chip.bslEntryAddress ? nlohmann::json(*chip.bslEntryAddress) : nlohmann::json()}}}});
        text += Printf("%d %-9s family %-7s flash %s\n", chip.code, chip.model, FamilyName(chip.family),
                       chip.flashSizeText);
        text += Block("block 0", chip.block[0]);
        text += Block("block 1", chip.block[1]);
        text += Printf("  BSL      first %d sectors of block 1, 0x%04X..0x%04X, entry 0x%04X\n", chip.bslSectorCount,
                       chip.bslFirstAddress, chip.bslLastAddress, chip.bslEntryAddress.value_or(0));
        if (chip.family == ChipFamily::HL64D)
            text += "  block 1 shares the addresses of block 0's first 8 KB (block select 68h/69h)\n";
        else if (chip.family == ChipFamily::HL32B)
            text += "  block select 68h/69h in internal memory mode\n";
    }
    state.events.Output(text);
    state.result.fields["chips"] = std::move(list);
    state.result.summary = Printf("%d chips supported", n);
    return kExitOk;
}

}  // namespace

void AddInfoCommands(CLI::App& app, RunState& state) {
    CLI::App* ports = app.add_subcommand("ports", "List the serial ports present and the stand-in board");
    AddCommonOptions(ports, state, false);
    ports->callback([&state] {
        state.result.command = "ports";
        state.exitCode = RunPorts(state);
    });
    CLI::App* firmware =
        app.add_subcommand("firmware", "The target images: size, where each is taken from, stand-in or not");
    AddCommonOptions(firmware, state, false);
    firmware->add_option("--firmware-dir", state.connect.firmwareDir, "Look here first");
    firmware->callback([&state] {
        state.result.command = "firmware";
        state.exitCode = RunFirmware(state.connect.firmwareDir, state);
    });
    CLI::App* chips =
        app.add_subcommand("chips", "The supported chips: flash geometry of both blocks, BSL area and entry");
    AddCommonOptions(chips, state, false);
    chips->callback([&state] {
        state.result.command = "chips";
        state.exitCode = RunChips(state);
    });
}

}  // namespace tessel::cli
