#include "Connection.h"
#include "Interrupt.h"

#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "calc/BaudCalc.h"
#include "device/ChipCatalogue.h"
#include "firmware/Firmware.h"
#include "platform/PortList.h"
#include "protocol/Password.h"
#include "sim/SimBoard.h"
#include "ui/CommDialogs.h"
#include "ui/ConfigCommands.h"
#include "ui/DetectCommands.h"
#include "ui/ExternalCommands.h"
#include "ui/OperatorCommands.h"
#include "ui/FlashCommands.h"
#include "ui/FlashDialogs.h"
#include "ui/PasswordCommands.h"
#include "ui/UpgradeCommands.h"

namespace tessel::cli {

namespace {
// "COM3" names the third entry of the dialogs' port list; anything else is a named port.
int ComNumber(const std::string& port) {
    if (port.size() < 4 || port.compare(0, 3, "COM") != 0) return 0;
    int n = 0;
    for (size_t i = 3; i < port.size(); ++i) {
        if (port[i] < '0' || port[i] > '9' || n > 256) return 0;
        n = n * 10 + (port[i] - '0');
    }
    return n >= 1 && n <= 256 ? n : 0;
}
}  // namespace

void AddConnectOptions(CLI::App* cmd, ConnectOptions& o) {
    cmd->add_option("--port", o.port,
                    "Serial port: a device path (relative ones too), COMn, serial:NUMBER (a USB adapter's serial "
                    "number), or sim[:CHIP[:FIRMWARE]]; default: the one USB serial adapter present");
    cmd->add_option("--chip", o.chip, "Chip model (NX31A16, NX31A32, NX31H64D, NX31L64D, NX31H32B, NX31L32B)");
    cmd->add_option("--mode", o.mode, "Memory mode: internal (EA#=1) or external (EA#=0)");
    cmd->add_option("--baud", o.baud, "Baud rate (default: the best rate for the crystal)");
    cmd->add_option("--crystal", o.crystal, "Target crystal frequency in MHz");
    cmd->add_option("--firmware", o.firmware,
                    "Loader firmware to detect: 1.1F, 1.1E (offers the upgrade to 1.1F) or unknown");
    cmd->add_option("--trace-wire", o.traceWire, "Write every byte on the line, with its time, to FILE");
    cmd->add_option("--firmware-dir", o.firmwareDir,
                    "Look here first for the target images (stubs, loaders, monitor); `tessel firmware` lists them");
    cmd->add_flag("--yes", o.yes, "Answer Yes to every question");
    cmd->add_flag("--verbose", o.verbose, "Show debug traces");
}

Connection::Connection(const ConnectOptions& o) : o_(o), store_(ConfigStore::Discarding()) {
    sim::RegisterSimScheme();
    SetFirmwareDir(o_.firmwareDir);
    op_.assumeYes = o_.yes;
    op_.verbose = o_.verbose;
    op_.fillDialog = [this](DialogModel& m) { return Fill(m); };
    window_ = std::make_unique<MainDialog>(&op_);
    view_ = std::make_unique<ConsoleView>(*window_);
    op_.lineSink = o_.lineSink;
    view_->progressSink = o_.progressSink;
    op_.beforeOutput = [this] { view_->EndLine(); };
    window_->Initialise(store_);
    DetectCommandEnv env;
    env.store = &store_;
    // Read when the dialog opens: a port chosen automatically is known only by then.
    env.namedPorts = [this] {
        return ComNumber(o_.port) ? std::vector<std::string>{} : std::vector<std::string>{o_.port};
    };
    RegisterDetectCommands(*window_, std::move(env));
    RegisterFlashCommands(*window_);
    RegisterConfigCommands(*window_);
    RegisterPasswordCommands(*window_);
    RegisterUpgradeCommands(*window_);
    RegisterExternalCommands(*window_);
    RegisterOperatorCommands(*window_);
    WatchStopRequest(&window_->Session().flags.stop);
}

namespace {
std::atomic<bool> gPortWentAway{false};
}  // namespace

bool PortWentAway() { return gPortWentAway.load(); }
void NotePortWentAway() { gPortWentAway = true; }

Connection::~Connection() {
    if (InterruptSignal() != 0) RecordInterruption(window_->Session().flags.stop);
    WatchStopRequest(nullptr);
    if (window_->Session().port.DeviceGone()) NotePortWentAway();
    view_.reset();
    window_->Shutdown();
}

DialogResult Connection::Fill(DialogModel& model) {
    if (customFill) {
        const DialogResult r = customFill(model);
        if (r == DialogResult::Ok) return r;
    }
    if (auto* chip = dynamic_cast<ChipSelectDialog*>(&model)) {
        chip->chipType = chipType_;
        chip->memoryMode = o_.mode == "internal" ? kInternalMemory : kExternalMemory;
    } else if (auto* setup = dynamic_cast<CommSetupDialog*>(&model)) {
        const int com = ComNumber(o_.port);
        setup->portSelection = com ? com - 1 : static_cast<int>(setup->ports.size()) - 1;
        setup->crystal = o_.crystal;
        setup->OnCompute();
        if (o_.baud) setup->rateSelection = positionForRate(o_.baud);
    } else if (auto* range = dynamic_cast<SectorRangeDialog*>(&model)) {
        if (!flash_) return DialogResult::Cancel;
        range->startIndex = StartIndex();
        range->countIndex = flash_->count;
    } else if (auto* file = dynamic_cast<FileSectorDialog*>(&model)) {
        if (!flash_) return DialogResult::Cancel;
        file->fileName = flash_->file;
        file->format = ImageFormatFromName(flash_->format);
        file->startIndex = file->kind == FileSectorDialog::Kind::UpgradeBsl ? flash_->startSector : StartIndex();
        file->changedOnly = flash_->changedOnly && file->kind == FileSectorDialog::Kind::Download;
    } else if (auto* save = dynamic_cast<SaveDialog*>(&model)) {
        if (!flash_) return DialogResult::Cancel;
        save->fileName = flash_->file;
        save->startIndex = StartIndex();
        save->countIndex = flash_->count;
        save->textMode = flash_->text ? 1 : 0;
    } else if (auto* menu = dynamic_cast<OptionMenuDialog*>(&model)) {
        // The option was checked against the detected chip's menu before the command ran.
        if (menuOption_ < 0 || !menu->ChooseOption(menuOption_)) return DialogResult::Cancel;
    } else if (dynamic_cast<PasswordVerifyDialog*>(&model)) {
        return FillPassword(model);
    } else if (auto* change = dynamic_cast<PasswordChangeDialog*>(&model)) {
        return FillPasswordChange(*change);
    } else if (auto* set = dynamic_cast<PasswordSetDialog*>(&model)) {
        return FillPasswordSet(*set);
    } else {
        return DialogResult::Cancel;
    }
    // A dialog that stays open has said why; at a terminal nobody can edit it further.
    return model.PressOk() == OkOutcome::CloseOk ? DialogResult::Ok : DialogResult::Cancel;
}

void AddFlashOptions(CLI::App* cmd, FlashOptions& f, bool withCount) {
    cmd->add_option("--block", f.block, "Flash block: 0 (user code) or 1")->check(CLI::Range(0, 1));
    cmd->add_option("--start-sector", f.startSector, "First sector, counted within the block")
        ->check(CLI::NonNegativeNumber);
    if (withCount)
        cmd->add_option("--count", f.count, "Number of sectors (default 0: to the end of the block)")
            ->check(CLI::NonNegativeNumber);
    cmd->add_option("--password-file", f.passwordFile,
                    "Read the boot loader password from the first line of FILE");
    cmd->add_option("--password-env", f.passwordEnv,
                    "Take the password from this environment variable if it is set (default TESSEL_PASSWORD)");
}

void AddFormatOption(CLI::App* cmd, FlashOptions& f) {
    cmd->add_option("--format", f.format,
                    "How to take the file: auto (Intel HEX when its first non-blank character is ':', "
                    "else binary), hex or bin")
        ->check(CLI::IsMember({"auto", "hex", "bin"}));
}

int Connection::StartIndex() const {
    const CDeviceSession& s = window_->Session();
    // An open external-flash window lists its own 16 sectors.
    if (s.ExternalWindowOpen() || flash_->block == 0) return flash_->startSector;
    return s.SectorCount(0) + flash_->startSector;
}

bool Connection::UseFlashOptions(const FlashOptions& f, bool rangeCount) {
    const CDeviceSession& s = window_->Session();
    const int sectors = s.SectorCount(f.block);
    if (f.startSector >= sectors) {
        std::fprintf(stderr, "tessel: --start-sector must be below %d for block %d of %s\n", sectors, f.block,
                     s.Chip().model);
        return false;
    }
    // The count list of the dialogs follows block 0's size.
    if (rangeCount && f.count >= s.SectorCount(0)) {
        std::fprintf(stderr, "tessel: --count must be below %d\n", s.SectorCount(0));
        return false;
    }
    flash_ = &f;
    passwordAttempts_ = 0;
    return true;
}

namespace {
// A line from the terminal with echo off, so that the password is not left on the screen.
bool PromptHidden(const char* prompt, std::string* out) {
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    termios old{};
    const bool tty = tcgetattr(STDIN_FILENO, &old) == 0;
    if (tty) {
        // A second signal ends the program without coming back here: it restores these.
        RememberTerminal(&old);
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    // Ctrl-C ends the read (the handlers do not restart it) and the prompt gives up.
    const bool got = InterruptSignal() == 0 && static_cast<bool>(std::getline(std::cin, *out)) &&
                     InterruptSignal() == 0;
    if (tty) tcsetattr(STDIN_FILENO, TCSANOW, &old);
    RememberTerminal(nullptr);
    if (!got) std::cin.clear();
    std::fputc('\n', stderr);
    return got;
}
}  // namespace

// Where a secret comes from, in this order: the first line of a file, an environment
// variable, a prompt without echo at the terminal. A fixed source gives the same text again,
// so it has one try only (`attempt` counts the dialog's openings).
Connection::Secret Connection::ReadSecret(const std::string& file, const std::string& envName, const char* prompt,
                                          int attempt, std::string* out) const {
    const Secret got = ReadSecretText(file, envName, prompt, attempt, out);
    if (got == Secret::Cancel || got == Secret::Nobody) return got;
    // Typed, stored or exported as UTF-8; the loader gets the Latin-1 bytes the desktop
    // program sends for the same characters.
    std::string error;
    if (!PasswordFromUtf8(*out, out, &error)) {
        WipeString(*out);
        std::fprintf(stderr, "tessel: %s\n", error.c_str());
        return Secret::Cancel;
    }
    return got;
}

Connection::Secret Connection::ReadSecretText(const std::string& file, const std::string& envName,
                                              const char* prompt, int attempt, std::string* out) const {
    const char* env = envName.empty() ? nullptr : std::getenv(envName.c_str());
    if (!file.empty() || env) {
        if (attempt > 1) return Secret::Cancel;
        if (env && file.empty()) {
            *out = env;
            return Secret::Fixed;
        }
        std::ifstream in(file);
        if (!in) {
            std::fprintf(stderr, "tessel: cannot read the password file %s\n", file.c_str());
            return Secret::Cancel;
        }
        std::getline(in, *out);
        if (!out->empty() && out->back() == '\r') out->pop_back();
        return Secret::Fixed;
    }
    // Boards programmed side by side never prompt: their prompts would interleave.
    if (o_.lineSink || isatty(STDIN_FILENO) == 0) return Secret::Nobody;
    return PromptHidden(prompt, out) ? Secret::Prompted : Secret::Cancel;
}

// The loader password the chip holds now: for the gate and for Change Password's old one.
// With nobody to ask, a chip without a password takes the empty one.
bool Connection::CurrentPassword(int attempt, std::string* out) {
    const std::string file = flash_ ? flash_->passwordFile : std::string();
    const std::string env = flash_ ? flash_->passwordEnv : std::string();
    switch (ReadSecret(file, env, "Password (empty if none was set): ", attempt, out)) {
        case Secret::Fixed:
        case Secret::Prompted: return true;
        case Secret::Cancel: return false;
        case Secret::Nobody:
            out->clear();
            return attempt == 1;
    }
    return false;
}

// The password to be set, and its retyped copy. Unlike the current one it is never assumed
// empty: removing the password must be asked for with --no-password.
bool Connection::NewPassword(int attempt, std::string* password, std::string* retype) {
    if (flash_ && flash_->noNewPassword) {
        if (attempt > 1) return false;
        password->clear();
        retype->clear();
        return true;
    }
    const std::string file = flash_ ? flash_->newPasswordFile : std::string();
    const std::string env = flash_ ? flash_->newPasswordEnv : std::string();
    switch (ReadSecret(file, env, "New password: ", attempt, password)) {
        case Secret::Fixed: *retype = *password; return true;
        case Secret::Prompted: {
            if (!PromptHidden("Retype new password: ", retype)) return false;
            std::string error;
            if (PasswordFromUtf8(*retype, retype, &error)) return true;
            WipeString(*retype);
            std::fprintf(stderr, "tessel: %s\n", error.c_str());
            return false;
        }
        case Secret::Cancel: return false;
        case Secret::Nobody:
            std::fprintf(stderr,
                         "tessel: the new password comes from --new-password-file, $%s or the terminal; "
                         "--no-password removes it\n",
                         env.empty() ? "TESSEL_NEW_PASSWORD" : env.c_str());
            return false;
    }
    return false;
}

DialogResult Connection::FillPassword(DialogModel& model) {
    auto& d = static_cast<PasswordVerifyDialog&>(model);
    if (!CurrentPassword(++passwordAttempts_, &d.password)) return DialogResult::Cancel;
    if (d.PressOk() != OkOutcome::CloseOk) {
        std::fprintf(stderr, "tessel: the password has at most 31 characters\n");
        return DialogResult::Cancel;
    }
    return DialogResult::Ok;
}

DialogResult Connection::FillPasswordChange(PasswordChangeDialog& d) {
    ++passwordAttempts_;
    if (!CurrentPassword(passwordAttempts_, &d.oldPassword)) return DialogResult::Cancel;
    return NewPassword(passwordAttempts_, &d.newPassword, &d.retypePassword) ? DialogResult::Ok : DialogResult::Cancel;
}

DialogResult Connection::FillPasswordSet(PasswordSetDialog& d) {
    if (!NewPassword(++passwordAttempts_, &d.password, &d.retypePassword)) return DialogResult::Cancel;
    if (flash_ && flash_->lockOption) d.OnLockOption();
    return DialogResult::Ok;
}

void Connection::UsePort(uint32_t baud) {
    CSerialPort& port = window_->Session().port;
    const int com = ComNumber(o_.port);
    if (com) port.SetPortNumber(com);
    else port.SetPortName(o_.port);
    port.SetBaudRate(baud);
}

int Connection::CheckRule(int commandId, bool inWindow) {
    const RuleVerdict v = inWindow ? window_->CommandRule(commandId, ExternalWindowState::Open)
                                   : window_->CommandRule(commandId);
    if (v.allowed) return kExitOk;
    std::fprintf(stderr, "tessel: %s\n", v.reason.c_str());
    return kExitUsage;
}

ImageFormat ImageFormatFromName(const std::string& name) {
    if (name == "hex") return ImageFormat::Hex;
    if (name == "bin") return ImageFormat::Binary;
    return ImageFormat::Auto;
}

int Connection::ConnectReporting() {
    const int rc = Connect();
    if (rc == kExitOk) return rc;
    if (o_.lineSink) {
        const std::string status = window_->Field(ChipField::IapStatus);
        if (!status.empty()) Print("IAP Status: " + status);
    } else {
        view_->PrintSummary();
    }
    return rc;
}

void Connection::Print(const std::string& line) {
    if (o_.lineSink) o_.lineSink(line);
    else std::printf("%s\n", line.c_str());
}

// With no --port and exactly one USB serial adapter plugged in, that is the port; anything
// else is for the operator to choose.
bool Connection::PickPort() {
    if (!o_.port.empty()) return true;
    std::vector<PortEntry> usb;
    for (const PortEntry& p : ListSerialPorts())
        if (p.usb) usb.push_back(p);
    if (usb.size() == 1) {
        o_.port = usb[0].name;
        std::fprintf(stderr, "tessel: using %s (%s%s%s), the only USB serial adapter present\n", o_.port.c_str(),
                     usb[0].description.c_str(), usb[0].serial.empty() ? "" : ", serial ",
                     usb[0].serial.c_str());
        return true;
    }
    if (usb.empty()) {
        std::fprintf(stderr, "tessel: no USB serial adapter found; name the port with --port (`tessel ports` lists them)\n");
    } else {
        std::fprintf(stderr, "tessel: %zu USB serial adapters are present; choose one with --port:\n", usb.size());
        for (const PortEntry& p : usb) std::fprintf(stderr, "  %s\n", DescribePort(p).c_str());
    }
    return false;
}

int Connection::Connect() {
    if (!PickPort()) return kExitUsage;
    std::string chip = o_.chip;
    if (chip.empty()) {
        // A 1.1F loader cannot tell its chip type, so the operator names it; for the
        // stand-in board the port name already does.
        sim::BoardConfig config;
        chip = sim::ParseSimName(o_.port, &config, nullptr) ? ModelNameForCode(config.chipType) : "NX31A32";
    }
    const auto code = ChipCodeForModel(chip);
    if (!code) {
        std::fprintf(stderr, "tessel: unknown chip '%s'\n", chip.c_str());
        return kExitUsage;
    }
    chipType_ = *code;
    if (o_.mode != "internal" && o_.mode != "external") {
        std::fprintf(stderr, "tessel: --mode is internal or external\n");
        return kExitUsage;
    }
    if (o_.crystal < 1.0 || o_.crystal > 40.0) {
        std::fprintf(stderr, "tessel: the crystal frequency must be between 1.0 and 40.0 MHz\n");
        return kExitUsage;
    }
    if (o_.baud && rateForPosition(positionForRate(o_.baud)) != o_.baud) {
        std::fprintf(stderr, "tessel: --baud must be one of 38400 19200 9600 4800 2400 1200 600\n");
        return kExitUsage;
    }
    // The set-up dialog would refuse it and stay open; here that is a bad option.
    const uint32_t best = computeBestRate(o_.crystal, kCommSetupCandidates, true).rate;
    if (o_.baud > best) {
        std::fprintf(stderr, "You can't choose a baudrate which is higher than the computed best baudrate!\n"
                             "(best for %.4f MHz: %u)\n", o_.crystal, best);
        return kExitUsage;
    }
    int commandId = 0;
    if (o_.firmware == "1.1F") commandId = command::kDetect11F;
    else if (o_.firmware == "1.1E") commandId = command::kDetect11E;
    else if (o_.firmware == "unknown") commandId = command::kDetectUnknown;
    else {
        std::fprintf(stderr, "tessel: --firmware is 1.1F, 1.1E or unknown\n");
        return kExitUsage;
    }
    CDeviceSession& session = window_->Session();
    if (!o_.traceWire.empty()) {
        std::string err;
        if (!session.port.StartWireTrace(o_.traceWire, &err)) {
            std::fprintf(stderr, "tessel: %s\n", err.c_str());
            return kExitUsage;
        }
    }
    // The 1.1E detections take the port from the session as the set-up dialog left it.
    UsePort(o_.baud ? o_.baud : best);
    session.crystalMHz = o_.crystal;

    window_->Route(commandId);
    if (!session.port.IsOpen() || session.port.DeviceGone()) return kExitPortError;
    if (!session.port.IsLinkUp()) return kExitNoTarget;
    return window_->Field(ChipField::FwVersion) == "v1.1F" ? kExitOk : kExitFailed;
}

}  // namespace tessel::cli
