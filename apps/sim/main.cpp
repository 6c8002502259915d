// tessel-sim: one stand-in board served on a pseudo-terminal, or on Windows on a serial port
// (one end of a null-modem pair).

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "device/ChipCatalogue.h"
#include "platform/Console.h"
#include "platform/SafeFile.h"
#include "firmware/Firmware.h"
#include "sim/BoardSequence.h"
#ifdef _WIN32
#include "sim/PortServer.h"
#else
#include "sim/PtyServer.h"
#endif
#include "sim/ReplayBoard.h"
#include "sim/SimBoard.h"

namespace {

std::atomic<bool> gStop{false};
void OnStop(int) { gStop = true; }

#ifdef _WIN32
// No pseudo-terminals: the board answers on the port --port names, whose other end the tool
// opens.
class Server : public tessel::sim::PortServer {
public:
    static inline std::string port;
    static inline uint32_t baud = 38400;
    bool Open(std::string* error) { return PortServer::Open(port, baud, error); }
    const std::string& Path() const { return Port(); }
};
#else
class Server : public tessel::sim::PtyServer {
public:
    const std::string& Path() const { return SlavePath(); }
};
#endif

// The contents of a memory, from the file `option` names: a regular file no larger than the
// memory. A FIFO would hold the start up and /dev/zero would never end.
bool ReadImage(const char* option, const std::string& path, size_t size, std::vector<uint8_t>* out) {
    std::string bytes, error;
    if (!tessel::ReadSmallFile(path, size, &bytes, &error)) {
        std::fprintf(stderr, "tessel-sim: %s %s\n", option, error.c_str());
        return false;
    }
    out->assign(bytes.begin(), bytes.end());
    return true;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::string error;
    if (tessel::WriteFileSafely(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), &error,
                                tessel::FileMode::KeepExisting))
        return true;
    std::fprintf(stderr, "tessel-sim: %s\n", error.c_str());
    return false;
}

// Prints the pseudo-terminal's path, makes the link if asked, and serves `peer` until a
// signal; false when the cable was pulled first.
bool Serve(Server& server, const std::shared_ptr<tessel::LinePeer>& peer, const std::string& link) {
    if (!link.empty()) {
        std::error_code ec;
        std::filesystem::remove(link, ec);
        std::filesystem::create_symlink(server.Path(), link, ec);
        if (ec) std::fprintf(stderr, "tessel-sim: cannot link %s: %s\n", link.c_str(), ec.message().c_str());
    }
    tessel::console::InstallStopHandler(OnStop, false);
    std::printf("%s\n", server.Path().c_str());
    std::fflush(stdout);
    const bool served = server.Serve(peer, gStop);
    if (!link.empty()) {
        std::error_code ec;
        std::filesystem::remove(link, ec);
    }
    return served;
}

// A board that answers as a recorded one did. Exits 1 when the host left the trace.
int ServeReplay(const std::string& path, const std::string& link) {
    std::vector<tessel::sim::TraceRecord> records;
    std::string error;
    if (!tessel::sim::ReadWireTrace(path, &records, &error)) {
        std::fprintf(stderr, "tessel-sim: --replay %s\n", error.c_str());
        return 2;
    }
    auto board = std::make_shared<tessel::sim::ReplayBoard>(std::move(records));
    board->SetReporter([](const std::string& text) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    });
    Server server;
    if (!server.Open(&error)) {
        std::fprintf(stderr, "tessel-sim: %s\n", error.c_str());
        return 1;
    }
    Serve(server, board, link);
    return board->Diverged() ? 1 : 0;
}

// What the command line asks of the board, bound to its options.
struct SimOptions {
    std::string chip = "NX31A32", firmware = "1.1F", mode = "internal", password, link;
    std::string block0, block1, external, save0, save1, saveExt;
    double crystal = 11.0592;
    unsigned security = 0;
    bool loopBack = false, highHalf = false;
    std::string adapter = "native";
    uint32_t latencyMs = 0;
    std::string firmwareDir;
    tessel::sim::BoardConfig config;
    tessel::sim::Faults faults;
    int boards = 0;
    int faultBoard = 0;
    std::string replay;
};

// The options, bound to `o`; the --replay option, which the board's own options exclude.
CLI::Option* AddOptions(CLI::App& app, SimOptions& o) {
    using namespace tessel;
    app.add_option("--chip", o.chip, "Chip model (NX31A16, NX31A32, NX31H64D, NX31L64D, NX31H32B, NX31L32B)");
    app.add_option("--firmware", o.firmware, "Loader firmware: 1.1F, 1.1E (NX31A16/A32 only) or monitor");
    app.add_option("--crystal", o.crystal, "Crystal frequency in MHz");
    app.add_option("--mode", o.mode, "Memory mode the board starts in: internal or external");
    app.add_option("--block0", o.block0, "Initial contents of block 0 (binary file)");
    app.add_option("--block1", o.block1, "Initial contents of block 1 (binary file)");
    app.add_option("--external", o.external, "Initial contents of the 128 KB external flash");
    app.add_option("--security", o.security, "Security bits already programmed (status bits 7:5, e.g. 0x80)");
    app.add_option("--password", o.password, "The loader password the board holds (a stand-in target's setting)");
    app.add_flag("--loopback", o.loopBack, "No MCU: echo every byte, as the cable test expects");
    app.add_flag("--external-high", o.highHalf, "The demonstration board's A16 switch on the high half");
    // A recorded board answers only as it did: every fault and board option is refused with --replay.
    std::vector<CLI::Option*> boardOnly = {
        app.add_option("--silent-from", o.faults.silentFromByte, "Fault: answer nothing from the Nth byte received"),
        app.add_option("--drop-after", o.faults.dropAfterBytes, "Fault: the link dies after N bytes"),
        app.add_option("--corrupt-reply", o.faults.corruptReplyByte, "Fault: invert the kth byte sent"),
        app.add_option("--reply-delay", o.faults.replyDelayMs, "Fault: delay every reply by D ms"),
        app.add_option("--refuse", o.faults.refuseCommand, "Fault: never acknowledge this command code"),
        app.add_flag("--stop-prompts", o.faults.stopPrompts, "Fault: a 1.1E loader does not prompt"),
        app.add_option("--version-letter", o.faults.versionLetter,
                       "Fault: a 1.1F loader gives this byte (a number) instead of 46h for its version letter"),
        app.add_option("--prompt-before-read", o.faults.promptBeforeRead,
                       "Fault: a 1.1E loader puts an idle prompt in front of its Nth read reply"),
        app.add_option("--unplug-after", o.faults.unplugAfterBytes,
                       "Fault: pull the cable after N bytes have gone to the board"),
    };
    app.add_option("--adapter", o.adapter,
                   "USB-serial adapter between the tool and the board: " + AdapterKindList() + " (none)");
    app.add_option("--latency-ms", o.latencyMs,
                   "The adapter's latency timer (ftdi, default 16) or receive timeout (cp210x, default 1) in ms");
    app.add_option("--max-baud", o.config.maxBaud,
                   "The fastest rate the 1.1F loader's auto-baud can follow; faster ones go unanswered");
    app.add_option("--firmware-dir", o.firmwareDir,
                   "The target images the board knows are looked up here first, as the tool does");
    app.add_option("--link", o.link, "Also make a symbolic link at PATH to the device");
#ifdef _WIN32
    app.add_option("--port", Server::port, "The port to answer on: pipe:NAME (a named pipe the tool opens as --port pipe:NAME), or one end of a null-modem pair (COMn)")->required();
    app.add_option("--baud", Server::baud, "The rate of that port (the tool's end must use the same)");
#endif
    app.add_option("--save-block0", o.save0, "Write block 0 to this file at exit");
    app.add_option("--save-block1", o.save1, "Write block 1 to this file at exit");
    app.add_option("--save-external", o.saveExt, "Write the external flash to this file at exit");
    CLI::Option* boardsOption =
        app.add_option("--boards", o.boards,
                       "Present N boards one after the other: a board the tool is done with (its user code "
                       "started, or the line quiet for a second after a command) is taken away, and after a "
                       "second without a board a fresh one appears, its block 0 erased or as --block0 gives it; "
                       "--save-block0 F "
                       "writes board k's block 0 to F.k")
            ->check(CLI::Range(1, 100000));
    boardOnly.push_back(boardsOption);
    boardOnly.push_back(app.add_option("--fault-board", o.faultBoard,
                                       "With --boards N: only board K (1 to N) has the faults asked for")
                            ->needs(boardsOption)
                            ->check(CLI::Range(1, 100000)));
    CLI::Option* replayOption =
        app.add_option("--replay", o.replay,
                       "Answer as the board recorded in this --trace-wire file did (no fault or board option "
                       "goes with it, and the chip, memory and adapter options do not apply); reports where "
                       "the host leaves the trace")
            ->option_text("TRACE");
    for (CLI::Option* option : boardOnly) replayOption->excludes(option);
    return replayOption;
}

// The board the options describe, its images loaded; nullptr, after saying why, when one of
// them is refused (exit 2).
std::shared_ptr<tessel::sim::Board> MakeBoard(SimOptions& o, tessel::AdapterProfile* profile) {
    using namespace tessel;
    const auto code = ChipCodeForModel(o.chip);
    if (!code) {
        std::fprintf(stderr, "tessel-sim: unknown chip '%s'\n", o.chip.c_str());
        return nullptr;
    }
    o.config.chipType = *code;
    if (o.firmware == "1.1F") o.config.firmware = sim::Firmware::F11F;
    else if (o.firmware == "1.1E" && IsTypeA(o.config.chipType)) o.config.firmware = sim::Firmware::F11E;
    else if (o.firmware == "monitor") o.config.firmware = sim::Firmware::Monitor;
    else {
        std::fprintf(stderr, "tessel-sim: firmware '%s' is not available on %s\n", o.firmware.c_str(), o.chip.c_str());
        return nullptr;
    }
    if (o.mode != "internal" && o.mode != "external") {
        std::fprintf(stderr, "tessel-sim: --mode is internal or external\n");
        return nullptr;
    }
    AdapterKind kind;
    if (!ParseAdapterKind(o.adapter, &kind)) {
        std::fprintf(stderr, "tessel-sim: --adapter is %s\n", AdapterKindList().c_str());
        return nullptr;
    }
    *profile = AdapterProfile::For(kind, o.latencyMs);
    SetFirmwareDir(o.firmwareDir);
    o.config.crystalMHz = o.crystal;
    o.config.startExternal = o.mode == "external";
    o.config.selfResetOnBaudDetect = true;  // a pseudo-terminal has no modem lines
    o.config.loopBack = o.loopBack;
    o.config.externalHighHalf = o.highHalf;
    o.config.securityBits = static_cast<uint8_t>(o.security & 0xE0);
    o.config.password = o.password;
    o.config.faults = o.faults;
    auto board = std::make_shared<sim::Board>(o.config);
    for (auto [option, path, block] : {std::tuple{"--block0", o.block0, 0}, std::tuple{"--block1", o.block1, 1}}) {
        if (path.empty()) continue;
        std::vector<uint8_t> data;
        if (!ReadImage(option, path, board->Block(block).size(), &data)) return nullptr;
        board->SetBlock(block, data);
    }
    if (!o.external.empty()) {
        std::vector<uint8_t> data;
        if (!ReadImage("--external", o.external, board->External().size(), &data)) return nullptr;
        board->SetExternal(data);
    }
    return board;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tessel;
#ifdef _WIN32
    CLI::App app{"tessel-sim: a stand-in Norvik51 board on a serial port (one end of a null-modem pair). "
                 "Prints the port, then serves until interrupted (Ctrl-C)."};
#else
    CLI::App app{"tessel-sim: a stand-in Norvik51 board on a pseudo-terminal. Prints the device "
                 "path, then serves until interrupted."};
#endif
    app.set_version_flag("--version", std::string("tessel-sim ") + TESSEL_VERSION);
    // Usage lines name the program, not the path it was started from: the man page shows them.
    app.name("tessel-sim");
    SimOptions o;
    CLI::Option* replayOption = AddOptions(app, o);
    app.get_formatter()->column_width(30);
    // Every refusal is one line, and status 2 whatever CLI11 would number it, as for any
    // other bad option below.
    app.failure_message(
        [](const CLI::App*, const CLI::Error& e) { return "tessel-sim: " + std::string(e.what()) + "\n"; });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (o.faultBoard > o.boards) {
        std::fprintf(stderr, "tessel-sim: --fault-board must be 1 to %d, the number of --boards\n", o.boards);
        return 2;
    }

    if (replayOption->count() > 0) return ServeReplay(o.replay, o.link);

    AdapterProfile profile;
    const std::shared_ptr<sim::Board> board = MakeBoard(o, &profile);
    if (!board) return 2;
    board->SetReporter([](const std::string& text) {
        std::printf("tessel-sim: %s\n", text.c_str());
        std::fflush(stdout);
    });
    Server server;
    server.SetAdapter(profile);
    std::string error;
    if (!server.Open(&error)) {
        std::fprintf(stderr, "tessel-sim: %s\n", error.c_str());
        return 1;
    }
    if (o.boards > 0) {
        bool saved = true;
        auto taken = [&](int k, const sim::Board& b) {
            std::printf("tessel-sim: board %d taken away\n", k);
            std::fflush(stdout);
            if (!o.save0.empty()) saved &= WriteFile(o.save0 + "." + std::to_string(k), b.Block(0));
        };
        auto sequence = std::make_shared<sim::BoardSequence>(o.config, o.boards, o.faultBoard, taken,
                                                             o.block0.empty() ? std::vector<uint8_t>{} : board->Block(0));
        if (!Serve(server, sequence, o.link)) {
            std::printf("tessel-sim: board %d unplugged after %llu bytes\n", sequence->Current(),
                        static_cast<unsigned long long>(o.faults.unplugAfterBytes));
            std::fflush(stdout);
        }
        sequence->End();
        return saved ? 0 : 1;
    }
    if (!Serve(server, board, o.link)) {
        std::printf("tessel-sim: unplugged after %llu bytes\n",
                    static_cast<unsigned long long>(o.faults.unplugAfterBytes));
        std::fflush(stdout);
    }

    bool ok = true;
    if (!o.save0.empty()) ok &= WriteFile(o.save0, board->Block(0));
    if (!o.save1.empty()) ok &= WriteFile(o.save1, board->Block(1));
    if (!o.saveExt.empty()) ok &= WriteFile(o.saveExt, board->External());
    return ok ? 0 : 1;
}
