// tessel station: a production bench. Each port is a slot that waits for a board, programs
// it as `tessel download` would (with a serial number of its own if asked), says PASS or FAIL
// in one line, logs it, and waits for the board to be taken away before it accepts the next.

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
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
#include "platform/Console.h"
#include "platform/SafeFile.h"
#include "platform/CalendarTime.h"
#include "platform/Clock.h"
#include "platform/InstanceLock.h"
#include "platform/Paths.h"
#include "platform/PortList.h"
#include "platform/SerialDevice.h"
#include "platform/Sha256.h"
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
    std::string checkLog;  // only check this log
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
    return Sha256Hex(bytes);
}

// ---- The production log ----
//
// A header line, then one JSON record a line. Each record carries the SHA-256 of the line
// before it ("prev") and, as its last field, the SHA-256 of itself without that field
// ("sha256"): a changed byte names its own record, and a record taken out or moved breaks the
// chain at the next one.

constexpr char kLogName[] = "tessel station log";
constexpr size_t kLogLimit = size_t{256} << 20;
constexpr char kSealKey[] = ",\"sha256\":\"";

std::string Sealed(Json record, const std::string& prev) {
    record["prev"] = prev;
    std::string text = record.dump();
    const std::string self = Sha256Hex(text);
    text.pop_back();  // the closing brace: the seal is the last field
    return text + kSealKey + self + "\"}";
}

// Why `line` is not a sealed record written after the line whose SHA-256 is `prev`; "" when
// it is, with the record in *record.
std::string CheckSeal(const std::string& line, const std::string& prev, Json* record) {
    const std::string key = kSealKey;
    const size_t at = line.rfind(key);
    if (at == std::string::npos || line.size() != at + key.size() + 64 + 2 ||
        line.compare(line.size() - 2, 2, "\"}") != 0)
        return "it carries no seal";
    const std::string text = line.substr(0, at) + "}";
    if (Sha256Hex(text) != line.substr(at + key.size(), 64)) return "it was changed after it was written";
    *record = Json::parse(text, nullptr, false);
    if (!record->is_object()) return "it is no JSON record";
    if (!record->contains("prev") || (*record)["prev"] != prev)
        return "it was not written after the record before it (one is missing, moved or changed)";
    return "";
}

// The log as it is appended to: each record sealed after the line before it.
struct ChainedLog {
    AppendFile file;
    std::string prev;  // the SHA-256 of the last line; "" before the header

    bool Append(const Json& record, std::string* why) {
        const std::string line = Sealed(record, prev);
        if (!file.Append(line + "\n", why)) return false;
        prev = Sha256Hex(line);
        return true;
    }
};

// What a walk through a log found: its records, the serial numbers still reserved without an
// outcome, and the first record that breaks the chain or the numbers.
struct LogWalk {
    size_t records = 0;
    std::string lastLine;
    std::map<uint64_t, size_t> open;  // serial -> the record that reserved it
    size_t broken = 0;                 // 0: none
    std::string why;
};

LogWalk WalkLog(const std::string& text) {
    LogWalk w;
    std::set<uint64_t> reserved;
    size_t at = 0;
    while (at < text.size() && !w.broken) {
        const size_t end = text.find('\n', at);
        ++w.records;
        if (end == std::string::npos) {
            w.broken = w.records;
            w.why = "it is cut off (no line end): a partial record";
            break;
        }
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        Json r;
        w.why = CheckSeal(line, w.records == 1 ? "" : Sha256Hex(w.lastLine), &r);
        if (w.why.empty() && w.records == 1 && r.value("log", "") != kLogName) w.why = "the log has no header";
        w.lastLine = line;
        if (!w.why.empty()) {
            w.broken = w.records;
            break;
        }
        if (!r.contains("serial") || !r["serial"].is_number_unsigned()) continue;
        const uint64_t serial = r["serial"].get<uint64_t>();
        const std::string result = r.value("result", "");
        if (result == "reserved") {
            if (!reserved.insert(serial).second) {
                w.broken = w.records;
                w.why = "serial number " + std::to_string(serial) + " is given a second time";
            }
            w.open[serial] = w.records;
        } else if (!w.open.erase(serial)) {
            w.broken = w.records;
            w.why = "serial number " + std::to_string(serial) + " has an outcome but was not reserved before it";
        }
    }
    return w;
}

// tessel station --check-log: 0 when the chain is whole and every number was given once and
// closed; 1 naming the first record that is not; 2 when the file cannot be read.
int CheckLog(const std::string& path, CommandResult& res) {
    res.command = "station";
    res.fields["log"] = path;
    std::string text, error;
    if (!ReadSmallFile(path, kLogLimit, &text, &error)) {
        res.summary = "station --check-log: " + error;
        return kExitUsage;
    }
    const LogWalk w = WalkLog(text);
    res.fields["records"] = w.records;
    if (w.broken) {
        res.fields["record"] = w.broken;
        res.summary = "log " + path + ": record " + std::to_string(w.broken) + ": " + w.why;
        return kExitFailed;
    }
    if (!w.open.empty()) {
        const auto& [serial, record] = *w.open.begin();
        res.fields["record"] = record;
        res.summary = "log " + path + ": record " + std::to_string(record) + ": serial number " +
                      std::to_string(serial) + " was reserved and has no outcome (its board is unknown)";
        return kExitFailed;
    }
    if (w.records == 0) {
        res.summary = "log " + path + ": empty";
        return kExitFailed;
    }
    res.summary = "log " + path + ": " + std::to_string(w.records) +
                  " records, the chain is whole, every serial number given once and closed";
    return kExitOk;
}

// The state file as the station writes it: "next N" and a line end, N at most one past the
// format's last number (then they are used up). Why not, or "".
std::string ParseState(const std::string& text, uint64_t limit, uint64_t* next) {
    const std::string_view head = "next ";
    const std::string_view digits = text.size() > head.size() + 1 && text.back() == '\n' && text.starts_with(head)
                                        ? std::string_view(text).substr(head.size(), text.size() - head.size() - 1)
                                        : std::string_view();
    if (digits.empty() || digits.size() > 20 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return "it does not hold \"next N\"";
    uint64_t n = 0;
    if (std::from_chars(digits.data(), digits.data() + digits.size(), n).ec != std::errc())
        return "its number is beyond every serial number";
    if (n > limit + 1)
        return "its number " + std::to_string(n) + " is beyond the format's last, " + std::to_string(limit);
    *next = n;
    return "";
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    const std::tm tm = UtcTimeOf(now);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// What the slots share: the serial numbers handed out, the log, the counts.
class Station {
public:
    Station(const StationOptions& o, ImageData image, uint32_t serialOffset, uint64_t nextSerial, ChainedLog& log)
        : o_(o), image_(std::move(image)), serialOffset_(serialOffset), next_(nextSerial),
          sha_(Sha256Of(o.board.file)), host_(console::HostName()), log_(log) {}

    bool Serials() const { return !o_.serialAt.empty(); }

    // The next number, reserved before any board holds it: the state file advanced and a
    // "reserved" record on the disk, so that a restart never hands it out again and every
    // number a board carries has a line in the log, whatever ends the run. A station that can
    // do neither, or has no number left, ends.
    bool TakeSerial(uint64_t* n, int slot, const std::string& port, std::string* why) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (next_ > SerialLimit(o_.serialFormat)) {
            *why = "the serial numbers of format " + o_.serialFormat + " are used up (the last is " +
                   std::to_string(SerialLimit(o_.serialFormat)) + ")";
            EndLocked(kExitFailed, *why);
            return false;
        }
        const std::string text = "next " + std::to_string(next_ + 1) + "\n";
        if (!WriteFileSafely(o_.serialState, text, why, FileMode::Private)) {
            EndLocked(kExitFailed, "the serial state could not be written: " + *why);
            return false;
        }
        const Json reserved = {{"time", UtcNow()}, {"host", host_}, {"slot", slot}, {"port", port},
                               {"result", "reserved"}, {"serial", next_}};
        if (!AppendLocked(reserved, why)) {
            EndLocked(kExitFailed, "the log could not be written: " + *why);
            return false;
        }
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
        EndLocked(exitCode, why);
    }

    // One record for each board, on the disk before the next board starts.
    bool Log(Json entry, std::string* why) {
        entry["image"] = o_.board.file;
        entry["image_sha256"] = sha_;
        entry["host"] = host_;
        std::lock_guard<std::mutex> lock(mutex_);
        return AppendLocked(entry, why);
    }

    int logged() const { return logged_; }

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
    ChainedLog& log_;
    int logged_ = 0;  // board outcomes on the disk

    void EndLocked(int exitCode, const std::string& why) {
        if (!ended_) {
            ended_ = true;
            endExit_ = exitCode;
            endWhy_ = why;
        }
    }
    bool AppendLocked(const Json& record, std::string* why) {
        if (!log_.Append(record, why)) return false;
        if (record.value("result", "") != "reserved") ++logged_;
        return true;
    }
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
            if (!station.TakeSerial(&n, slot, c.port, reason)) return false;
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
        const bool logged = station.Log(entry, &logWhy);
        if (!logged) {
            station.Say(name + ": the log could not be written: " + logWhy);
            station.End(kExitFailed, "the log could not be written: " + logWhy + "; " +
                                         std::to_string(station.logged()) + " boards are logged");
        }
        if (pass) {
            char line[160];
            std::snprintf(line, sizeof line, "%s: PASS board %d%s, %.1f s%s", name.c_str(), board,
                          serial ? (", serial " + SerialText(*serial)).c_str() : "", seconds,
                          logged ? "" : " (not in the log)");
            station.Say(line);
        } else {
            station.Say(name + ": FAIL board " + std::to_string(board) + ": " + reason +
                        (serial ? " (serial " + SerialText(*serial) + " void)" : "") +
                        (logged ? "" : " (not in the log)"));
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
        // The number has a place of its own: written over the image's bytes, it would change
        // the program the log vouches for.
        for (uint32_t k = serialOffset; k < serialOffset + width; ++k)
            if (image.IsDefined(k)) {
                res.summary = "station: nothing was done: the serial number at " + o.serialAt + "h (" +
                              std::to_string(width) + " bytes) overlaps " + o.board.file + ", which defines " +
                              AddressText(k);
                return kExitUsage;
            }
        // Only the image's bytes and the number's are the station's to write: the bytes in
        // between stay gaps, so that the number's sector is read, merged and verified as a
        // download keeps a sector's other bytes, and nothing else of the block is erased.
        if (image.defined.empty()) image.defined.assign(image.bytes.size(), true);
        if (image.bytes.size() < serialOffset + width) {
            image.bytes.resize(serialOffset + width, 0xFF);
            image.defined.resize(serialOffset + width, false);
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
    std::error_code ec;
    for (const std::string& f : {o.serialState, o.log})
        if (!f.empty()) std::filesystem::create_directories(std::filesystem::path(f).parent_path(), ec);
    auto refuse = [&](const std::string& why) {
        res.summary = "station: nothing was done: " + why;
        return kExitUsage;
    };
    // Held for the whole run: one station a port, and one a run of serial numbers.
    std::vector<std::unique_ptr<InstanceLock>> locks;
    auto lock = [&](const std::string& name, const std::string& folder, const std::string& inUse, std::string* why) {
        auto l = std::make_unique<InstanceLock>(name, folder);
        std::string error;
        if (l->TryAcquire(&error)) {
            locks.push_back(std::move(l));
            return true;
        }
        *why = l->HolderPid() ? inUse + " (pid " + std::to_string(l->HolderPid()) + ")"
                              : "cannot lock " + l->Path() + ": " + error;
        return false;
    };
    for (const std::string& p : ports) {
        std::string name = "station-port" + DeviceIdentity(p), why;
        // A file name on every system: Windows' port names ("\\.\COM3") hold backslashes.
        for (char& ch : name)
            if (ch == '/' || ch == ':' || ch == '\\') ch = '_';
        if (!lock(name + ".lock", "", "port in use: " + p + " is served by another station", &why)) return refuse(why);
    }
    // The next serial number: where the last run left off, and never below --serial-start. A
    // state file is made by the station alone: anything else in it ends the run here.
    uint64_t next = static_cast<uint64_t>(o.serialStart);
    if (!o.serialAt.empty()) {
        const std::filesystem::path state(o.serialState);
        std::string why, text;
        // Made afresh only when there is none; then --serial-start says where numbering begins.
        // Read once before the lock is taken beside it, so that a device or a FIFO named here
        // gets no lock file next to it, and again once the run of numbers is ours.
        auto readState = [&](uint64_t* stored) {
            const std::filesystem::file_status status = std::filesystem::symlink_status(state, ec);
            if (std::filesystem::is_symlink(status)) {
                why = o.serialState + " is a symbolic link";
                return false;
            }
            if (!std::filesystem::exists(status)) return true;
            if (!ReadSmallFile(o.serialState, 64, &text, &why)) return false;
            why = ParseState(text, SerialLimit(o.serialFormat), stored);
            if (!why.empty()) why = o.serialState + ": " + why;
            return why.empty();
        };
        uint64_t stored = 0;
        if (!readState(&stored)) return refuse(why);
        if (!lock(state.filename().string() + ".lock", state.parent_path().string(),
                  "serial numbers in " + o.serialState + " are in use by another station", &why))
            return refuse(why);
        if (!readState(&stored)) return refuse(why);
        next = std::max(next, stored);
        if (next > SerialLimit(o.serialFormat)) {
            res.summary = "station: nothing was done: the serial numbers of format " + o.serialFormat + " in " +
                          o.serialState + " are used up (the last is " +
                          std::to_string(SerialLimit(o.serialFormat)) + ")";
            return kExitFailed;
        }
    }
    // The log: a regular file in a folder the station can write, checked whole before the
    // first board; numbers an earlier run reserved and never closed are closed as unknown.
    ChainedLog log;
    std::string logText, logWhy;
    if (!log.file.Open(o.log, &logWhy))
        return refuse("the log " + (o.log.empty() ? std::string("(--log \"\")") : o.log) + ": " + logWhy);
    if (!ReadSmallFile(o.log, kLogLimit, &logText, &logWhy)) return refuse(logWhy);
    const LogWalk walk = WalkLog(logText);
    if (walk.broken)
        return refuse(o.log + ": record " + std::to_string(walk.broken) + ": " + walk.why +
                      "; it is not appended to (tessel station --check-log " + o.log + ")");
    if (walk.records) log.prev = Sha256Hex(walk.lastLine);
    auto append = [&](const Json& record) { return log.Append(record, &logWhy); };
    if (walk.records == 0 && !append({{"log", kLogName}, {"version", 1}, {"time", UtcNow()}, {"host", console::HostName()}}))
        return refuse(logWhy);
    for (const auto& [serial, record] : walk.open) {
        const std::string why =
            "reserved in record " + std::to_string(record) + " by a run that ended before its board's outcome";
        if (!append({{"time", UtcNow()}, {"host", console::HostName()}, {"result", "unknown"}, {"serial", serial},
                     {"reason", why}}))
            return refuse(logWhy);
        std::printf("serial %s: %s: that board's outcome is unknown\n", SerialText(serial).c_str(), why.c_str());
    }

    std::string why;
    const std::string folder = MakePrivateTempDir("tessel-station-", &why);
    if (folder.empty()) {
        res.summary = "station: nothing was done: no private folder for the boards' images: " + why;
        return kExitFailed;
    }
    Station station(o, std::move(image), serialOffset, next, log);
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
    cmd->add_option("file", o->board.file, "The image (Intel HEX or binary), checked once at the start");
    cmd->add_option("--check-log", o->checkLog,
                    "Check a station log and end: its chain of records whole, every serial number given once "
                    "and closed (exit 0), or the first record that is not (exit 1)");
    OneOf(cmd->add_option("--format", o->board.format, std::string("How to take the file: ") + kFormatAuto),
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
        if (!o->checkLog.empty()) {
            state.exitCode = CheckLog(o->checkLog, state.result);
            return;
        }
        if (o->board.file.empty()) {
            state.result.command = "station";
            state.result.summary = "station: nothing was done: name the image to program (or --check-log LOG)";
            state.exitCode = kExitUsage;
            return;
        }
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
