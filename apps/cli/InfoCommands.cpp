#include <cstdio>
#include <memory>
#include <string>

#include "Commands.h"
#include "device/ChipCatalogue.h"
#include "firmware/Firmware.h"
#include "platform/PortList.h"

namespace tessel::cli {

namespace {

int RunPorts() {
    const auto ports = ListSerialPorts();
    for (const auto& p : ports) std::printf("%s\n", DescribePort(p).c_str());
    std::printf("%-14s  %s\n", "sim[:CHIP[:FIRMWARE]]", "the stand-in board, in-process (e.g. sim:NX31H64D)");
    if (ports.empty()) std::fprintf(stderr, "no serial devices found\n");
    return kExitOk;
}

// Every target image: its size, where it is taken from, whether it is a stand-in; a file
// that was found and refused is named with its size. Status 1 when any was refused.
int RunFirmware(const std::string& dir) {
    SetFirmwareDir(dir);
    std::printf("searched, in order:");
    for (const std::string& f : FirmwareSearchFolders()) std::printf(" %s", f.c_str());
    std::printf("\n");
    bool refused = false;
    for (size_t i = 0; i < kFirmwareCount; ++i) {
        const ResolvedFirmware& e = ResolveFirmware(kFirmwareImages[i].id);
        std::printf("%-14s %-22s %6zu bytes  %-9s  %s\n", kFirmwareImages[i].name, e.fileName.c_str(),
                    e.image.size, e.standIn ? "stand-in" : "real", e.source.c_str());
        if (!e.refusal.empty()) {
            std::printf("%-14s refused: %s\n", "", e.refusal.c_str());
            refused = true;
        }
    }
    return refused ? kExitFailed : kExitOk;
}

void PrintBlock(const char* name, const BlockGeometry& g) {
    std::printf("  %s  %3d sectors x %3d bytes = %5d bytes at 0x%04X..0x%04X\n", name, g.sectorCount,
                g.sectorSize, g.blockSize, g.startAddress, g.startAddress + g.blockSize - 1);
}

int RunChips() {
    for (const ChipInfo& chip : AllChips()) {
        std::printf("%d %-9s family %-7s flash %s\n", chip.code, chip.model, FamilyName(chip.family),
                    chip.flashSizeText);
        PrintBlock("block 0", chip.block[0]);
        PrintBlock("block 1", chip.block[1]);
        std::printf("  BSL      first %d sectors of block 1, 0x%04X..0x%04X, entry 0x%04X\n",
                    chip.bslSectorCount, chip.bslFirstAddress, chip.bslLastAddress,
                    chip.bslEntryAddress.value_or(0));
        if (chip.family == ChipFamily::HL64D)
            std::printf("  block 1 shares the addresses of block 0's first 8 KB (block select 68h/69h)\n");
        else if (chip.family == ChipFamily::HL32B)
            std::printf("  block select 68h/69h in internal memory mode\n");
    }
    return kExitOk;
}

}  // namespace

void AddInfoCommands(CLI::App& app, RunState& state) {
    app.add_subcommand("ports", "List the serial ports present and the stand-in board")
        ->callback([&state] { state.exitCode = RunPorts(); });
    {
        auto dir = std::make_shared<std::string>();
        CLI::App* cmd = app.add_subcommand("firmware", "The target images: size, where each is taken from, stand-in or not");
        cmd->add_option("--firmware-dir", *dir, "Look here first");
        cmd->callback([&state, dir] { state.exitCode = RunFirmware(*dir); });
    }
    app.add_subcommand("chips", "The supported chips: flash geometry of both blocks, BSL area and entry")
        ->callback([&state] { state.exitCode = RunChips(); });
}

}  // namespace tessel::cli
