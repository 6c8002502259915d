// tessel station: a production bench. Each port is a slot that waits for a board, programs
// it as `tessel download` would (with a serial number of its own if asked), says PASS or FAIL
// in one line, logs it, and waits for the board to be taken away before it accepts the next.

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>
#include <thread>

#include "Commands.h"
#include "Gang.h"
#include "Interrupt.h"
#include "calc/BaudCalc.h"
#include "device/ChipCatalogue.h"
#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "files/HexImage.h"
#include "platform/SafeFile.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/PortList.h"
#include "platform/SerialDevice.h"
#include "protocol/Detection.h"
#include "serial/CSerialPort.h"

namespace tessel::cli {

namespace {

using Json = nlohmann::json;
using Steady = std::chrono::steady_clock;

// While a finished board is still in its slot, the station asks every so often whether its
// loader answers, for this long each time.
constexpr uint32_t kProbeMs = 400;
constexpr int kProbePauseMs = 1200;

struct StationOptions {
    GangPorts ports;
    BoardDownload board;  // the operator's image and the steps every board goes through
    std::string serialAt;  // hex address of the serial number, empty: none
    long long serialStart = 0;
    std::string serialFormat = "le32";
    std::string serialState;
    std::string log;
    int count = 0;  // boards to pass before the station ends; 0: until stopped
};

// The number as the image holds it: four bytes either way round, eight BCD digits in four
// bytes, or eight ASCII digits.
std::vector<uint8_t> SerialBytes(uint64_t n, const std::string& format) {
    std::vector<uint8_t> out;
    if (format == "le32") {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    } else if (format == "be32") {
        for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    } else {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08llu", static_cast<unsigned long long>(n));
        if (format == "ascii") return {digits, digits + 8};
        for (int i = 0; i < 8; i += 2)
            out.push_back(static_cast<uint8_t>((digits[i] - '0') << 4 | (digits[i + 1] - '0')));
    }
    return out;
}

std::string SerialText(uint64_t n) {
    char text[24];
    std::snprintf(text, sizeof text, "%08llu", static_cast<unsigned long long>(n));
    return text;
}

uint64_t SerialLimit(const std::string& format) {
    return format == "le32" || format == "be32" ? 0xFFFFFFFFull : 99999999ull;
}

std::string Sha256Of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr)) return "";
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string HostName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// What the slots share: the serial numbers handed out, the log, the counts.
class Station {
public:
    Station(const StationOptions& o, ImageData image, uint32_t serialOffset, uint64_t nextSerial)
        : o_(o), image_(std::move(image)), serialOffset_(serialOffset), next_(nextSerial),
          sha_(Sha256Of(o.board.file)), host_(HostName()) {}

    bool Serials() const { return !o_.serialAt.empty(); }

    // The next number, taken for good: the state file says so before any board holds it, so
    // that a restart never hands it out again.
    bool TakeSerial(uint64_t* n, std::string* why) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (next_ > SerialLimit(o_.serialFormat)) {
            *why = "the serial numbers of format " + o_.serialFormat + " are used up";
            return false;
        }
        const std::string text = "next " + std::to_string(next_ + 1) + "\n";
        if (!WriteFileSafely(o_.serialState, text, why, FileMode::Private)) return false;
        *n = next_++;
        return true;
    }

    // The image with `n` in its place, written for the slot's board to take.
    bool WriteImage(const std::string& path, std::optional<uint64_t> n, std::string* why) const {
        ImageData image = image_;
        if (Serials()) {
            const std::vector<uint8_t> bytes = SerialBytes(n.value_or(0), o_.serialFormat);
            for (size_t i = 0; i < bytes.size(); ++i) {
                image.bytes[serialOffset_ + i] = bytes[i];
                if (!image.defined.empty()) image.defined[serialOffset_ + i] = true;
            }
        }
        return WriteIntelHexFile(path, image, why);
    }

    int NextBoard() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ++boards_;
    }

    void Count(bool pass, double seconds) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pass) {
            ++passed_;
            passSeconds_ += seconds;
        } else {
            ++failed_;
        }
    }

    // Enough boards have passed, a signal came, or a plan was refused: no slot takes another.
    bool Done() {
        std::lock_guard<std::mutex> lock(mutex_);
        return InterruptSignal() != 0 || ended_ || (o_.count > 0 && passed_ >= o_.count);
    }
    void End(int exitCode, const std::string& why) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ended_) {
            ended_ = true;
            endExit_ = exitCode;
            endWhy_ = why;
        }
    }

    // One line for each board, appended and on the disk before the next board starts.
    bool Log(Json entry, std::string* why) {
        entry["image"] = o_.board.file;
        entry["image_sha256"] = sha_;
        entry["host"] = host_;
        const std::string line = entry.dump() + "\n";
        std::lock_guard<std::mutex> lock(mutex_);
        const int fd = ::open(o_.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        bool ok = fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
                  ::fsync(fd) == 0;
        if (!ok) *why = o_.log + ": " + std::strerror(errno);
        if (fd >= 0) ok = ::close(fd) == 0 && ok;
        return ok;
    }

    void Say(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    int passed() const { return passed_; }
    int failed() const { return failed_; }
    double passSeconds() const { return passSeconds_; }
    int endExit() const { return endExit_; }
    const std::string& endWhy() const { return endWhy_; }
    uint64_t nextSerial() const { return next_; }

private:
    const StationOptions& o_;
    const ImageData image_;
    const uint32_t serialOffset_;
    std::mutex mutex_;
    uint64_t next_;
    int boards_ = 0, passed_ = 0, failed_ = 0;
    double passSeconds_ = 0;
    bool ended_ = false;
    int endExit_ = kExitOk;
    std::string endWhy_;
    const std::string sha_;
    const std::string host_;
};

// Whether a loader answers on the port now: reset, then the baud-detect string for a moment.
// A board still in place answers; one taken away, or whose loader has handed over to the
// user's code, does not. The moment is short, so that it falls between one board going and
// the next being put in, and a new board is not taken for the old one.
bool LoaderAnswers(const ConnectOptions& o) {
    CSerialPort port(nullptr, SystemClock());
    port.SetPortName(o.port);
    port.SetBaudRate(o.baud ? o.baud : computeBestRate(o.crystal, kCommSetupCandidates, true).rate);
    if (port.Open() != 0) return false;
    if (o.mode == "external") port.SetLinesExternalMode();
    else port.SetLinesInternalMode();
    const bool answered =
        BaudDetect(port, kProbeMs, [] { return InterruptSignal() != 0; }) == BaudDetectResult::Ok;
    port.Close();
    return answered;
}

// Sleeps in small steps, so that a signal is seen at once.
void Pause(int ms) {
    for (int i = 0; i < ms / 50 && InterruptSignal() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void RunSlot(Station& station, const StationOptions& o, ConnectOptions c, int slot, const std::string& imagePath) {
    const std::string name = "slot " + std::to_string(slot);
    bool announced = false;
    while (!station.Done()) {
        if (!announced) station.Say(name + ": waiting for a board on " + c.port);
        announced = true;
        std::optional<uint64_t> serial;
        std::string why;
        if (!station.WriteImage(imagePath, std::nullopt, &why)) {
            station.End(kExitFailed, why);
            return;
        }
        // The slot's own copy of the image, with this board's number once it has one.
        BoardDownload job = o.board;
        job.file = imagePath;
        job.format = "hex";
        job.beforeWrite = [&](std::string* reason) {
            if (!station.Serials()) return true;
            uint64_t n = 0;
            if (!station.TakeSerial(&n, reason)) return false;
            serial = n;
            return station.WriteImage(imagePath, n, reason);
        };
        EventStream events;  // a slot's own: the station speaks for it in one line per board
        CommandResult res;
        const auto t0 = Steady::now();
        const int rc = RunBoardDownload(job, c, events, res);
        const double seconds = std::chrono::duration<double>(Steady::now() - t0).count();
        if (rc == kExitNoTarget || (rc == kExitPortError && !serial)) {
            // Nobody there yet (or the adapter is out): wait on.
            if (rc == kExitPortError) Pause(1000);
            continue;
        }
        if (rc == kExitUsage) {
            // Every board would be refused the same way.
            station.End(kExitUsage, res.summary.empty() ? events.LastError() : res.summary);
            return;
        }
        const int board = station.NextBoard();
        const bool pass = rc == kExitOk && InterruptSignal() == 0;
        std::string reason = res.summary.empty() ? events.LastError() : res.summary;
        if (InterruptSignal() != 0 && !pass) reason = "stopped by a signal: " + reason;
        station.Count(pass, seconds);
        Json entry = {{"time", UtcNow()}, {"slot", slot}, {"port", c.port}, {"board", board},
                      {"result", pass ? "pass" : "fail"}, {"seconds", std::round(seconds * 1000) / 1000}};
        const std::string adapter = IsSchemeName(c.port, "sim") ? "" : AdapterSerialOf(c.port);
        entry["adapter_serial"] = adapter.empty() ? Json() : Json(adapter);
        entry["chip"] = c.chip;
        entry["loader"] = events.LastChip() ? Json(events.LastChip()->firmware) : Json();
        entry["serial"] = serial ? Json(*serial) : Json();
        if (serial && !pass) entry["serial_void"] = true;
        Json steps = Json::array();
        for (const Phase& p : events.Phases())
            steps.push_back({{"step", p.label}, {"seconds", std::round(p.seconds * 1000) / 1000}, {"ok", p.ok}});
        entry["steps"] = steps;
        if (!pass) entry["reason"] = reason;
        std::string logWhy;
        if (!station.Log(entry, &logWhy)) {
            station.Say(name + ": the log could not be written: " + logWhy);
            station.End(kExitFailed, "the log could not be written: " + logWhy);
        }
        if (pass) {
            char line[160];
            std::snprintf(line, sizeof line, "%s: PASS board %d%s, %.1f s", name.c_str(), board,
                          serial ? (", serial " + SerialText(*serial)).c_str() : "", seconds);
            station.Say(line);
        } else {
            station.Say(name + ": FAIL board " + std::to_string(board) + ": " + reason +
                        (serial ? " (serial " + SerialText(*serial) + " void)" : ""));
        }
        // One board is never taken for the next: wait until it has gone.
        announced = false;
        while (InterruptSignal() == 0 && LoaderAnswers(c)) Pause(kProbePauseMs);
        // A board that fell silent gives no answer at once; the line stays quiet a moment
        // before the next board is looked for, as while boards are swapped.
        Pause(kProbePauseMs);
    }
}

int RunStation(const StationOptions& o, RunState& state) {
    CommandResult& res = state.result;
    res.command = "station";
    res.fields["file"] = o.board.file;
    std::vector<std::string> ports;
    if (!CollectPorts(o.ports, state.connect.port, state.events, &ports)) return kExitUsage;
    if (ports.empty()) {
        res.summary = "station: nothing was done: name the slots' ports with --port, --ports-from or --all-usb";
        return kExitUsage;
    }
    for (const std::string& p : ports)
        if (IsSchemeName(p, "sim")) {
            res.summary = "station: nothing was done: the stand-in board in this process cannot be swapped; "
                          "serve boards with tessel-sim --boards N and name its device";
            return kExitUsage;
        }
    // The image is read and checked once, against the chip the bench is set up for.
    ImageData image;
    if (const std::string why = ReadImageForCommand(o.board.file, o.board.format, &image); !why.empty()) {
        res.summary = "station: nothing was done: " + why;
        return kExitUsage;
    }
    ConnectOptions base = state.connect;
    // Every board is erased: the chip type is the operator's to name, never a default.
    if (base.chip.empty()) {
        res.summary = std::string("station: nothing was done: ") + kChipTypeNotReported;
        return kExitUsage;
    }
    CDeviceSession geometry(nullptr);
    geometry.chipType = ChipCodeForModel(base.chip).value_or(0);
    geometry.RefreshGeometry();
    const uint32_t limit = base.mode == "internal" ? static_cast<uint32_t>(geometry.BlockSize(0)) : 0x10000u;
    uint32_t serialOffset = 0;
    if (!o.serialAt.empty()) {
        serialOffset = static_cast<uint32_t>(std::stoul(o.serialAt, nullptr, 16));
        const uint32_t width = static_cast<uint32_t>(SerialBytes(0, o.serialFormat).size());
        if (serialOffset + width > limit) {
            res.summary = "station: nothing was done: the serial number at " + o.serialAt + "h does not fit " +
                          base.chip + "'s block 0";
            return kExitUsage;
        }
        if (image.bytes.size() < serialOffset + width) {
            image.bytes.resize(serialOffset + width, 0xFF);
            if (!image.defined.empty()) image.defined.resize(serialOffset + width, false);
        }
    }
    if (image.bytes.size() > limit) {
        res.summary = "station: nothing was done: " + o.board.file + " does not fit " + base.chip + "'s block 0";
        return kExitUsage;
    }
    if (!base.yes) {
        res.summary = "station: nothing was done: a station erases and programs every board it meets; give --yes";
        return kExitUsage;
    }
    // The next serial number: where the last run left off, and never below --serial-start.
    uint64_t next = static_cast<uint64_t>(o.serialStart);
    if (!o.serialAt.empty()) {
        std::ifstream in(o.serialState);
        std::string word;
        unsigned long long stored = 0;
        if (in >> word >> stored && word == "next") next = std::max<uint64_t>(next, stored);
    }
    std::error_code ec;
    for (const std::string& f : {o.serialState, o.log})
        if (!f.empty()) std::filesystem::create_directories(std::filesystem::path(f).parent_path(), ec);

    char folder[] = "/tmp/tessel-station-XXXXXX";
    if (!mkdtemp(folder)) {
        res.summary = std::string("station: nothing was done: no private folder for the boards' images: ") +
                      std::strerror(errno);
        return kExitFailed;
    }
    Station station(o, std::move(image), serialOffset, next);
    base.sideBySide = true;  // nothing is asked while boards come and go
    std::vector<std::thread> slots;
    for (size_t i = 0; i < ports.size(); ++i) {
        ConnectOptions c = base;
        c.port = ports[i];
        slots.emplace_back(RunSlot, std::ref(station), std::cref(o), c, static_cast<int>(i + 1),
                           std::string(folder) + "/slot" + std::to_string(i + 1) + ".hex");
    }
    for (auto& t : slots) t.join();
    std::filesystem::remove_all(folder, ec);

    const int boards = station.passed() + station.failed();
    char summary[256];
    std::snprintf(summary, sizeof summary, "station: %d passed, %d failed, yield %.0f %%, %.1f s a board", station.passed(),
                  station.failed(), boards ? 100.0 * station.passed() / boards : 0.0,
                  station.passed() ? station.passSeconds() / station.passed() : 0.0);
    res.fields["passed"] = station.passed();
    res.fields["failed"] = station.failed();
    res.fields["log"] = o.log;
    if (!o.serialAt.empty()) res.fields["next_serial"] = station.nextSerial();
    res.summary = summary;
    if (InterruptSignal() != 0) station.Say(summary);  // the last line names the signal
    if (station.endExit() != kExitOk) {
        res.summary += "; ended: " + station.endWhy();
        return station.endExit();
    }
    return station.failed() == 0 ? kExitOk : kExitFailed;
}

}  // namespace

void AddStationCommand(CLI::App& app, RunState& state) {
    auto o = std::make_shared<StationOptions>();
    CLI::App* cmd = app.add_subcommand(
        "station", "Program board after board on one or more ports: each slot waits for a board, programs it, "
                   "says PASS or FAIL, logs it and waits for it to be taken away");
    AddGangConnectOptions(cmd, state, o->ports);
    cmd->add_option("file", o->board.file, "The image (Intel HEX or binary), checked once at the start")->required();
    OneOf(cmd->add_option("--format", o->board.format, "How to take the file: from its content, or hex or bin"),
          {"auto", "hex", "bin"});
    cmd->add_flag("--verify", o->board.verify, "Compare every board with the image once more after programming it");
    cmd->add_flag("--run", o->board.run, "Start the user's program on every board that passed");
    cmd->add_flag("--changed-only", o->board.changedOnly, "Rewrite only the sectors that differ");
    cmd->add_option("--lock", o->board.lockOption, "Program this lock-menu option on every board (see tessel lock --help)")
        ->check(Between(1, 6));
    cmd->add_option("--serial-at", o->serialAt, "Write each board's own serial number at this address (hex)")
        ->check(CLI::Validator(
            [](std::string& v) {
                if (v.empty() || v.size() > 4 || v.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                    return std::string("--serial-at is an address of one to four hex digits");
                return std::string();
            },
            "ADDR"));
    cmd->add_option("--serial-start", o->serialStart,
                    "The first serial number, unless the state file is already further on")
        ->check(Between(0, 0xFFFFFFFFll));
    OneOf(cmd->add_option("--serial-format", o->serialFormat,
                          "How the number is written: le32, be32 (four bytes), bcd (eight digits in four bytes), "
                          "ascii (eight digits)"),
          {"le32", "be32", "bcd", "ascii"});
    o->serialState = UserStateDir() + "/station-serial";
    o->log = UserStateDir() + "/station.log";
    cmd->add_option("--serial-state", o->serialState, "Where the next serial number is kept");
    cmd->add_option("--log", o->log, "The production log: one JSON line per board, appended");
    cmd->add_option("--count", o->count, "End once this many boards have passed (default: until stopped)")
        ->check(Between(1, 1000000));
    cmd->callback([o, &state] {
        if (!o->serialAt.empty() && o->serialFormat != "le32" && o->serialFormat != "be32" &&
            static_cast<uint64_t>(o->serialStart) > SerialLimit(o->serialFormat)) {
            state.result.command = "station";
            state.result.summary = "station: nothing was done: --serial-start has more than eight digits";
            state.exitCode = kExitUsage;
            return;
        }
        state.exitCode = RunStation(*o, state);
    });
}

}  // namespace tessel::cli
