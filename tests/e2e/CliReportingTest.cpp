// What the command line tells its user and a machine: progress on a terminal and in a pipe,
// one result line per command, option values refused before any port is touched, the JSON
// events, the one-pass download, and the password asked only when the chip wants one.

#include <gtest/gtest.h>
#include <sys/inotify.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "support/CliRun.h"
#include "support/PtyProcess.h"

namespace tessel {
namespace {

using nlohmann::json;
using test::kCli;
using test::kSample;
using test::LastLine;
using test::Lines;
using test::SimOnPty;
using test::TempFolder;
using test::WriteBytes;
using Outcome = test::CliRun;

Outcome Tessel(std::vector<std::string> args, const std::vector<std::string>& env = {}, bool withStderr = false) {
    return test::RunTessel(std::move(args), env, withStderr);
}

// Every bad value is refused by the parser, in either place, with the choices named and
// nothing else printed; the port is never opened, as the watch on it would see.
TEST(CliOptions, BadValuesExitTwoBeforeThePortIsOpened) {
    const TempFolder dir;
    const std::string port = dir + "/ttyWatched";
    std::ofstream(port) << "";
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, port.c_str(), IN_OPEN), 0);
    auto opened = [&] {
        char buf[4096];
        bool any = false;
        while (read(watch, buf, sizeof buf) > 0) any = true;
        return any;
    };
    // The cause in one line, the choices or the range named, at most a hint after it, whichever
    // side of the command the option stands; a mistyped command answered with the nearest one.
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"detect", "-p", port, "--crystal", "nan"}, "--crystal"},
        {{"-p", port, "--crystal", "nan", "detect"}, "--crystal"},
        {{"--mode", "sideways", "-p", port, "detect"}, "{internal,external}"},
        {{"detect", "-p", port, "--baud", "12345"}, "38400"},
        {{"baud", "--crystal", "nan"}, "--crystal"},
        {{"-p", port, "--chip", "XYZ", "detect"}, "NX31H64D"},
        {{"download", "-p", port, "--lock", "9", kSample}, "--lock"},
        {{"read", "-p", port, "--count", "-1"}, "--count must be 1 to 512 (0: to the end of the block)"},
        {{"read", "-p", port, "--start-sector", "99999999999999999999"}, "--start-sector must be 0 to 511"},
        {{"dowload", "-p", port, kSample}, "tessel: unknown command 'dowload'; did you mean 'download'?"},
        {{"help", "password", "chnage"}, "tessel password: unknown command 'chnage'; did you mean 'change'?"},
        {{"frobnicate"}, "tessel: unknown command 'frobnicate'; tessel --help lists the commands"},
        {{"download", "-p", port, "--verfy", kSample}, "tessel download: unknown option --verfy; did you mean --verify?"},
        // A file the command could never write is refused before it reads the chip.
        {{"save", "-p", port, "--count", "1", dir + "/no/dir/s.bin"}, dir + "/no/dir/s.bin: No such file or directory"},
        {{"convert", kSample, dir + "/no/dir/b.bin"}, dir + "/no/dir/b.bin: No such file or directory"},
        {{"detect", "-p", port, "--trace-wire", dir}, dir + " is not a regular file"},
    };
    for (const auto& [args, cause] : refused) {
        const Outcome r = Tessel(args, {}, true);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(Lines(r.out).front().find(cause), std::string::npos) << r.out;
        EXPECT_LE(Lines(r.out).size(), 2u) << "one line for the cause, at most a hint:\n" << r.out;
        EXPECT_FALSE(opened()) << args[0] << " " << cause;
    }

    // `help COMMAND` is the command's own help, whatever the command requires; no help shows a
    // default its option refuses or speaks of the window's buttons and dialogs, and the cable
    // test's only the options it uses.
    const Outcome help = Tessel({"help", "download"}, {}, true);
    EXPECT_TRUE(help.status == 0 && help.Says("\nUsage: tessel download [OPTIONS] file\n")) << help.out;
    for (const char* command : {"download", "lock", "baud", "cable-test", "read", "edit"}) {
        const std::string text = Tessel({"help", command}).out;
        EXPECT_FALSE(std::regex_search(text, std::regex(R"(=\S* REQUIRED|=\[\]|=-1|--lock \S+=|[Bb]utton|[Dd]ialog)"))) << text;
    }
    const Outcome cable = Tessel({"help", "cable-test"});
    EXPECT_TRUE(cable.Says("default 38400")) << cable.out;
    for (const char* unused : {"--chip", "--crystal", "--mode", "the best rate for the crystal"})
        EXPECT_FALSE(cable.Says(unused)) << unused << "\n" << cable.out;

    const Outcome good = Tessel({"detect", "-p", port}, {}, true);
    EXPECT_TRUE(good.status != 0 && good.status != 2) << good.out;
    EXPECT_TRUE(opened()) << "a good command line does open the port";
    close(watch);
}

// On a terminal the user is told to reset the board and how long the tool waits (not the
// window's "Click on OK"), and a bar that has finished stays full with its time.
TEST(CliProgress, OnATerminalAFinishedBarStaysFullWithItsTime) {
    test::PtyProcess p({kCli, "download", "-p", "sim:NX31A32", "-y", kSample}, {}, 80);
    EXPECT_EQ(p.Finish(), 0) << p.Output();
    const size_t advice = p.Output().find("reset the board now");
    EXPECT_TRUE(advice != std::string::npos && p.Output().find("waiting up to 12 s", advice) != std::string::npos &&
                p.Output().find("Click on OK") == std::string::npos)
        << p.Output();
    const std::regex bar(R"(^(\w[\w ]*?)\s+\[([# ]+)\]\s+(\d+)%\s+(.*)$)");
    const std::regex finished(R"(^\d+ (bytes|sectors?) in \d+\.\d s)");
    std::map<std::string, bool> done;
    int bars = 0;
    // Every redraw after a carriage return or a newline, in turn.
    std::string redraws = p.Output();
    std::replace(redraws.begin(), redraws.end(), '\r', '\n');
    for (const std::string& raw : Lines(redraws)) {
        const std::string part = std::regex_replace(raw, std::regex("\x1b\\[K"), "");
        EXPECT_FALSE(std::regex_search(part, std::regex(R"(^\s*\[[# ]*\])"))) << "a bar without a label: " << part;
        std::smatch m;
        if (!std::regex_match(part, m, bar)) continue;
        EXPECT_LT(part.size(), 80u) << "a redraw wider than the terminal wraps: " << part;
        ++bars;
        const std::string label = m[1];
        EXPECT_TRUE(label != "Done" && label != "Abort") << "the end of an operation is not an operation";
        if (done[label]) ADD_FAILURE() << label << " redrawn after it finished: " << part;
        if (std::regex_search(m[4].str(), finished)) {
            EXPECT_EQ(m[3], "100") << part;
            done[label] = true;
        }
    }
    EXPECT_TRUE(bars >= 4 && done["Erasing"] && done["Writing"]) << p.Output();
    // Help fits the terminal; a dumb terminal gets the plain lines of a log.
    test::PtyProcess help({kCli, "help", "download"}, {}, 80);
    EXPECT_EQ(help.Finish(), 0);
    for (const std::string& line : Lines(help.Output())) EXPECT_LT(line.size(), 80u) << line;
    test::PtyProcess dumb({kCli, "download", "-p", "sim:NX31A32", "-y", kSample}, {"TERM=dumb"}, 80);
    EXPECT_EQ(dumb.Finish(), 0) << dumb.Output();
    EXPECT_TRUE(dumb.Output().find("\x1b[") == std::string::npos && dumb.Output().find("Writing: done, ") != std::string::npos)
        << dumb.Output();
}

TEST(CliProgress, InAPipeEachOperationSaysWhenItStartsAndEndsAndQuietSaysOnlyTheResult) {
    const Outcome r = Tessel({"download", "-p", "sim:NX31A32", "-y", kSample}, {}, true);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << "no redraws in a log";
    // Each operation's start and end on its own line, in turn, and no 0% line between them.
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\nErasing: 1 sector\n([\s\S]*\n)?Erasing: done, 1 sector in \d+\.\d s\n)"
                                                    R"(([\s\S]*\n)?Writing: \d+ bytes\n([\s\S]*\n)?Writing: done, \d+ bytes in \d+\.\d s\n)")))
        << r.out;
    EXPECT_EQ(r.out.find(" 0%"), std::string::npos) << r.out;

    const Outcome quiet = Tessel({"download", "-q", "-p", "sim:NX31A32", "-y", kSample}, {}, true);
    EXPECT_EQ(quiet.status, 0) << quiet.out;
    EXPECT_TRUE(Lines(quiet.out).size() == 1 && quiet.out.rfind("downloaded ", 0) == 0) << quiet.out;
}

struct Case {
    std::vector<std::string> args;  // "PORT" stands for the board's port
    int status;
    std::string last;  // what the last line starts with
};

void Check(const std::string& port, const Case& c) {
    // The detection's own status line is detect's outcome, and no other command's.
    const bool detect = c.args.front() == "detect";
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(a == "PORT" ? port : a);
    // A board on a pseudo-terminal does not say what it is: these are NX31A32s unless named.
    if (port.rfind("sim:", 0) != 0 && c.args.front() != "cable-test" &&
        std::find(args.begin(), args.end(), "--chip") == args.end() &&
        std::find(c.args.begin(), c.args.end(), "PORT") != c.args.end())
        args.insert(args.end(), {"--chip", "NX31A32"});
    // A failure's result line is an error: it is on stderr.
    const Outcome r = Tessel(args, {}, c.status != 0);
    std::string all;
    for (const auto& a : args) all += a + " ";
    EXPECT_EQ(r.status, c.status) << all << "\n" << r.out;
    EXPECT_EQ(LastLine(r.out).rfind(c.last, 0), 0u) << all << "\nlast line: " << LastLine(r.out);
    EXPECT_EQ(r.out.find("IAP Status: Password Verify succeed"), std::string::npos) << all << "\n" << r.out;
    if (!detect) {
        EXPECT_EQ(r.out.find("IAP Status: Detect target MCU"), std::string::npos) << all << "\n" << r.out;
    }
}

TEST(CliResults, EverySuccessfulCommandEndsWithItsOwnOutcome) {
    const TempFolder dir;
    SimOnPty board({"--chip", "NX31A32"});
    const std::vector<Case> cases = {
        {{"detect", "-p", "PORT"}, 0, "detected NX31A32 (chosen, not reported by the loader) with loader v1.1F"},
        // The sample defines 18 bytes between 0000h and 003Eh; the gap between them is left alone.
        {{"download", "-p", "PORT", "-y", kSample}, 0, "downloaded " + kSample + ": 18 bytes in 1 sector at 0000h-003Eh, verified, "},
        {{"compare", "-p", "PORT", kSample}, 0, "compare: " + kSample + " matches the flash, 18 bytes at 0000h-003Eh"},
        {{"read", "-p", "PORT", "--count", "4"}, 0, "read 4 sectors at 0000h-01FFh, 1 not blank"},
        {{"save", "-p", "PORT", "--count", "1", dir + "/s.bin"}, 0, "saved 1 sector at 0000h-007Fh to " + dir + "/s.bin"},
        {{"edit", "-p", "PORT", "0000"}, 0, "edit: read 16 bytes at 0000h of block 0"},
        {{"erase", "-p", "PORT", "-y", "--start-sector", "2", "--count", "2"}, 0, "erased 2 sectors from sector 2 at 0100h-01FFh"},
        {{"lock", "-p", "PORT", "--mode", "external", "-y", "2"}, 0, "lock option 2 programmed; the chip now reports SECURITY"},
        {{"run", "-p", "PORT"}, 0, "user code started"},
        {{"baud", "--crystal", "11.0592"}, 0, "baud: 38400 baud for a 11.0592 MHz crystal"},
    };
    for (const Case& c : cases) Check(board.pty, c);
    SimOnPty cable({"--chip", "NX31A32", "--loopback"});
    Check(cable.pty, {{"cable-test", "-p", "PORT", "-y"}, 0, "cable test passed: the three bytes came back on "});
    // The window's boxes reach the terminal only when asked for with -v.
    for (const bool verbose : {false, true}) {
        std::vector<std::string> args = {"cable-test", "-p", cable.pty, "-y"};
        if (verbose) args.push_back("-v");
        const Outcome told = Tessel(args, {}, true);
        EXPECT_EQ(told.Says("Serial connection is correct!"), verbose) << told.out;
    }
    SimOnPty hl({"--chip", "NX31H64D"});
    Check(hl.pty, {{"double-clock", "-p", "PORT", "--chip", "NX31H64D", "-y"}, 0, "the double-clock bit programmed; the chip now reports"});
    // The stub-driven commands run on the in-process board: a stand-in stub never goes to a pty.
    WriteBytes(dir + "/pw", std::vector<uint8_t>{'a', 'b', 'c'});
    WriteBytes(dir + "/loader.bin", std::vector<uint8_t>(1024, 0xA5));
    Check("sim:NX31A32", {{"password", "set", "-p", "PORT", "-y", "--new-password-file", dir + "/pw"}, 0, "password set"});
    Check("sim:NX31A32", {{"upgrade-bsl", "-p", "PORT", "-y", dir + "/loader.bin"}, 0,
                          "boot loader replaced with " + dir + "/loader.bin"});
    Check("sim:NX31A32", {{"monitor", "-p", "PORT", "-y"}, 0, "The boot loader is gone: the chip now starts the debug monitor"});
    // An external-flash window's 4 KB sectors, the high window counted on from the low one.
    Check("sim:NX31A32", {{"read", "-p", "PORT", "--external", "high", "--start-sector", "4", "--count", "1"}, 0,
                          "read 1 sector at 14000h-14FFFh"});
}

TEST(CliResults, EveryFailedCommandSaysWhatFailedAndWhere) {
    {
        // The 273rd byte from the board is the sixth of the first chunk read back, after the
        // read of block 0's last address (once: the download finds the chip checked) and the
        // two reads of the sector that keep the file's gap bytes.
        SimOnPty board({"--chip", "NX31A32", "--corrupt-reply", "273"});
        const Outcome r = Tessel({"download", "-p", board.pty, "--chip", "NX31A32", "-y", kSample}, {}, true);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.Says("\nverify failed at 0005h: read back 00h, expected FFh\n")) << r.out;
        EXPECT_EQ(LastLine(r.out), "download of " + kSample +
                                       " failed: verify failed at 0005h: read back 00h, expected FFh "
                                       "(Reading 256 of 256 bytes, Erasing 1 of 1 sectors, Writing 0 of 128 bytes)");
    }
    {
        // The 11th reply byte, after the read of block 0's last address.
        SimOnPty board({"--chip", "NX31A32", "--corrupt-reply", "11"});
        Check(board.pty, {{"erase", "-p", "PORT", "-y", "--count", "1"}, 1,
                          "erase failed: erase failed at 0000h: answered 3Fh instead of C0h"});
    }
    {
        // 3Fh: "?", a 1.1 loader of another letter.
        SimOnPty board({"--chip", "NX31A32", "--version-letter", "63"});
        Check(board.pty, {{"detect", "-p", "PORT"}, 1,
                          "detection on " + board.pty + " failed: the loader answered with version 1.1?; expected 1.1F"});
    }
    const TempFolder dir;
    SimOnPty board({"--chip", "NX31A32"});
    const std::vector<Case> cases = {
        {{"compare", "-p", "PORT", kSample}, 1, "blink.hex differs from block 0 in 18 bytes, first at 0000h: chip FFh, file 02h"},
        {{"download", "-p", "PORT", kSample}, 1, "download of " + kSample + " declined: nothing was erased or written"},
        {{"edit", "-p", "PORT", "FFFF"}, 2, "edit: nothing was done: Memory address is invalid! (FFFFh lies outside"},
        {{"lock", "-p", "PORT", "--mode", "external", "2"}, 1, "lock option 2 declined: nothing was programmed"},
        // Refused by the chip's state: the reason, not only "bad options".
        {{"run", "-p", "PORT", "--mode", "external"}, 2, "run: nothing was done: Run User Code is not available on NX31A32 in external memory mode"},
        {{"external-bsl", "-p", "PORT", "-y"}, 1,
         "external-bsl: nothing was done, the external flash's low window could not be opened"},
        // Checked before the port is opened: the port named here does not exist.
        {{"password", "set", "-p", dir + "/no-such-port", "-y", "--new-password-file", dir + "/none"}, 2,
         "password set: nothing was done: cannot read the new password file " + dir + "/none"},
    };
    // A port that is not there is a port error to the cable test too.
    for (const Case& c : cases) Check(board.pty, c);
    const Outcome missing = Tessel({"cable-test", "-p", dir + "/no-such-port", "-y"}, {}, true);
    EXPECT_EQ(missing.status, 3) << missing.out;
    EXPECT_NE(missing.out.find("no-such-port: no such serial device"), std::string::npos) << missing.out;
    EXPECT_EQ(missing.out.find("!!!"), std::string::npos) << "the window's box text is the window's:\n" << missing.out;
}

// The schema of the README: each event's fields with their JSON types; '?' marks an
// optional field. A field that is not listed is an error, so the README cannot drift.
const std::map<std::string, std::map<std::string, std::string>>& Schema() {
    static const std::map<std::string, std::map<std::string, std::string>> schema = {
        {"chip", {{"port", "string"}, {"model", "string"}, {"model_source", "string"}, {"firmware", "string"}, {"flash_size", "string"},
                  {"remap", "string"}, {"mem_mode", "string"}, {"security", "string"}, {"lock_status", "integer"},
                  {"baud", "integer"}, {"double_clock?", "boolean"}}},
        {"phase_start", {{"phase", "string"}, {"done", "integer"}, {"steps", "integer"}, {"unit", "string"}, {"step_size", "integer"}}},
        {"progress", {{"phase", "string"}, {"done", "integer"}, {"steps", "integer"}, {"unit", "string"}, {"step_size", "integer"},
                      {"percent", "integer"}}},
        {"phase_end", {{"phase", "string"}, {"done", "integer"}, {"steps", "integer"}, {"unit", "string"}, {"step_size", "integer"},
                       {"ok", "boolean"}, {"seconds", "number"}, {"failure?", "object"}}},
        {"label", {{"text", "string"}}}, {"message", {{"text", "string"}}}, {"status", {{"text", "string"}}},
        {"error", {{"text", "string"}}}, {"output", {{"text", "string"}}},
        {"question", {{"text", "string"}, {"answer", "boolean"}, {"answered_by", "string"}}},
        {"notice", {{"text", "string"}, {"wait_seconds?", "integer"}}},
        {"result", {{"command", "string"}, {"ok", "boolean"}, {"exit", "integer"}, {"summary", "string"},
                    {"seconds?", "number"}, {"status?", "string"}, {"file?", "string"}, {"output?", "string"},
                    {"bytes?", "integer"}, {"sectors?", "integer"}, {"start?", "integer"}, {"end?", "integer"},
                    {"not_blank?", "integer"}, {"chip_erase?", "boolean"}, {"option?", "string"},
                    {"security?", "string"}, {"model?", "string"}, {"model_source?", "string"}, {"firmware?", "string"}, {"baud?", "integer"},
                    {"reload?", "integer"}, {"crystal?", "number"}, {"address?", "string"},
                    {"failed_step?", "string"}, {"failed_address?", "integer"}, {"reason?", "string"},
                    {"fault?", "string"}, {"chip_byte?", "integer"}, {"expected_byte?", "integer"}, {"changed_only?", "string"},
                    {"boards?", "array"}, {"ports?", "array"}, {"chips?", "array"}, {"backups?", "array"}}},
    };
    return schema;
}

// The schema's type names are the library's own, but for "integer".
bool HasType(const json& v, const std::string& type) {
    return type == "integer" ? v.is_number_integer() : v.type_name() == type;
}

// Every line parses and matches the schema; the last one is the result, with the exit status.
std::vector<json> CheckEvents(const Outcome& r, const std::string& what) {
    std::vector<json> events;
    for (const std::string& line : Lines(r.out)) {
        const json j = json::parse(line, nullptr, false);
        events.push_back(j);
        if (!j.is_object() || !j.contains("event") || !j["event"].is_string()) {
            ADD_FAILURE() << what << ": no JSON object with an event field: " << line;
            continue;
        }
        const auto type = Schema().find(j["event"]);
        if (type == Schema().end()) {
            ADD_FAILURE() << what << ": unknown event: " << line;
            continue;
        }
        for (const auto& [name, kind] : type->second) {
            const bool optional = name.back() == '?';
            const std::string field = optional ? name.substr(0, name.size() - 1) : name;
            if (!j.contains(field)) {
                if (!optional) ADD_FAILURE() << what << ": " << field << " missing: " << line;
            } else if (!HasType(j[field], kind)) {
                ADD_FAILURE() << what << ": " << field << " is not " << kind << ": " << line;
            }
        }
        for (const auto& [field, value] : j.items()) {
            // Boards programmed side by side tag every event with their port.
            if (field == "event" || (field == "port" && value.is_string())) continue;
            if (!type->second.count(field) && !type->second.count(field + "?"))
                ADD_FAILURE() << what << ": field " << field << " is not in the schema: " << line;
        }
        if (j["event"] == "phase_end" && j.contains("failure")) {
            const json& f = j["failure"];
            EXPECT_TRUE(f.contains("operation") && f["operation"].is_string()) << line;
            EXPECT_TRUE(f.contains("address") && f["address"].is_number_integer()) << line;
            EXPECT_TRUE(f.contains("reason") && f["reason"].is_string()) << line;
        }
    }
    EXPECT_FALSE(events.empty()) << what;
    if (events.empty()) return events;
    for (size_t i = 0; i + 1 < events.size(); ++i) EXPECT_NE(events[i]["event"], "result") << what;
    const json& last = events.back();
    EXPECT_EQ(last["event"], "result") << what;
    EXPECT_EQ(last["exit"], r.status) << what;
    EXPECT_EQ(last["ok"], r.status == 0) << what;
    return events;
}

int Count(const std::vector<json>& events, const std::string& type) {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const json& j) { return j["event"] == type; }));
}

TEST(CliJson, EveryEventOfEachCommandMatchesTheSchema) {
    SimOnPty board({"--chip", "NX31H64D"});
    // The events of `args` on the board, each checked against the schema; the status is `status`.
    auto run = [&](std::vector<std::string> args, int status) {
        const std::string what = args[0];
        args.insert(args.end(), {"-p", board.pty, "--chip", "NX31H64D", "--json"});
        const Outcome r = Tessel(args);
        EXPECT_EQ(r.status, status) << what << "\n" << r.out;
        return CheckEvents(r, what);
    };
    // A chip, a failure with its bytes, the phases and a question, each command's result.
    auto ev = run({"detect"}, 0);
    EXPECT_EQ(json({Count(ev, "chip"), ev.back()["model"], ev.back()["model_source"]}), json({1, "NX31H64D", "chosen"}));
    const json f = run({"compare", kSample}, 1).back();
    EXPECT_EQ(json({f["failed_step"], f["failed_address"], f["chip_byte"], f["expected_byte"]}), json({"compare", 0, 0xFF, 2}));
    // What went wrong, named: the image file; the port.
    EXPECT_EQ(run({"download", "-y", "no-such.hex"}, 2).back()["fault"], "file");
    EXPECT_EQ(CheckEvents(Tessel({"detect", "--json", "-p", board.pty + "-gone"}), "gone").back()["fault"], "port");
    ev = run({"download", "-y", kSample}, 0);
    EXPECT_EQ(json({ev.back()["bytes"], ev.back()["end"]}), json({18, 0x3E}));
    EXPECT_EQ(Count(ev, "phase_start"), Count(ev, "phase_end"));
    EXPECT_GE(Count(ev, "question"), 1);
    {
        // The lists as arrays: the recorded device tree's adapters, and every chip's geometry.
        const std::string tree = std::string(TESSEL_SOURCE_DIR) + "/tests/platform/data/ports";
        const Outcome r = Tessel({"ports", "--json"}, {"TESSEL_DEVICE_TREE=" + tree});
        const json ports = CheckEvents(r, "ports").back()["ports"];
        ASSERT_EQ(ports.size(), 4u) << r.out;
        EXPECT_EQ(ports[0], json({{"path", tree + "/dev/ttyUSB0"},
                                  {"stable_name", tree + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9XYZ012-if00-port0"},
                                  {"driver", "ftdi_sio"},
                                  {"vendor_id", "0403"},
                                  {"product_id", "6001"},
                                  {"product", "FTDI FT232R USB UART"},
                                  {"serial_number", "A9XYZ012"}}));
        // What a port lacks is null, not an empty string.
        EXPECT_TRUE(ports[2]["serial_number"].is_null() && ports[3]["vendor_id"].is_null()) << ports;
        const Outcome c = Tessel({"chips", "--json"});
        const json chips = CheckEvents(c, "chips").back()["chips"];
        ASSERT_EQ(chips.size(), 6u) << c.out;
        EXPECT_EQ(chips[1]["blocks"][0], json({{"sectors", 256}, {"sector_size", 128}, {"size", 0x8000}, {"start", 0},
                                                {"end", 0x7FFF}}));
        EXPECT_EQ(chips[2]["bsl"], json({{"sectors", 9}, {"first", 0}, {"last", 0x047F}, {"entry", 0x02CA}}));
    }
    const Outcome bad = Tessel({"detect", "--json", "-p", board.pty, "--mode", "sideways"});
    EXPECT_EQ(CheckEvents(bad, "bad option").size(), 1u);
}

// Two boards side by side, the second one faulty: every line is a whole object that names
// its board, each board's phases open and close in its own order, and the result lists both
// boards with their own outcome.
TEST(CliJson, BoardsSideBySideTagEveryEventAndAreListedInTheResult) {
    SimOnPty good({"--chip", "NX31A32"});
    SimOnPty faulty({"--chip", "NX31A32", "--corrupt-reply", "273"});
    const Outcome r =
        Tessel({"download", "--json", "-y", "-p", good.pty, "-p", faulty.pty, "--chip", "NX31A32", kSample});
    const auto ev = CheckEvents(r, "side by side");
    EXPECT_EQ(r.status, 1) << r.out;
    std::map<std::string, int> open;
    int failedWrites = 0;
    for (size_t i = 0; i + 1 < ev.size(); ++i) {
        const std::string port = ev[i].value("port", "");
        ASSERT_TRUE(port == good.pty || port == faulty.pty) << ev[i].dump();
        if (ev[i]["event"] == "phase_start") {
            EXPECT_EQ(open[port]++, 0) << "a phase opened twice on " << port;
        }
        if (ev[i]["event"] != "phase_end") continue;
        EXPECT_EQ(open[port]--, 1) << "a phase closed twice on " << port;
        // The faulty board's write ends failed, at the address that did not verify.
        if (ev[i]["phase"] == "Writing" && port == faulty.pty) {
            ++failedWrites;
            EXPECT_EQ(json({ev[i]["ok"], ev[i]["failure"]["address"]}), json({false, 5})) << ev[i].dump();
        }
    }
    EXPECT_EQ(failedWrites, 1);
    ASSERT_EQ(ev.back()["boards"].size(), 2u) << ev.back().dump();
    const json& first = ev.back()["boards"][0];
    const json& second = ev.back()["boards"][1];
    EXPECT_EQ(json({first["port"], first["ok"], first["exit"]}), json({good.pty, true, 0}));
    EXPECT_EQ(first["summary"].get<std::string>().rfind("downloaded ", 0), 0u) << first.dump();
    EXPECT_EQ(json({second["port"], second["ok"], second["failed_step"], second["failed_address"]}),
              json({faulty.pty, false, "verify", 5}));
    EXPECT_NE(ev.back()["summary"].get<std::string>().find(faulty.pty), std::string::npos) << ev.back().dump();
}

// One detection before the image; it is compared again, the lock bits are programmed and read
// back by the lock's own detection, and the user's code is started, with no detection between.
TEST(CliOnePass, DownloadLockAndRunAfterOneDetection) {
    SimOnPty board({"--chip", "NX31H64D"});
    const Outcome r = Tessel({"download", "-p", board.pty, "--chip", "NX31H64D", "-y", "--verify", "--lock", "2",
                              "--run", "--json", kSample});
    const auto ev = CheckEvents(r, "one pass");
    ASSERT_EQ(r.status, 0) << r.out;
    std::string order;  // c: a detection, W: the image written, C: compared again
    for (const json& j : ev) {
        if (j["event"] == "chip") order += 'c';
        if (j["event"] == "phase_end" && j["ok"] == true && j["phase"] == "Writing") order += 'W';
        if (j["event"] == "phase_end" && j["ok"] == true && j["phase"] == "Comparing") order += 'C';
    }
    EXPECT_TRUE(std::regex_match(order, std::regex("cW+C+c"))) << order;
    EXPECT_NE(ev.back()["security"].get<std::string>().find("LOCK"), std::string::npos) << ev.back().dump();
    EXPECT_NE(ev.back()["summary"].get<std::string>().find(", lock option 2 set, user code started"), std::string::npos);
}

// The terminal is asked only when the chip has refused the empty password, which is said first,
// with echo off while the prompt waits: the typed password opens the chip, an end of input gives
// none, and Ctrl-C ends the run with 130. Each way the terminal gets its echo back. Without a
// terminal the password comes from a file or the environment; there is no option that would put
// it into the argument list, and a wrong one fails.
TEST(CliPassword, TheTerminalIsAskedOnlyWhenTheChipRefusesTheEmptyPassword) {
    SimOnPty locked({"--chip", "NX31A32", "--password", "s3cret"});
    const struct {
        const char* typed;  // nullptr: Ctrl-C
        int status;
        const char* says;
    } answers[] = {{"s3cret\n", 0, "the chip refused the empty password"},
                   {"\x04", 1, "no password was given (end of input)"},
                   {nullptr, 130, ""}};
    for (const auto& a : answers) {
        SCOPED_TRACE(a.status);
        test::PtyProcess p({kCli, "read", "-p", locked.pty, "--count", "1"});
        ASSERT_TRUE(p.ReadUntil("Password: ")) << p.Output();
        EXPECT_TRUE(p.WaitForEcho(false));
        if (a.typed) p.Type(a.typed);
        else p.Signal(SIGINT);
        EXPECT_EQ(p.Finish(), a.status) << p.Output();
        EXPECT_NE(p.Output().find(a.says), std::string::npos) << p.Output();
        EXPECT_EQ(p.Output().find("s3cret"), std::string::npos) << "typed without echo";
        EXPECT_TRUE(p.Echoes());
    }
    const TempFolder dir;
    std::ofstream(dir + "/pw") << "s3cret\n";
    // Without a terminal: no option takes the password itself, no source is the empty password,
    // refused; edit takes the same sources as the flash commands.
    const std::vector<std::tuple<std::vector<std::string>, std::string, int>> sources = {
        {{"read", "--count", "1", "--password", "s3cret"}, "", 2},
        {{"read", "--count", "1", "--password-file", dir + "/pw"}, "", 0},
        {{"read", "--count", "1"}, "TESSEL_PASSWORD=s3cret", 0},
        {{"read", "--count", "1"}, "TESSEL_PASSWORD=wrong", 1},
        {{"read", "--count", "1"}, "", 1},
        {{"edit", "0000", "--password-env", "EDIT_PW"}, "EDIT_PW=s3cret", 0},
    };
    for (auto [args, env, status] : sources) {
        args.insert(args.begin() + 1, {"-p", locked.pty});
        EXPECT_EQ(Tessel(args, env.empty() ? std::vector<std::string>{} : std::vector<std::string>{env}).status, status)
            << args.back() << " " << env;
    }
    // The desktop program stores "pässwörd" as the Latin-1 bytes below (its own test checks
    // that); the command line, given the same text as UTF-8, must send the same bytes. (A
    // character with no Latin-1 byte is refused: CliFlashInProcess.)
    SimOnPty latin1({"--chip", "NX31H64D", "--password", "p\xE4ssw\xF6rd"});
    const std::vector<std::string> at = {"read", "--port", latin1.pty, "--chip", "NX31H64D", "--count", "1"};
    const Outcome utf8 = Tessel(at, {"TESSEL_PASSWORD=p\xC3\xA4ssw\xC3\xB6rd"});
    EXPECT_EQ(utf8.status, 0) << utf8.out;
}

}  // namespace
}  // namespace tessel
