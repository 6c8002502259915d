#include "Connection.h"

#include "Interrupt.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "ConsoleView.h"
#include "calc/BaudCalc.h"
#include "device/ChipCatalogue.h"
#include "firmware/Firmware.h"
#include "platform/Console.h"
#include "platform/PortList.h"
#include "platform/SafeFile.h"
#include "protocol/Password.h"
#include "sim/SimBoard.h"
#include "commands/CommDialogs.h"
#include "commands/ConfigCommands.h"
#include "commands/DetectCommands.h"
#include "commands/ExternalCommands.h"
#include "commands/OperatorCommands.h"
#include "commands/FlashCommands.h"
#include "commands/FlashDialogs.h"
#include "commands/PasswordCommands.h"
#include "commands/UpgradeCommands.h"
#include "protocol/Detection.h"
#include "transfer/ChipCheck.h"

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

Connection::Connection(const ConnectOptions& o, EventStream& events)
    : o_(o), events_(events), op_(events), store_(ConfigStore::Discarding()) {
    sim::RegisterSimScheme();
    SetFirmwareDir(o_.firmwareDir);
    op_.assumeYes = o_.yes;
    op_.verbose = o_.verbose;
    target_ = std::make_unique<Target>(&op_);
    target_->SetPasswordSource([this](int attempt) { return GatePassword(attempt); });
    events_.Watch(target_.get());
    op_.mayAsk = !o_.sideBySide;
    target_->LoadSettings(store_);
    DetectCommandEnv env;
    env.store = &store_;
    // Read when the dialog opens: a port chosen automatically is known only by then.
    env.namedPorts = [this] {
        return ComNumber(o_.port) ? std::vector<std::string>{} : std::vector<std::string>{o_.port};
    };
    target_->SetDetectEnv(std::move(env));
    WatchStopRequest(&target_->Session().flags.stop);
}

namespace {
std::atomic<bool> gPortWentAway{false};
}  // namespace

bool PortWentAway() { return gPortWentAway.load(); }
void NotePortWentAway() { gPortWentAway = true; }

Connection::~Connection() {
    if (InterruptSignal() != 0) RecordInterruption(target_->Session().flags.stop, o_.port);
    RecordBackups(target_->Session().flags.stop.Backups());
    UnwatchStopRequest(&target_->Session().flags.stop);
    if (target_->Session().port.DeviceGone()) NotePortWentAway();
    target_->Shutdown();
    events_.Watch(nullptr);
}

namespace {
// The most sectors any block of any chip has: the bound of --start-sector and --count before
// the chip is known.
int MostSectors() {
    int most = kExternalWindowSectors;
    for (const ChipInfo& chip : AllChips())
        for (const BlockGeometry& b : chip.block) most = std::max(most, static_cast<int>(b.sectorCount));
    return most;
}
}  // namespace

void AddFlashOptions(CLI::App* cmd, FlashOptions& f, bool withCount) {
    OneOf(cmd->add_option("--block", f.block, "Flash block: 0 (user code) or 1"), {"0", "1"});
    cmd->add_option("--start-sector", f.startSector, "First sector, counted within the block")
        ->check(Between(0, MostSectors() - 1));
    if (withCount) {
        const CLI::Validator some = Between(1, MostSectors(), " (0: to the end of the block)");
        cmd->add_option("--count", f.count, "Number of sectors (default 0: to the end of the block)")
            ->check(CLI::Validator(
                [some](std::string& value) { return value == "0" ? std::string() : some(value); },
                some.get_description()));
    }
    AddPasswordOptions(cmd, f);
}

bool ReadPasswordLine(const std::string& path, std::string* line, std::string* error) {
    std::string text;
    if (!ReadSmallFile(path, kPasswordFileLimit, &text, error)) return false;
    *line = text.substr(0, text.find('\n'));
    if (!line->empty() && line->back() == '\r') line->pop_back();
    WipeString(text);
    return true;
}

std::string CheckPasswordText(const std::string& text, const std::string& from) {
    std::string bytes, error;
    const bool converted = PasswordFromUtf8(text, &bytes, &error);
    const size_t length = bytes.size();
    WipeString(bytes);
    if (!converted) return error;
    if (length > kMaxPasswordLength)
        return "the password in " + from + " has " + std::to_string(length) + " characters; the loader keeps at most " +
               std::to_string(kMaxPasswordLength);
    return {};
}

void AddPasswordOptions(CLI::App* cmd, FlashOptions& f) {
    cmd->add_option("--password-file", f.passwordFile,
                    "Read the boot loader password from the first line of FILE");
    cmd->add_option("--password-env", f.passwordEnv,
                    "Take the password from this environment variable if it is set");
    // A password the loader could never take is refused before the port is opened.
    cmd->parse_complete_callback([&f] {
        std::string text, from;
        if (!f.passwordFile.empty()) {
            std::string error;
            if (!ReadPasswordLine(f.passwordFile, &text, &error))
                throw CLI::ValidationError("--password-file", "cannot read the password file " + error);
            from = f.passwordFile;
        } else if (const char* env = f.passwordEnv.empty() ? nullptr : std::getenv(f.passwordEnv.c_str())) {
            text = env;
            from = "$" + f.passwordEnv;
        } else {
            return;
        }
        const std::string why = CheckPasswordText(text, from);
        WipeString(text);
        if (!why.empty()) throw CLI::ValidationError("--password-file", why);
    });
}

void AddFormatOption(CLI::App* cmd, FlashOptions& f) {
    OneOf(cmd->add_option("--format", f.format, std::string("How to take the file: ") + kFormatAuto),
          {"auto", "hex", "bin"});
}

std::string Connection::FailureReason() const {
    if (target_->Session().flags.stop.Requested()) return "stopped at the operator's request";
    if (auto f = events_.LastFailure()) return ConsoleView::FailureLine(*f);
    const std::string& last = op_.LastMessage();
    // On a chip of another type than the one assumed the loader refuses what it does not
    // have (a password at another address, say): the guess is the likelier cause.
    return (last.empty() ? "the command did not complete" : last) + AssumedNote();
}

bool Connection::UseFlashOptions(const FlashOptions& f, bool rangeCount) {
    const CDeviceSession& s = target_->Session();
    const int sectors = s.SectorCount(f.block);
    if (f.startSector >= sectors) {
        events_.Error("--start-sector must be below " + std::to_string(sectors) + " for block " +
                      std::to_string(f.block) + " of " + s.Chip().model);
        return false;
    }
    if (rangeCount && f.count > sectors) {
        events_.Error("--count must be 1 to " + std::to_string(sectors) + " for block " + std::to_string(f.block) +
                      " of " + s.Chip().model);
        return false;
    }
    // A range that runs past the block would be cut short without a word.
    if (rangeCount && f.startSector + f.count > sectors) {
        events_.Error("--start-sector " + std::to_string(f.startSector) + " with --count " + std::to_string(f.count) +
                      " runs past the end of block " + std::to_string(f.block) + " of " + s.Chip().model + " (" +
                      std::to_string(sectors) + " sectors)");
        return false;
    }
    flash_ = &f;
    passwordAttempts_ = 0;
    return true;
}

namespace {
// A line from the terminal with echo off, so that the password is not left on the screen.
bool PromptHidden(const char* prompt, std::string* out) {
    // A second signal ends the program without coming back here: it puts the echo back too.
    const bool tty = console::HideInputEcho();
    // Only once echo is off: what is typed as soon as the prompt shows stays hidden.
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    // Ctrl-C ends the wait for the line and the prompt gives up.
    const bool got = WaitForInputLine() && static_cast<bool>(std::getline(std::cin, *out)) && InterruptSignal() == 0;
    if (tty) console::RestoreInputEcho();
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
        events_.Error(error);
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
        std::string error;
        if (!ReadPasswordLine(file, out, &error)) {
            events_.Error("cannot read the password file " + error);
            return Secret::Cancel;
        }
        return Secret::Fixed;
    }
    // Boards programmed side by side never prompt: their prompts would interleave.
    if (o_.sideBySide || !console::IsTerminal(console::Stream::Input)) return Secret::Nobody;
    events_.StopWaiting();
    return PromptHidden(prompt, out) ? Secret::Prompted : Secret::Cancel;
}

// The loader password the chip holds now: for the gate and for Change Password's old one.
// With nobody to ask, a chip without a password takes the empty one.
bool Connection::CurrentPassword(int attempt, std::string* out) {
    const std::string file = flash_ ? flash_->passwordFile : std::string();
    const std::string env = flash_ ? flash_->passwordEnv : std::string();
    const bool sourceGiven = !file.empty() || (!env.empty() && std::getenv(env.c_str()));
    // Most chips have no password: try the empty one before asking anybody, and ask only
    // when the chip refused it.
    if (!sourceGiven && attempt == 1) {
        out->clear();
        return true;
    }
    if (!sourceGiven && attempt == 2 && console::IsTerminal(console::Stream::Input)) {
        events_.Notice("the chip refused the empty password", 0);
    }
    switch (ReadSecret(file, env, "Password: ", attempt - (sourceGiven ? 0 : 1), out)) {
        case Secret::Fixed:
        case Secret::Prompted: return true;
        case Secret::Cancel:
            if (!sourceGiven) events_.Error("no password was given (end of input)");
            return false;
        case Secret::Nobody: return false;
    }
    return false;
}

// The password to be set, and its retyped copy. Unlike the current one it is never assumed
// empty: removing the password must be asked for with --no-password.
bool Connection::ReadNewPassword(int attempt, std::string* password, std::string* retype) {
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
            events_.Error(error);
            return false;
        }
        case Secret::Cancel: return false;
        case Secret::Nobody:
            events_.Error("the new password comes from --new-password-file, $" +
                          (env.empty() ? std::string("TESSEL_NEW_PASSWORD") : env) +
                          " or the terminal; --no-password removes it");
            return false;
    }
    return false;
}

std::optional<std::string> Connection::GatePassword(int) {
    std::string password;
    if (!CurrentPassword(++passwordAttempts_, &password)) return std::nullopt;
    if (password.size() > kMaxPasswordLength) {
        WipeString(password);
        events_.Error("the password has at most 31 characters");
        return std::nullopt;
    }
    return password;
}

// Each attempt counts once for both texts: a fixed source has one try, a prompt three.
PasswordRequest Connection::PasswordTexts(bool change) {
    PasswordRequest r;
    r.lockOption = flash_ && flash_->lockOption;
    if (change)
        r.current = [this](int) -> std::optional<std::string> {
            std::string text;
            if (!CurrentPassword(++passwordAttempts_, &text)) return std::nullopt;
            return text;
        };
    r.next = [this, change](int) -> std::optional<NewPassword> {
        NewPassword n;
        if (!ReadNewPassword(change ? passwordAttempts_ : ++passwordAttempts_, &n.password, &n.retype))
            return std::nullopt;
        return n;
    };
    return r;
}

void Connection::UsePort(uint32_t baud) {
    CSerialPort& port = target_->Session().port;
    const int com = ComNumber(o_.port);
    if (com) port.SetPortNumber(com);
    else port.SetPortName(o_.port);
    port.SetBaudRate(baud);
}

int Connection::CheckRule(RuledCommand command, bool inWindow, bool readsOnly) {
    return CheckPlan({{"", command, inWindow, readsOnly}});
}

int Connection::CheckPlan(const std::vector<PlanStep>& steps) {
    for (const PlanStep& step : steps) {
        if (!step.command) continue;
        const RuleVerdict v = target_->CommandRule(
            *step.command, step.inWindow ? std::optional(ExternalWindowState::Open) : std::nullopt, step.readsOnly);
        if (!v.allowed) return Refuse(step.label, v.reason);
    }
    return kExitOk;
}

int Connection::CheckChipType(ChipCheckFor what, std::string* alike) {
    CDeviceSession& s = target_->Session();
    if (alike) alike->clear();
    // A type the loader reported needs no check.
    if (std::string(ModelSource()) == "reported") return kExitOk;
    LinkContext probe{s, *target_, nullptr};
    const ChipCheck check = tessel::CheckChipType(probe, what);
    std::string why;
    const int rc = RefusedBeforeChange(&why);
    if (rc != kExitOk) events_.Error(why);
    else if (alike) *alike = AlikeNote(s.chipType, check);
    return rc;
}

int Connection::RefusedBeforeChange(std::string* why) const {
    const CDeviceSession& s = target_->Session();
    if (s.refusalBeforeChange.empty()) return kExitOk;
    if (s.lineSilent) {
        *why = s.refusalBeforeChange;
        return s.port.DeviceGone() || !s.port.IsOpen() ? kExitPortError : kExitNoTarget;
    }
    *why = s.refusalBeforeChange + (s.chipTypeAssumed ? AssumedNote() : " (check --chip)");
    return kExitUsage;
}

std::string Connection::AssumedNote() const {
    const CDeviceSession& s = target_->Session();
    if (!s.chipTypeAssumed) return "";
    return std::string(" (the chip type ") + s.Chip().model + " was assumed: give --chip)";
}

int Connection::Refuse(const std::string& step, const std::string& why) {
    events_.Error(step.empty() ? why : step + ": " + why + "; nothing was done");
    return kExitUsage;
}

ImageFormat ImageFormatFromName(const std::string& name) {
    if (name == "hex") return ImageFormat::Hex;
    if (name == "bin") return ImageFormat::Binary;
    return ImageFormat::Auto;
}

bool Connection::SimLoaderIs11E() const {
    sim::BoardConfig config;
    return sim::ParseSimName(o_.port, &config, nullptr) && config.firmware == sim::Firmware::F11E;
}

int Connection::ConnectReporting() {
    const int rc = Connect();
    if (rc == kExitNoTarget) {
        const bool unknown = o_.firmware == "unknown";
        const int seconds = static_cast<int>((unknown ? kUnknownBaudDetectLimitMs : kBaudDetectLimitMs) / 1000);
        events_.Error("no boot loader answered on " + o_.port + " within " + std::to_string(seconds) +
                      " s. Likely causes: the wrong port; a crystal or baud rate that does not match the board "
                      "(--crystal, --baud); the board not in its boot loader (reset it after the prompt); "
                      "the cable (`tessel cable-test` checks it)." +
                      (SimLoaderIs11E() && o_.firmware != "1.1E"
                           ? " The stand-in board's name says its loader is 1.1E: give --firmware 1.1E."
                           : ""));
    } else if (rc == kExitFailed && target_->Session().upgradeFailure.empty()) {
        const std::string fw = target_->Field(ChipField::FwVersion);
        events_.Error("the loader on " + o_.port + " reports firmware " + fw + ", not v1.1F" +
                      (fw == "v1.1E" ? " (--firmware 1.1E offers the upgrade)" : ""));
    }
    return rc;
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
        events_.Notice("using " + o_.port + " (" + usb[0].description +
                       (usb[0].serial.empty() ? "" : ", serial " + usb[0].serial) +
                       "), the only USB serial adapter present");
        return true;
    }
    if (usb.empty()) {
        events_.Error("no USB serial adapter found; name the port with --port (`tessel ports` lists them)");
    } else {
        std::string text = std::to_string(usb.size()) + " USB serial adapters are present; choose one with --port:";
        for (const PortEntry& p : usb) text += "\n  " + DescribePort(p);
        events_.Error(text);
    }
    return false;
}

void Connection::ReportChip(bool show) {
    ChipReport c;
    c.port = o_.port;
    c.model = target_->Field(ChipField::ChipType);
    c.modelSource = ModelSource();
    c.firmware = target_->Field(ChipField::FwVersion);
    c.flashSize = target_->Field(ChipField::FlashSize);
    c.remap = target_->Field(ChipField::ReMap);
    c.memMode = target_->Field(ChipField::MemMode);
    c.security = target_->SecurityLine();
    c.lockStatus = target_->Session().flags.lockStatus;
    c.baud = target_->Session().port.GetBaudRate();
    const CDeviceSession& s = target_->Session();
    if (IsHLFamily(s.Family()) && s.IsLinkUp()) c.doubleClock = s.flags.doubleClockOn;
    c.show = show;
    events_.Chip(c);
}

const char* Connection::ModelSource() const {
    const CDeviceSession& s = target_->Session();
    if (s.loaderFirmware != LoaderFirmware::V11F || s.ExternalWindowOpen()) return "reported";
    return s.chipTypeAssumed ? "assumed" : "chosen";
}

std::string Connection::ModelText() const {
    const std::string model = target_->Field(ChipField::ChipType);
    return model + ModelNote(ModelSource());
}

int Connection::OpenPortFirst() {
    if (IsSchemeName(o_.port, "sim")) {
        // A stand-in board's name is a value of the option: a wrong one is a usage error.
        std::string why;
        if (!sim::ParseSimName(o_.port, nullptr, &why)) {
            events_.Error(why);
            return kExitUsage;
        }
    }
    CSerialPort& port = target_->Session().port;
    if (port.Open() == 0) return kExitOk;
    openError_ = port.LastOpenError().reason;
    events_.NoteError(openError_);
    return kExitPortError;
}

int Connection::Connect() {
    if (!PickPort()) return kExitUsage;
    std::string chip = o_.chip;
    bool assumed = false;
    sim::BoardConfig config;
    const bool simNamed = sim::ParseSimName(o_.port, &config, nullptr);
    if (chip.empty()) {
        // A 1.1F loader cannot tell its chip type, so the operator names it; for the
        // stand-in board the port name already does. Otherwise the default stands in for
        // reading only: the rule book refuses to erase or program on a guess.
        assumed = !simNamed;
        chip = assumed ? "NX31A32" : ModelNameForCode(config.chipType);
    }
    // Without --firmware a stand-in board's name says which loader to expect, as it says the chip.
    if (o_.firmware.empty()) o_.firmware = simNamed && config.firmware == sim::Firmware::F11E ? "1.1E" : "1.1F";
    // The option values were checked when the command line was read.
    chipType_ = ChipCodeForModel(chip).value_or(0);
    // The set-up dialog would refuse it and stay open; here that is a bad option.
    const uint32_t best = computeBestRate(o_.crystal, kCommSetupCandidates, true).rate;
    const bool beyondList = isBeyondListRate(o_.baud) && fitRate(o_.crystal, o_.baud);
    if (beyondList && o_.firmware != "1.1F") {
        events_.Error("--baud " + std::to_string(o_.baud) +
                      " is beyond the loader's documented list: only a 1.1F loader's auto-baud can follow it");
        return kExitUsage;
    }
    if (o_.baud > best && !beyondList) {
        char buf[240];
        std::snprintf(buf, sizeof buf,
                      "You can't choose a baudrate which is higher than the computed best baudrate! "
                      "(--baud %u; best for %.4f MHz: %u)",
                      o_.baud, o_.crystal, best);
        events_.Error(buf);
        return kExitUsage;
    }
    DetectRequest request;
    if (o_.firmware == "1.1E") request.firmware = LoaderFirmware::V11E;
    else if (o_.firmware == "unknown") request.firmware = LoaderFirmware::Unknown;
    request.chipType = chipType_;
    request.memoryMode = o_.mode == "internal" ? kInternalMemory : kExternalMemory;
    request.crystal = o_.crystal;
    request.baud = o_.baud ? o_.baud : best;
    CDeviceSession& session = target_->Session();
    if (!o_.traceWire.empty()) {
        std::string err;
        if (!session.port.StartWireTrace(o_.traceWire, &err)) {
            events_.Error(err);
            return kExitUsage;
        }
    }
    // The 1.1E detections take the port from the session as the set-up dialog left it.
    UsePort(o_.baud ? o_.baud : best);
    session.crystalMHz = o_.crystal;
    // A 1.1E detection reads the type from the chip and clears this.
    session.chipTypeAssumed = assumed;
    // The port first: a port that cannot be opened is said in one line, before any detection
    // text or reset prompt.
    if (const int rc = OpenPortFirst(); rc != kExitOk) return rc;

    DetectChip(*target_, request);
    // An upgrade from 1.1E that did not finish has ended the session: the command failed, and
    // nothing else may run on it.
    if (!session.upgradeFailure.empty()) {
        events_.Error(session.upgradeFailure);
        return kExitFailed;
    }
    if (!session.port.IsOpen() || session.port.DeviceGone()) return kExitPortError;
    if (!session.port.IsLinkUp()) return kExitNoTarget;
    ReportChip(showChip_);
    events_.CommandBegins();
    op_.ForgetLastMessage();
    return session.loaderFirmware == LoaderFirmware::V11F ? kExitOk : kExitFailed;
}

}  // namespace tessel::cli
