// tessel station: a production bench. Each port is a slot that waits for a board, programs
// it as `tessel download` would (with a serial number of its own if asked), says PASS or FAIL
// in one line, logs it, and waits for the board to be taken away before it accepts the next.

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
#include "ledger/Ledger.h"
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
    std::string ledger;  // a file (SQLite) or a postgresql:// URI
    std::string log;     // a live JSON-lines copy of this station's records; "": none
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

using ledger::Escaped;
using ledger::Ledger;

constexpr size_t kLogLimit = size_t{256} << 20;

// The station's live copy of its records: a chain of its own, sealed as the ledger's, so that
// --check-log verifies it as it verifies a ledger's export.
struct ChainedLog {
    AppendFile file;
    std::string prev;  // the SHA-256 of the last line; "" before the header

    bool Append(const Json& record, std::string* why) {
        const std::string line = ledger::Sealed(record, prev);
        if (!file.Append(line + "\n", why)) return false;
        prev = Sha256Hex(line);
        return true;
    }
};

}  // namespace

int CheckRecords(const std::string& what, const std::string& text, CommandResult& res) {
    const ledger::LogWalk w = ledger::WalkLog(text);
    res.fields["records"] = w.records;
    size_t record = 0;
    const std::string why = ledger::Verdict(w, &record);
    if (!why.empty()) {
        if (record) res.fields["record"] = record;
        res.summary = what + ": " + (record ? "record " + std::to_string(record) + ": " : "") + why;
        return kExitFailed;
    }
    res.summary = what + ": " + std::to_string(w.records) +
                  " records, the chain is whole, every serial number given once and closed";
    return kExitOk;
}

namespace {

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
    return CheckRecords("log " + path, text, res);
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
    Station(const StationOptions& o, ImageData image, uint32_t serialOffset, Ledger& ledger, ChainedLog* log)
        : o_(o), image_(std::move(image)), serialOffset_(serialOffset), sha_(Sha256Of(o.board.file)),
          host_(console::HostName()), ledger_(ledger), log_(log) {}

    bool Serials() const { return !o_.serialAt.empty(); }

    // The next number, reserved in the ledger before any board holds it, so that no station
    // anywhere hands it out again and every number a board carries has a record, whatever
    // ends the run. A station that cannot reserve, or has no number left, ends.
    bool TakeSerial(uint64_t* n, int slot, const std::string& port, std::string* why) {
        std::lock_guard<std::mutex> lock(mutex_);
        const Json reserved = {{"time", UtcNow()}, {"host", host_}, {"pid", console::ProcessId()}, {"slot", slot},
                               {"port", Escaped(port)}, {"result", "reserved"}};
        std::string line;
        switch (ledger_.Reserve(static_cast<uint64_t>(o_.serialStart), SerialLimit(o_.serialFormat), reserved, n,
                                &line, why)) {
            case ledger::Reserved::UsedUp:
                *why = "the serial numbers of format " + o_.serialFormat + " in " + ledger_.Name() +
                       " are used up (the last is " + std::to_string(SerialLimit(o_.serialFormat)) + ")";
                EndLocked(kExitFailed, *why);
                return false;
            case ledger::Reserved::Failed:
                *why = "no serial number could be reserved in " + ledger_.Name() + ": " + *why;
                EndLocked(kExitFailed, *why);
                return false;
            case ledger::Reserved::Ok:
                break;
        }
        next_ = *n + 1;
        if (!CopyLocked(line, why)) {
            EndLocked(kExitFailed, "the log could not be written: " + *why);
            return false;
        }
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

    // One record for each board, in the ledger (and the log) before the next board starts;
    // "" when it is, or where it is not.
    std::string Log(Json entry, std::string* why) {
        entry["image"] = Escaped(o_.board.file);
        entry["image_sha256"] = sha_;
        entry["host"] = host_;
        std::lock_guard<std::mutex> lock(mutex_);
        std::string line;
        if (!ledger_.Append(entry, &line, why)) return "ledger";
        ++logged_;
        return CopyLocked(line, why) ? "" : "log";
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
    std::optional<uint64_t> nextSerial() const { return next_; }

private:
    const StationOptions& o_;
    const ImageData image_;
    const uint32_t serialOffset_;
    std::mutex mutex_;
    std::optional<uint64_t> next_;
    int boards_ = 0, passed_ = 0, failed_ = 0;
    double passSeconds_ = 0;
    bool ended_ = false;
    int endExit_ = kExitOk;
    std::string endWhy_;
    const std::string sha_;
    const std::string host_;
    Ledger& ledger_;
    ChainedLog* log_;
    int logged_ = 0;  // board outcomes in the ledger

    void EndLocked(int exitCode, const std::string& why) {
        if (!ended_) {
            ended_ = true;
            endExit_ = exitCode;
            endWhy_ = why;
        }
    }
    // The live copy of a record the ledger holds, sealed in the log's own chain.
    bool CopyLocked(const std::string& line, std::string* why) {
        if (!log_) return true;
        Json record = Json::parse(line);
        record.erase("prev");
        record.erase("sha256");
        return log_->Append(record, why);
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
        Json entry = {{"time", UtcNow()}, {"slot", slot}, {"port", Escaped(c.port)}, {"board", board},
                      {"result", pass ? "pass" : "fail"}, {"seconds", std::round(seconds * 1000) / 1000}};
        const std::string adapter = IsSchemeName(c.port, "sim") ? "" : AdapterSerialOf(c.port);
        entry["adapter_serial"] = adapter.empty() ? Json() : Json(Escaped(adapter));
        entry["chip"] = c.chip;
        entry["loader"] = events.LastChip() ? Json(events.LastChip()->firmware) : Json();
        entry["serial"] = serial ? Json(*serial) : Json();
        if (serial && !pass) entry["serial_void"] = true;
        Json steps = Json::array();
        for (const Phase& p : events.Phases())
            steps.push_back({{"step", p.label}, {"seconds", std::round(p.seconds * 1000) / 1000}, {"ok", p.ok}});
        entry["steps"] = steps;
        if (!pass) entry["reason"] = Escaped(reason);
        std::string logWhy;
        // Where the record is missing: "ledger" (nowhere) or "log" (in the ledger only).
        const std::string missing = station.Log(entry, &logWhy);
        const bool logged = missing.empty();
        if (!logged) {
            station.Say(name + ": the " + missing + " could not be written: " + logWhy);
            station.End(kExitFailed, "the " + missing + " could not be written: " + logWhy + "; " +
                                         std::to_string(station.logged()) + " boards are in the ledger");
        }
        if (pass) {
            char line[160];
            std::snprintf(line, sizeof line, "%s: PASS board %d%s, %.1f s%s", name.c_str(), board,
                          serial ? (", serial " + SerialText(*serial)).c_str() : "", seconds,
                          logged ? "" : (" (not in the " + missing + ")").c_str());
            station.Say(line);
        } else {
            station.Say(name + ": FAIL board " + std::to_string(board) + ": " + reason +
                        (serial ? " (serial " + SerialText(*serial) + " void)" : "") +
                        (logged ? "" : " (not in the " + missing + ")"));
        }
        // One board is never taken for the next: wait until it has gone.
        announced = false;
        while (InterruptSignal() == 0 && LoaderAnswers(c)) Pause(kProbePauseMs);
        // A board that fell silent gives no answer at once; the line stays quiet a moment
        // before the next board is looked for, as while boards are swapped.
        Pause(kProbePauseMs);
    }
}

// Where each board's number goes: its offset, with the image grown by gaps up to it; the
// reason it cannot go there otherwise.
std::string PlaceSerial(const StationOptions& o, const std::string& chip, uint32_t limit, ImageData& image,
                        uint32_t* offset) {
    if (o.serialAt.empty()) return "";
    *offset = static_cast<uint32_t>(std::stoul(o.serialAt, nullptr, 16));
    const uint32_t serialOffset = *offset;
    const uint32_t width = static_cast<uint32_t>(SerialBytes(0, o.serialFormat).size());
    if (serialOffset + width > limit)
        return "the serial number at " + o.serialAt + "h does not fit " + chip + "'s block 0";
    // The number has a place of its own: written over the image's bytes, it would change
    // the program the log vouches for.
    for (uint32_t k = serialOffset; k < serialOffset + width; ++k)
        if (image.IsDefined(k))
            return "the serial number at " + o.serialAt + "h (" + std::to_string(width) + " bytes) overlaps " +
                   o.board.file + ", which defines " + AddressText(k);
    // Only the image's bytes and the number's are the station's to write: the bytes in
    // between stay gaps, so that the number's sector is read, merged and verified as a
    // download keeps a sector's other bytes, and nothing else of the block is erased.
    if (image.defined.empty()) image.defined.assign(image.bytes.size(), true);
    if (image.bytes.size() < serialOffset + width) {
        image.bytes.resize(serialOffset + width, 0xFF);
        image.defined.resize(serialOffset + width, false);
    }
    return "";
}

// Two outputs on one file would write over each other's records: the reason, when two do.
std::string SharedOutput(const StationOptions& o, const std::string& traceWire) {
    std::error_code ec;
    auto same = [&](const std::string& a, const std::string& b) {
        if (a.empty() || b.empty()) return false;
        if (std::filesystem::equivalent(a, b, ec)) return true;
        return std::filesystem::weakly_canonical(a, ec) == std::filesystem::weakly_canonical(b, ec);
    };
    const std::string fileLedger = ledger::IsServerLedger(o.ledger) ? std::string() : o.ledger;
    const struct {
        const char* first;
        const std::string& a;
        const char* second;
        const std::string& b;
    } outputs[] = {{"--ledger", fileLedger, "--log", o.log},
                   {"--log", o.log, "--trace-wire", traceWire},
                   {"--ledger", fileLedger, "--trace-wire", traceWire}};
    for (const auto& out : outputs)
        if (same(out.a, out.b))
            return std::string(out.first) + " and " + out.second + " name one file, " + out.b + ": each needs its own";
    return "";
}

// The log copy is this station's alone: held for the whole run, and checked whole before it
// is appended to; a run that ended mid-board left its last reservation open in it, which is
// closed as unknown here (the ledger closes its own below). The reason it cannot be used.
std::string OpenLogCopy(const std::string& log, ChainedLog& logCopy, std::unique_ptr<InstanceLock>& logLock) {
    std::error_code ec;
    const std::filesystem::path path(log);
    std::string logWhy;
    if (!logCopy.file.Open(log, &logWhy)) return "the log " + log + ": " + logWhy;
    // The lock lives in the runtime folder, not beside the log: a log on a full disk must
    // still be found full by its own first record, not by a lock file.
    std::string lockName = "station-log" + std::filesystem::weakly_canonical(path, ec).string() + ".lock";
    for (char& ch : lockName)
        if (ch == '/' || ch == ':' || ch == '\\') ch = '_';
    logLock = std::make_unique<InstanceLock>(lockName);
    if (!logLock->TryAcquire(&logWhy))
        return logLock->HolderPid() ? "the log " + log + " is written by another station (pid " +
                                          std::to_string(logLock->HolderPid()) + ")"
                                    : "cannot lock " + logLock->Path() + ": " + logWhy;
    std::string logText;
    if (!ReadSmallFile(log, kLogLimit, &logText, &logWhy)) return logWhy;
    const ledger::LogWalk walk = ledger::WalkLog(logText);
    if (walk.broken)
        return log + ": record " + std::to_string(walk.broken) + ": " + walk.why +
               "; it is not appended to (tessel station --check-log " + log + ")";
    if (walk.records) logCopy.prev = Sha256Hex(walk.lastLine);
    if (walk.records == 0 &&
        !logCopy.Append({{"log", ledger::kLogName}, {"version", 1}, {"time", UtcNow()}, {"host", console::HostName()}},
                        &logWhy))
        return logWhy;
    for (const auto& [serial, record] : walk.open)
        if (!logCopy.Append({{"time", UtcNow()}, {"host", console::HostName()}, {"result", "unknown"},
                             {"serial", serial}, {"reason", "reserved in record " + std::to_string(record) +
                                                                " of the log by a run that ended before its outcome"}},
                            &logWhy))
            return logWhy;
    return "";
}

// Reservations this host made in a run that has ended, before its board's outcome, are
// closed as unknown; those of a station still running, here or elsewhere, stay open. The
// ledger's complaint when it cannot be done.
std::string CloseEndedRuns(Ledger& ledger) {
    std::string why;
    std::vector<ledger::OpenReservation> open;
    if (!ledger.Unclosed(&open, &why)) return "the ledger " + ledger.Name() + ": " + why;
    for (const ledger::OpenReservation& r : open) {
        if (r.host != console::HostName() || (r.pid && console::ProcessRunning(r.pid))) continue;
        const std::string reason =
            "reserved in record " + std::to_string(r.record) + " by a run that ended before its board's outcome";
        std::string line;
        if (!ledger.Append({{"time", UtcNow()}, {"host", console::HostName()}, {"result", "unknown"},
                            {"serial", r.serial}, {"reason", reason}},
                           &line, &why))
            return "the ledger " + ledger.Name() + ": " + why;
        std::printf("serial %s: %s: that board's outcome is unknown\n", SerialText(r.serial).c_str(), reason.c_str());
    }
    return "";
}

int RunStation(const StationOptions& o, RunState& state) {
    CommandResult& res = state.result;
    res.command = "station";
    res.fields["file"] = o.board.file;
    auto refuse = [&](const std::string& why) {
        res.summary = "station: nothing was done: " + why;
        return kExitUsage;
    };
    std::vector<std::string> ports;
    if (!CollectPorts(o.ports, state.connect.port, state.events, &ports)) return kExitUsage;
    if (ports.empty()) return refuse("name the slots' ports with --port, --ports-from or --all-usb");
    for (const std::string& p : ports)
        if (IsSchemeName(p, "sim"))
            return refuse("the stand-in board in this process cannot be swapped; serve boards with tessel-sim "
                          "--boards N and name its device");
    // The image is read and checked once, against the chip the bench is set up for.
    ImageData image;
    if (const std::string why = ReadImageForCommand(o.board.file, o.board.format, &image); !why.empty())
        return refuse(why);
    ConnectOptions base = state.connect;
    // Every board is erased: the chip type is the operator's to name, never a default.
    if (base.chip.empty()) return refuse(kChipTypeNotReported);
    CDeviceSession geometry(nullptr);
    geometry.chipType = ChipCodeForModel(base.chip).value_or(0);
    geometry.RefreshGeometry();
    const uint32_t limit = base.mode == "internal" ? static_cast<uint32_t>(geometry.BlockSize(0)) : 0x10000u;
    uint32_t serialOffset = 0;
    if (const std::string why = PlaceSerial(o, base.chip, limit, image, &serialOffset); !why.empty())
        return refuse(why);
    if (image.bytes.size() > limit) return refuse(o.board.file + " does not fit " + base.chip + "'s block 0");
    if (!base.yes) return refuse("a station erases and programs every board it meets; give --yes");
    if (const std::string why = SharedOutput(o, base.traceWire); !why.empty()) return refuse(why);
    std::error_code ec;
    const bool fileLedger = !ledger::IsServerLedger(o.ledger);
    // Every port held from the first board to the last, against every user and program, as
    // every command takes a port: a second station on one is refused here.
    std::vector<std::unique_ptr<PortHold>> holds;
    for (const std::string& p : ports) {
        OpenError error;
        auto hold = HoldSystemPort(p, &error);
        if (!hold) {
            res.summary = "station: nothing was done: port in use or not there: " + error.reason;
            return kExitPortError;
        }
        holds.push_back(std::move(hold));
    }
    for (const std::string& f : {fileLedger ? o.ledger : std::string(), o.log})
        if (!f.empty()) std::filesystem::create_directories(std::filesystem::path(f).parent_path(), ec);
    std::string why;
    std::unique_ptr<Ledger> ledger = Ledger::Open(o.ledger, &why);
    if (!ledger) return refuse(why);
    std::unique_ptr<InstanceLock> logLock;
    ChainedLog logCopy;
    if (!o.log.empty())
        if (const std::string logWhy = OpenLogCopy(o.log, logCopy, logLock); !logWhy.empty()) return refuse(logWhy);
    if (!o.serialAt.empty()) {
        // --serial-start begins a new ledger; one that holds numbers goes on from its own next.
        std::optional<uint64_t> next;
        if (!ledger->Next(&next, &why)) return refuse("the ledger " + ledger->Name() + ": " + why);
        const uint64_t start = static_cast<uint64_t>(o.serialStart);
        if (next && *next > start)
            std::printf("ledger %s: serial numbers go on from %s, the ledger's next\n", ledger->Name().c_str(),
                        SerialText(*next).c_str());
        else if (next && *next < start)
            std::printf("ledger %s: serial numbers move on from %s to --serial-start %s\n", ledger->Name().c_str(),
                        SerialText(*next).c_str(), SerialText(start).c_str());
        if (std::max(next.value_or(start), start) > SerialLimit(o.serialFormat)) {
            res.summary = "station: nothing was done: the serial numbers of format " + o.serialFormat + " in " +
                          ledger->Name() + " are used up (the last is " + std::to_string(SerialLimit(o.serialFormat)) + ")";
            return kExitFailed;
        }
    }
    if (const std::string stale = CloseEndedRuns(*ledger); !stale.empty()) return refuse(stale);
    std::fflush(stdout);

    const std::string folder = MakePrivateTempDir("tessel-station-", &why);
    if (folder.empty()) {
        res.summary = "station: nothing was done: no private folder for the boards' images: " + why;
        return kExitFailed;
    }
    Station station(o, std::move(image), serialOffset, *ledger, o.log.empty() ? nullptr : &logCopy);
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
    res.fields["ledger"] = ledger->Name();
    if (!o.log.empty()) res.fields["log"] = o.log;
    if (station.nextSerial()) res.fields["next_serial"] = *station.nextSerial();
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
                    "The first serial number of a new ledger; on one that holds numbers, the station goes on from "
                    "the ledger's next unless this is above it")
        ->check(Between(0, 0xFFFFFFFFll));
    OneOf(cmd->add_option("--serial-format", o->serialFormat,
                          "How the number is written: le32, be32 (four bytes), bcd (eight digits in four bytes), "
                          "ascii (eight digits)"),
          {"le32", "be32", "bcd", "ascii"});
    o->ledger = UserStateDir() + "/station.sqlite";
    cmd->add_option("--ledger", o->ledger,
                    "Where the serial numbers and the record of every board are kept: an SQLite file (default: "
                    "station.sqlite in the state folder) or a postgresql:// URI shared by a line of hosts");
    cmd->add_option("--log", o->log, "Also write this station's records to FILE as they are made, as chained JSON lines");
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
