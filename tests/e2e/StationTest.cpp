// The production station against boards that come and go on one line (tessel-sim --boards):
// serial numbers that are never handed out twice, a log line for every board, and a signal
// that ends the station at a safe point.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numeric>
#include <thread>

#include "support/CliRun.h"

namespace tessel {
namespace {

using nlohmann::json;
using test::ChildProcess;
using test::kCli;
using test::kSim;
using test::ReadBytes;
using test::WriteBytes;

// The log's records; `boards`: only the boards' outcomes.
std::vector<json> LogLines(const std::string& path, bool boards = true) {
    std::vector<json> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const json j = json::parse(line);
        if (!boards || j.contains("board")) lines.push_back(j);
    }
    return lines;
}

struct Bench {
    explicit Bench(std::vector<std::string> simArgs, std::string chipName = "NX31A32", std::string at = "7FF0")
        : chip(std::move(chipName)), serialAt(std::move(at)), image(test::Pattern(4096, 0x80)),
          before(test::Pattern(chip == "NX31A16" ? 0x4000 : 0x8000, 0x31)) {
        WriteBytes(dir + "/app.bin", image);
        WriteBytes(dir + "/before.bin", before);
        // Every board comes with a program of its own in block 0: what the station does not
        // write must still be there afterwards.
        simArgs.insert(simArgs.begin(),
                       {kSim, "--chip", chip, "--save-block0", dir + "/board", "--block0", dir + "/before.bin"});
        sim = std::make_unique<ChildProcess>(simArgs);
        pty = sim->ReadLine();
    }
    // `log` "-": no live copy of the records.
    std::vector<std::string> Station(std::vector<std::string> extra, std::string ledger = "", std::string log = "") const {
        std::vector<std::string> args = {kCli, "station", "-p", pty, "--chip", chip, "-y", "--serial-at", serialAt,
                                         "--serial-start", "100", "--ledger",
                                         ledger.empty() ? dir + "/ledger.sqlite" : ledger};
        if (log != "-") args.insert(args.end(), {"--log", log.empty() ? dir + "/log.jsonl" : log});
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(dir + "/app.bin");
        return args;
    }
    // Board k holds the image and serial number n (le32) at the serial address, as tessel-sim
    // saved its block 0 when it ended.
    void ExpectNumbered(int k, uint32_t n) {
        SCOPED_TRACE(k);
        sim->Stop(SIGTERM);
        const std::vector<uint8_t> block0 = ReadBytes(dir + "/board." + std::to_string(k));
        const size_t at = std::stoul(serialAt, nullptr, 16);
        std::vector<uint8_t> want = before;
        std::copy(image.begin(), image.end(), want.begin());
        for (size_t i = 0; i < 4; ++i) want[at + i] = static_cast<uint8_t>(n >> (8 * i));
        ASSERT_EQ(block0.size(), want.size());
        const auto differ = std::mismatch(block0.begin(), block0.end(), want.begin());
        EXPECT_EQ(differ.first - block0.begin(), static_cast<long>(block0.size())) << "the first byte that differs";
    }

    std::string chip;
    std::string serialAt;
    test::TempFolder dir;  // goes after the boards have stopped
    std::vector<uint8_t> image, before;
    std::unique_ptr<ChildProcess> sim;
    std::string pty;
};

// The serial numbers of the boards that passed, as the ledger's export holds them.
std::vector<uint64_t> PassedIn(const std::string& ledger, const std::string& folder) {
    EXPECT_EQ(test::RunTessel({"ledger", "export", "--ledger", ledger, folder + "/export.jsonl"}).status, 0);
    std::vector<uint64_t> serials;
    for (const json& r : LogLines(folder + "/export.jsonl"))
        if (r["result"] == "pass") serials.push_back(r["serial"].get<uint64_t>());
    std::sort(serials.begin(), serials.end());
    return serials;
}

std::vector<uint64_t> Numbers(uint64_t first, size_t n) {
    std::vector<uint64_t> all(n);
    std::iota(all.begin(), all.end(), first);
    return all;
}

// A PostgreSQL server of the test's own: a cluster in a scratch folder, reached through a Unix
// socket there, run as nobody when the test runs as root (the server refuses root).
struct PgServer {
    PgServer() {
        if (!std::filesystem::exists(kBin + "initdb")) return;
        if (geteuid() == 0 && chown(dir.c_str(), 65534, 65534) != 0) return;
        ok = Run("initdb -A trust -U tessel -D " + dir + "/data") && Start();
    }
    ~PgServer() {
        if (ok) Stop();
    }
    bool Run(const std::string& command) const {
        const std::string as = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
        return std::system((as + kBin + command + " >" + dir + "/out 2>&1").c_str()) == 0;
    }
    bool Start() const {
        return Run("pg_ctl -w -D " + dir + "/data -l " + dir + "/log -o \"-k " + dir + " -p 5433 -c listen_addresses=''\" start");
    }
    void Stop() const { Run("pg_ctl -w -m fast -D " + dir + "/data stop"); }
    std::string Uri() const { return "postgresql://tessel@/postgres?host=" + dir + "&port=5433"; }

    const std::string kBin = "/usr/lib/postgresql/15/bin/";
    test::TempFolder dir;
    bool ok = false;
};

std::vector<std::string> Lines(const std::string& out, const std::string& start) {
    std::vector<std::string> found = test::Lines(out);
    std::erase_if(found, [&](const std::string& line) { return line.rfind(start, 0) != 0; });
    return found;
}

TEST(Station, ThreeBoardsGetTheImageAndTheirOwnNumbersAndARestartGoesOn) {
    Bench bench({"--boards", "4"});
    std::string out;
    ASSERT_EQ(ChildProcess(bench.Station({"--count", "3"})).ReadAll(&out), 0) << out;
    ASSERT_EQ(Lines(out, "slot 1: PASS board ").size(), 3u) << out;
    EXPECT_NE(out.find("station: 3 passed, 0 failed, yield 100 %"), std::string::npos) << out;
    const auto log = LogLines(bench.dir + "/log.jsonl");
    ASSERT_EQ(log.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(json({log[k]["serial"], log[k]["result"], log[k]["image_sha256"]}),
                  json({100 + k, "pass", log[0]["image_sha256"]}));
        EXPECT_TRUE(log[k]["image_sha256"].get<std::string>().size() == 64 && !log[k]["steps"].empty()) << log[k];
    }
    // A fourth run with the same --serial-start, as after a restart, goes on from the ledger's next.
    std::string out2;
    ASSERT_EQ(ChildProcess(bench.Station({"--count", "1"})).ReadAll(&out2), 0) << out2;
    EXPECT_EQ(Lines(out2, "ledger " + bench.dir + "/ledger.sqlite: serial numbers go on from 00000103").size(), 1u);
    EXPECT_EQ(Lines(out2, "slot 1: PASS board 1, serial 00000103, ").size(), 1u) << out2;
    for (int k = 1; k <= 4; ++k) bench.ExpectNumbered(k, 99 + static_cast<uint32_t>(k));
}

// The second board falls silent while it is being programmed: it fails with its reason and its
// number is void, never given to the next board; the station goes on with the third.
TEST(Station, ABoardThatFallsSilentFailsAloneAndItsNumberIsNeverReused) {
    Bench bench({"--boards", "3", "--fault-board", "2", "--silent-from", "3000"}, "NX31A16", "3FF0");
    std::string out;
    EXPECT_EQ(ChildProcess(bench.Station({"--count", "2"})).ReadAll(&out), 1) << out;
    EXPECT_EQ(Lines(out, "slot 1: PASS board ").size(), 2u) << out;
    const auto fails = Lines(out, "slot 1: FAIL board 2: ");
    ASSERT_EQ(fails.size(), 1u) << out;
    EXPECT_NE(fails[0].find("no byte came back"), std::string::npos) << fails[0];
    EXPECT_NE(fails[0].find("(serial 00000101 void)"), std::string::npos) << fails[0];
    const auto log = LogLines(bench.dir + "/log.jsonl");
    ASSERT_EQ(log.size(), 3u) << out;
    EXPECT_EQ(json({log[1]["result"], log[1]["serial"], log[1]["serial_void"]}), json({"fail", 101, true}));
    EXPECT_NE(log[1]["reason"].get<std::string>().find("no byte came back"), std::string::npos) << log[1];
    EXPECT_EQ(json({log[2]["result"], log[2]["serial"]}), json({"pass", 102}));
    bench.ExpectNumbered(1, 100);
    bench.ExpectNumbered(3, 102);
}

// Only the board that --fault-board names has its cable pulled (tessel-sim's board sequence).
TEST(Station, OnlyTheFaultBoardHasItsCablePulled) {
    Bench bench({"--boards", "2", "--fault-board", "2", "--unplug-after", "3000"});
    ChildProcess station(bench.Station({"--count", "2"}));
    std::string line;
    const auto ends = [](const std::string& l) {
        return l.empty() || l.find("unplugged") != std::string::npos || l.find("2 taken away") != std::string::npos;
    };
    do line = bench.sim->ReadLine();
    while (!ends(line));
    EXPECT_EQ(line, "tessel-sim: board 2 unplugged after 3000 bytes");
}

// Ctrl-C while a board is being programmed: the board ends at a safe point, its log line
// says it was stopped and its number is void; the station sums up and exits 130.
TEST(Station, ASignalEndsItAtASafePointWithASummary) {
    Bench bench({"--boards", "2", "--reply-delay", "40"});
    ChildProcess station(bench.Station({}));
    ASSERT_EQ(station.ReadLine().rfind("slot 1: waiting for a board", 0), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    station.Signal(SIGINT);
    std::string out;
    EXPECT_EQ(station.ReadAll(&out), 130) << out;
    EXPECT_NE(out.find("station: 0 passed, 1 failed"), std::string::npos) << out;
    const auto log = LogLines(bench.dir + "/log.jsonl");
    ASSERT_EQ(log.size(), 1u) << out;
    EXPECT_EQ(json({log[0]["result"], log[0]["serial_void"]}), json({"fail", true}));
    EXPECT_NE(log[0]["reason"].get<std::string>().find("stopped by a signal"), std::string::npos) << log[0];
}

// A station killed mid-board leaves its number's reservation open; the next start closes it
// as unknown and goes on. The log checks whole, and a changed byte is found in its record.
TEST(Station, AKillLeavesNoNumberWithoutALogLineAndTheLogShowsAnyChange) {
    Bench bench({"--boards", "3", "--reply-delay", "20"});
    const std::string log = bench.dir + "/log.jsonl";
    {
        ChildProcess station(bench.Station({}));
        for (int i = 0; i < 500 && LogLines(log, false).size() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(LogLines(log, false).size(), 2u) << "the header and the first reservation";
        EXPECT_EQ(station.Stop(SIGKILL), 128 + SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the board taken away
    ChildProcess again(bench.Station({"--count", "1"}));
    std::string out;
    ASSERT_EQ(again.ReadAll(&out), 0) << out;
    EXPECT_NE(out.find("serial 00000100: reserved in record 2 by a run that ended before its board's outcome"),
              std::string::npos) << out;
    std::vector<std::string> results;
    for (const json& r : LogLines(log, false))
        if (r.contains("serial")) results.push_back(r["result"].get<std::string>() + " " + r["serial"].dump());
    EXPECT_EQ(results, (std::vector<std::string>{"reserved 100", "unknown 100", "reserved 101", "pass 101"}));
    const test::CliRun good = test::RunTessel({"station", "--check-log", log});
    EXPECT_EQ(good.status, 0) << good.out;
    EXPECT_EQ(test::RunTessel({"ledger", "check", "--ledger", bench.dir + "/ledger.sqlite"}).status, 0);
    bench.ExpectNumbered(2, 101);
    std::string text = test::ReadText(log);
    const size_t record4 = test::Lines(text)[0].size() + test::Lines(text)[1].size() + test::Lines(text)[2].size() + 3;
    text[text.find("\"slot\":1", record4)] ^= 0x01;  // "slot":0 in record 4
    std::ofstream(log, std::ios::binary) << text;
    const test::CliRun changed = test::RunTessel({"station", "--check-log", log}, {}, true);
    EXPECT_EQ(changed.status, 1) << changed.out;
    EXPECT_TRUE(changed.Says("record 4: it was changed after it was written")) << changed.out;
}

// Two stations never share numbers or a port, and files that cannot hold numbers or records
// end the run at once, before the first board.
TEST(Station, SharedOrUnusableFilesEndTheRunBeforeTheFirstBoard) {
    Bench bench({"--boards", "2"}), other({"--boards", "1"});
    ChildProcess first(bench.Station({"--count", "2"}));
    ASSERT_EQ(first.ReadLine().rfind("slot 1: waiting for a board", 0), 0u);
    const std::string fifo = bench.dir + "/fifo", link = bench.dir + "/link";
    mkfifo(fifo.c_str(), 0600);
    std::filesystem::create_symlink(bench.dir + "/log.jsonl", link);
    const std::string ledger = other.dir + "/ledger.sqlite";
    auto with = [&](const std::string& option, const std::string& value) {
        std::vector<std::string> args = other.Station({});
        const auto at = std::find(args.begin(), args.end(), option);
        if (at == args.end()) args.insert(args.end() - 1, {option, value});
        else *(at + 1) = value;
        return args;
    };
    const struct {
        std::vector<std::string> args;
        std::string ledgerText;  // written into `ledger` first, unless empty
        std::string says;
        int status = 2;
    } cases[] = {
        {other.Station({}, "", bench.dir + "/log.jsonl"), "", "the log " + bench.dir + "/log.jsonl is written by another station (pid "},
        {bench.Station({}, ledger, other.dir + "/log"), "", bench.pty + ": the port is in use by another program (pid ", 3},
        {other.Station({}), "garbage", "the ledger " + ledger + ": file is not a database"},
        {with("--serial-at", "0010"), "", "the serial number at 0010h (4 bytes) overlaps " + other.dir + "/app.bin, which defines 0010h"},
        {other.Station({}, fifo), "", "the ledger " + fifo + ": it is not a regular file"},
        {with("--log", fifo), "", "the log " + fifo + ": "},
        {with("--log", "/dev/zero"), "", "/dev/zero is not a regular file"},
        {with("--log", link), "", "a symbolic link"},
        {with("--log", ledger), "", "--ledger and --log name one file, " + ledger},
        {with("--trace-wire", other.dir + "/log.jsonl"), "", "--log and --trace-wire name one file, " + other.dir + "/log.jsonl"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        std::filesystem::remove(ledger);
        if (!c.ledgerText.empty()) std::ofstream(ledger) << c.ledgerText;
        const auto t0 = std::chrono::steady_clock::now();
        const test::CliRun r = test::RunTessel(std::vector<std::string>(c.args.begin() + 1, c.args.end()), {}, true);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_TRUE(r.Says("station: nothing was done: ")) << r.out;
        EXPECT_TRUE(r.Says(c.says)) << r.out;
        EXPECT_FALSE(r.Says("waiting for a board")) << r.out;
    }
    // The station that holds them numbers its boards on, each number once.
    std::string out;
    EXPECT_EQ(first.ReadAll(&out), 0) << out;
    std::vector<json> serials;
    for (const json& r : LogLines(bench.dir + "/log.jsonl", false))
        if (r.contains("serial")) serials.push_back({r["result"], r["serial"]});
    EXPECT_EQ(serials, (std::vector<json>{{"reserved", 100}, {"pass", 100}, {"reserved", 101}, {"pass", 101}}));
    EXPECT_EQ(test::RunTessel({"station", "--check-log", bench.dir + "/log.jsonl"}).status, 0);
}

// A log that runs out of room keeps whole records only, says why, and ends the station.
TEST(Station, AFullDiskLeavesWholeRecordsAndEndsTheStation) {
    Bench bench({"--boards", "8"});
    const std::string room = bench.dir + "/room";
    std::filesystem::create_directory(room);
    // Two pages: one for a filler, one for the log.
    if (std::system(("mount -t tmpfs -o size=8k tmpfs " + room + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    std::ofstream(room + "/filler") << std::string(4096, 'x');
    ChildProcess station(bench.Station({"--count", "8"}, "", room + "/log.jsonl"));
    std::string out;
    EXPECT_EQ(station.ReadAll(&out), 1) << out;
    EXPECT_NE(out.find("no space left on the device"), std::string::npos) << out;
    const std::string text = test::ReadText(room + "/log.jsonl");
    EXPECT_EQ(std::system(("umount " + room).c_str()), 0);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "the log ends with a whole record";
    for (const std::string& line : test::Lines(text)) EXPECT_TRUE(json::accept(line)) << line;
    EXPECT_LT(Lines(out, "slot 1: PASS").size(), 8u) << out;
}

// Three stations at once on one ledger number nine boards, each number once.
TEST(Station, ThreeStationsOnOneLedgerGiveEveryNumberOnce) {
    Bench a({"--boards", "3"}), b({"--boards", "3"}), c({"--boards", "3"});
    const std::string ledger = a.dir + "/shared.sqlite";
    std::vector<std::unique_ptr<ChildProcess>> stations;
    for (const Bench* x : {&a, &b, &c})
        stations.push_back(std::make_unique<ChildProcess>(x->Station({"--count", "3"}, ledger, "-")));
    for (auto& station : stations) {
        std::string out;
        EXPECT_EQ(station->ReadAll(&out), 0) << out;
    }
    EXPECT_EQ(PassedIn(ledger, a.dir), Numbers(100, 9));
    EXPECT_EQ(test::RunTessel({"ledger", "check", "--ledger", ledger}).status, 0);
}

// Two hosts (each its own state folder) share a PostgreSQL ledger; a server that stops ends the
// station with 1, and every board said to be in the ledger is there.
TEST(Station, APostgresLedgerServesTwoHostsAndItsLossEndsTheStation) {
    PgServer pg;
    if (!pg.ok) GTEST_SKIP() << "no PostgreSQL server can be started here (Debian: postgresql)";
    {
        Bench a({"--boards", "3"}), b({"--boards", "3"});
        ChildProcess first(a.Station({"--count", "3"}, pg.Uri(), "-"), {"XDG_STATE_HOME=" + a.dir});
        ChildProcess second(b.Station({"--count", "3"}, pg.Uri(), "-"), {"XDG_STATE_HOME=" + b.dir});
        std::string out;
        EXPECT_EQ(first.ReadAll(&out), 0) << out;
        EXPECT_EQ(second.ReadAll(&out), 0) << out;
        EXPECT_EQ(PassedIn(pg.Uri(), a.dir), Numbers(100, 6));
    }
    Bench c({"--boards", "6"});
    ChildProcess station(c.Station({"--count", "6"}, pg.Uri(), "-"));
    std::string line, out;
    do line = station.ReadLine();
    while (!line.empty() && line.rfind("slot 1: PASS", 0) != 0);
    pg.Stop();
    EXPECT_EQ(station.ReadAll(&out), 1) << out;
    ASSERT_TRUE(pg.Start());
    const std::vector<std::string> passes = Lines(line + "\n" + out, "slot 1: PASS");
    const auto unrecorded = std::count_if(passes.begin(), passes.end(), [](const std::string& l) {
        return l.find("(not in the ledger)") != std::string::npos;
    });
    EXPECT_FALSE(passes.empty()) << out;
    EXPECT_EQ(PassedIn(pg.Uri(), c.dir).size(), 6 + passes.size() - static_cast<size_t>(unrecorded)) << out;
}

// A second station, of another user, on a port in use is refused before any board.
TEST(Station, AnotherUsersStationOnAPortInUseIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "another user is played by root";
    Bench bench({"--boards", "1"});
    ChildProcess first(bench.Station({"--count", "1"}));
    ASSERT_EQ(first.ReadLine().rfind("slot 1: waiting for a board", 0), 0u);
    chmod(bench.pty.c_str(), 0666);  // not the device's mode nor the image's: the hold refuses
    chmod(bench.dir.c_str(), 0755);
    std::vector<std::string> args = bench.Station({}, "/nonexistent/ledger.sqlite", "-");
    args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    std::string out;
    EXPECT_EQ(ChildProcess(args, {}, true).ReadAll(&out), 3) << out;
    EXPECT_TRUE(out.find(bench.pty + ": the port is in use by another program (pid ") != std::string::npos &&
                out.find("waiting for a board") == std::string::npos) << out;
    EXPECT_EQ(first.ReadAll(&out), 0) << out;
}

// An image and a port whose names are not UTF-8 are programmed and recorded escaped.
TEST(Station, NamesThatAreNotUtf8AreRecordedEscaped) {
    Bench bench({"--boards", "1"});
    const std::string image = bench.dir + "/app\xff.bin", port = bench.dir + "/port\xfe";
    std::filesystem::copy_file(bench.dir + "/app.bin", image);
    std::filesystem::create_symlink(bench.pty, port);
    std::vector<std::string> args = bench.Station({"--count", "1"});
    args.back() = image;
    *(std::find(args.begin(), args.end(), "-p") + 1) = port;
    std::string out;
    ASSERT_EQ(ChildProcess(args).ReadAll(&out), 0) << out;
    const auto log = LogLines(bench.dir + "/log.jsonl");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(json({log[0]["image"], log[0]["port"]}), json({bench.dir + "/app\\xff.bin", bench.dir + "/port\\xfe"}));
}

// tessel ledger: an older station's state file and log go into a new ledger whole and the
// numbers go on past both; a changed record is named by check.
TEST(Station, LedgerImportCheckAndExport) {
    Bench bench({"--boards", "1"});
    std::string out;
    ASSERT_EQ(ChildProcess(bench.Station({"--count", "1"})).ReadAll(&out), 0) << out;
    const std::string log = bench.dir + "/log.jsonl", state = bench.dir + "/state", ledger = bench.dir + "/new.sqlite";
    const struct {
        std::vector<std::string> args;
        std::string stateText;
        int status;
        std::string says;
    } cases[] = {
        {{"ledger", "import", state, log, "--ledger", ledger}, "next 0100\n", 2, "does not hold \"next N\""},
        {{"ledger", "import", state, bench.dir + "/app.bin", "--ledger", ledger}, "next 7\n", 2, "record 1: "},
        {{"ledger", "import", state, log, "--ledger", ledger}, "next 7\n", 0, "serial numbers go on from 101"},
        {{"ledger", "import", state, log, "--ledger", ledger}, "next 7\n", 2, "already holds records"},
        {{"ledger", "check", "--ledger", ledger}, "", 0, ": 3 records, the chain is whole"},
        {{"ledger", "check", "--ledger", bench.dir + "/none"}, "", 2, "there is no such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        std::ofstream(state) << c.stateText;
        const test::CliRun r = test::RunTessel(c.args, {}, true);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_TRUE(r.Says(c.says)) << r.out;
    }
    EXPECT_EQ(PassedIn(ledger, bench.dir), Numbers(100, 1));
    EXPECT_EQ(test::ReadText(bench.dir + "/export.jsonl"), test::ReadText(log));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(ledger.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "UPDATE station_records SET line = replace(line, '\"slot\":1', '\"slot\":0') WHERE seq = 3", nullptr,
                 nullptr, nullptr);
    sqlite3_close(db);
    const test::CliRun changed = test::RunTessel({"ledger", "check", "--ledger", ledger}, {}, true);
    EXPECT_EQ(changed.status, 1) << changed.out;
    EXPECT_TRUE(changed.Says("record 3: it was changed after it was written")) << changed.out;
}

}  // namespace
}  // namespace tessel
