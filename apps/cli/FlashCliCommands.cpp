#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "Connection.h"
#include "Gang.h"
#include "Interrupt.h"
#include "device/CDeviceSession.h"
#include "device/ChipCatalogue.h"
#include "files/FlashDump.h"
#include "files/HexImage.h"
#include "files/ImageLoaders.h"
#include "files/SafeFile.h"
#include "ui/MemoryView.h"
#include "ui/UpgradeCommands.h"

namespace tessel::cli {

namespace {

struct FlashRun {
    ConnectOptions connect;
    FlashOptions flash;
    bool dump = false;      // read: also print the hex dump
    bool chipErase = false; // erase: the whole chip
    bool verify = false;    // download: compare afterwards
    std::string external;   // "low" or "high": run in that external-flash window
    GangPorts ports;        // the commands that program several boards side by side
};

// Opens the window the options name; false once the reason has been said.
bool EnterWindow(const FlashRun& r, Connection& link) {
    if (r.external.empty()) return true;
    MainDialog& w = link.Window();
    return w.RunCommand(r.external == "high" ? command::kExternalHigh : command::kExternalLow);
}

// The command line opened the window, so it leaves it again without asking.
bool LeaveWindow(const FlashRun& r, Connection& link) {
    if (r.external.empty() || !link.Window().Session().ExternalWindowOpen()) return true;
    const bool assumed = link.Op().assumeYes;
    link.Op().assumeYes = true;
    MainDialog& w = link.Window();
    const bool ok = w.RunCommand(command::kBackToMcu);
    link.Op().assumeYes = assumed;
    return ok;
}

// Detects the target, fills the dialogs from the options and routes the command as the
// window's button would; the exit code says how it went.
int RunOnTarget(FlashRun& r, int commandId, bool rangeCount, void (*after)(FlashRun&, Connection&) = nullptr) {
    const bool upgrade = commandId == command::kUpgradeInternalBsl;
    LoadedImage image;
    image.path = r.flash.file;
    if (commandId == command::kDownload || commandId == command::kCompare || upgrade) {
        // A file that cannot be used is refused before the target is even touched.
        std::string error;
        ImageData data;
        if (ReadImageFile(r.flash.file, &data, &error, ImageFormatFromName(r.flash.format)) != ImageReadStatus::Ok) {
            if (r.connect.lineSink) r.connect.lineSink("tessel: " + error);
            else std::fprintf(stderr, "tessel: %s\n", error.c_str());
            return kExitFailed;
        }
        if (data.DefinedCount() == 0) {
            std::fprintf(stderr, "tessel: %s: the file holds no data\n", r.flash.file.c_str());
            return upgrade ? kExitUsage : kExitFailed;
        }
        image.bytes = std::move(data.bytes);
        image.defined = std::move(data.defined);
    }
    if (!r.external.empty()) {
        // An external-flash window has 16 sectors; say so before anything is opened.
        if (r.flash.startSector >= kExternalWindowSectors) {
            std::fprintf(stderr, "tessel: --start-sector must be below %d in an external-flash window\n",
                         kExternalWindowSectors);
            return kExitUsage;
        }
        if (rangeCount && r.flash.count >= kExternalWindowSectors) {
            std::fprintf(stderr, "tessel: --count must be below %d in an external-flash window\n",
                         kExternalWindowSectors);
            return kExitUsage;
        }
    }
    Connection link(r.connect);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    if (r.external.empty() && !link.UseFlashOptions(r.flash, rangeCount)) return kExitUsage;
    if (!r.external.empty() && !link.UseFlashOptions(r.flash, false)) return kExitUsage;
    // The chip's state decides whether the command may run at all; nothing has been sent
    // since the detection.
    if (const int rc = link.CheckRule(commandId, !r.external.empty()); rc != kExitOk) return rc;
    if (upgrade) {
        CDeviceSession& s = link.Window().Session();
        const uint32_t address = static_cast<uint32_t>(s.SectorAddress(r.flash.block, r.flash.startSector));
        if (const std::string why = CheckNewLoader(s, r.flash.block, address, image); !why.empty()) {
            std::fprintf(stderr, "tessel: %s\n", why.c_str());
            return kExitUsage;
        }
    }
    if (!EnterWindow(r, link)) return kExitFailed;
    MainDialog& w = link.Window();
    bool ok = w.RunCommand(commandId);
    // After a stop only the recovery runs: the window is still left below.
    if (InterruptSignal() != 0) ok = false;
    if (ok && r.verify) {
        // The changed-only download's counts come before the compare replaces its line.
        const std::string downloaded = w.Field(ChipField::IapStatus);
        link.View().EndLine();
        if (r.flash.changedOnly && !downloaded.empty()) link.Print("IAP Status: " + downloaded);
        ok = w.RunCommand(command::kCompare);
    }
    link.View().EndLine();
    if (ok && after) after(r, link);
    const std::string commandStatus = w.Field(ChipField::IapStatus);
    ok = LeaveWindow(r, link) && ok;
    if (!commandStatus.empty()) w.SetIapStatus(commandStatus);
    const std::string status = w.Field(ChipField::IapStatus);
    if (!status.empty()) link.Print("IAP Status: " + status);
    return ok ? kExitOk : kExitFailed;
}

void PrintRead(FlashRun& r, Connection& link) {
    MainDialog& w = link.Window();
    const MemoryView& view = w.Memory();
    const CDeviceSession& s = w.Session();
    const bool window = s.ExternalWindowOpen();
    const int block = s.CurrentBlock();
    const int first = r.flash.startSector;
    const int total = window ? kExternalWindowSectors : s.SectorCount(block);
    const int count = r.flash.count == 0 || first + r.flash.count > total ? total - first : r.flash.count;
    std::printf("%-6s %-10s %-10s %-10s %s\n", "SECTOR", "HEX-FROM", "HEX-TO", "DEC-FROM", "STATUS");
    const auto& rows = view.StatusRows();
    for (int i = first; i < first + count && i < static_cast<int>(rows.size()); ++i)
        std::printf("%-6s %-10s %-10s %-10s %s\n", rows[i][0].c_str(), rows[i][1].c_str(), rows[i][2].c_str(),
                    rows[i][3].c_str(), rows[i][4].c_str());
    if (!r.dump) return;
    const uint32_t size = static_cast<uint32_t>(window ? kExternalSectorSize : s.SectorSize(block));
    const auto image = window ? s.ExternalImage() : s.BlockImage(block);
    const size_t offset = static_cast<size_t>(first) * size;
    const uint32_t address = window ? static_cast<uint32_t>(offset) : static_cast<uint32_t>(s.SectorAddress(block, first));
    const std::string text = FormatSaveText(image.subspan(offset, static_cast<size_t>(count) * size), address,
                                            s.externalHighOpen);
    std::fputs(text.c_str(), stdout);
}

CLI::App* Add(CLI::App& app, const char* name, const char* about, FlashRun& r, bool withCount,
              bool external = false, bool gang = false) {
    CLI::App* cmd = app.add_subcommand(name, about);
    if (gang) AddGangConnectOptions(cmd, r.connect, r.ports);
    else AddConnectOptions(cmd, r.connect);
    AddFlashOptions(cmd, r.flash, withCount);
    if (external)
        cmd->add_option("--external", r.external,
                        "Work on the demonstration board's external flash: its low or high 64 KB window "
                        "(sectors of 4 KB, --start-sector 0 to 15)")
            ->check(CLI::IsMember({"low", "high"}));
    return cmd;
}

// Refuses what download would refuse (a file that is no regular file, too large, bad HEX, or
// without data), and writes HEX that reads back: at most 64 KB, records for the bytes the
// input defines.
int Convert(const std::string& in, const std::string& out, const std::string& format) {
    ImageData image;
    std::string error;
    if (ReadImageFile(in, &image, &error, ImageFormatFromName(format)) != ImageReadStatus::Ok) {
        std::fprintf(stderr, "tessel: %s\n", error.c_str());
        return kExitFailed;
    }
    if (image.DefinedCount() == 0) {
        std::fprintf(stderr, "tessel: %s: the file holds no data\n", in.c_str());
        return kExitFailed;
    }
    if (IsHexFile(out)) {
        if (!WriteIntelHexFile(out, image, &error)) {
            std::fprintf(stderr, "tessel: %s\n", error.c_str());
            return kExitFailed;
        }
        return kExitOk;
    }
    if (!WriteFileSafely(out, std::string_view(reinterpret_cast<const char*>(image.bytes.data()), image.bytes.size()),
                         &error, FileMode::KeepExisting)) {
        std::fprintf(stderr, "tessel: %s\n", error.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

// The command on every board the ports name, each with its own copy of the options.
int RunOnBoards(const std::shared_ptr<FlashRun>& r, int commandId, bool rangeCount, bool changesChip) {
    const std::string change = changesChip ? kEraseAndProgram : "";
    return RunOnPorts(r->connect, r->ports, change, [r, commandId, rangeCount](const ConnectOptions& o) {
        FlashRun board = *r;
        board.connect = o;
        return RunOnTarget(board, commandId, rangeCount);
    });
}

}  // namespace

void AddFlashCommands(CLI::App& app, RunState& state) {
    {
        struct Files {
            std::string in, out, format = "auto";
        };
        auto files = std::make_shared<Files>();
        CLI::App* cmd = app.add_subcommand(
            "convert", "Convert an image: Intel HEX or binary in, Intel HEX (.hex) or binary out");
        cmd->add_option("input", files->in, "Intel HEX or binary file")->required();
        cmd->add_option("output", files->out, "Output file; a name ending in .hex gets Intel HEX")->required();
        cmd->add_option("--format", files->format,
                        "How to take the input: auto (Intel HEX when its first non-blank character is ':', "
                        "else binary), hex or bin")
            ->check(CLI::IsMember({"auto", "hex", "bin"}));
        cmd->callback([files, &state] { state.exitCode = Convert(files->in, files->out, files->format); });
    }
    {
        auto r = std::make_shared<FlashRun>();
        CLI::App* cmd = Add(app, "read", "Read sectors into the memory view and show their status", *r, true, true);
        cmd->add_flag("--dump", r->dump, "Also print the hex dump of the sectors read");
        cmd->callback([r, &state] { state.exitCode = RunOnTarget(*r, command::kRead, true, PrintRead); });
    }
    {
        auto r = std::make_shared<FlashRun>();
        CLI::App* cmd = Add(app, "download",
                            "Erase the sectors a HEX or binary file touches and program it "
                            "(HEX record addresses count from the starting sector)",
                            *r, false, true, true);
        cmd->add_option("file", r->flash.file, "Intel HEX or binary file")->required();
        AddFormatOption(cmd, r->flash);
        cmd->add_flag("--verify", r->verify, "Compare the flash with the file afterwards");
        cmd->add_flag("--changed-only", r->flash.changedOnly,
                      "Read the sectors the file touches first and rewrite only those that differ "
                      "(block 0, internal memory mode)");
        cmd->callback([r, &state] {
            if (r->flash.changedOnly && (r->flash.block != 0 || !r->external.empty() || r->connect.mode != "internal")) {
                std::fprintf(stderr, "tessel: --changed-only works on block 0 in internal memory mode\n");
                state.exitCode = kExitUsage;
                return;
            }
            state.exitCode = RunOnBoards(r, command::kDownload, false, true);
        });
    }
    {
        auto r = std::make_shared<FlashRun>();
        r->external = "low";
        CLI::App* cmd = Add(app, "external-bsl",
                            "Write the demonstration board's own boot loader into the first sector of the "
                            "external flash's low window (the rest of that sector is kept)",
                            *r, false);
        cmd->callback([r, &state] { state.exitCode = RunOnTarget(*r, command::kUpgradeExternalBsl, false); });
    }
    {
        auto r = std::make_shared<FlashRun>();
        r->flash.block = 1;
        CLI::App* cmd = Add(app, "upgrade-bsl",
                            "Replace the internal boot loader (1.1F or later) with a newer one from a HEX or "
                            "binary file, written from --start-sector of --block (default: block 1, sector 0); "
                            "block 0 and the password are kept",
                            *r, false);
        cmd->add_option("file", r->flash.file, "The new boot loader: Intel HEX or binary")->required();
        AddFormatOption(cmd, r->flash);
        cmd->callback([r, &state] { state.exitCode = RunOnTarget(*r, command::kUpgradeInternalBsl, false); });
    }
    {
        auto r = std::make_shared<FlashRun>();
        CLI::App* cmd = Add(app, "compare", "Compare a HEX or binary file with the flash", *r, false, true, true);
        cmd->add_option("file", r->flash.file, "Intel HEX or binary file")->required();
        AddFormatOption(cmd, r->flash);
        cmd->callback([r, &state] { state.exitCode = RunOnBoards(r, command::kCompare, false, false); });
    }
    {
        auto r = std::make_shared<FlashRun>();
        CLI::App* cmd =
            Add(app, "erase", "Erase sectors, or the whole chip with --chip-erase", *r, true, true, true);
        cmd->add_flag("--chip-erase", r->chipErase, "Erase the whole chip (the chip is detected again afterwards)");
        cmd->callback([r, &state] {
            state.exitCode = RunOnBoards(r, r->chipErase ? command::kChipErase : command::kSectorErase, !r->chipErase,
                                         true);
        });
    }
    {
        auto r = std::make_shared<FlashRun>();
        CLI::App* cmd = Add(app, "save",
                            "Save sectors into a file: binary, the hex-dump text with --text, or Intel HEX "
                            "when the name ends in .hex (addresses counted from the first saved sector)",
                            *r, true, true);
        cmd->add_option("file", r->flash.file, "Output file")->required();
        cmd->add_flag("--text", r->flash.text, "Write the hex-dump text");
        cmd->callback([r, &state] { state.exitCode = RunOnTarget(*r, command::kSave, true); });
    }
}

}  // namespace tessel::cli
