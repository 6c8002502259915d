// Serial numbers reserved by 8 processes at once on one ledger, SQLite and then PostgreSQL:
// 10,000 numbers in all, each process as a station would take them (one transaction each),
// and every number must come out once. Prints the numbers a second of each ledger.
//
// The SQLite file lies in TMPDIR (default /tmp); the PostgreSQL server is started for the run
// in a scratch folder (as nobody when run as root) and skipped when its programs are missing.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ledger/Ledger.h"
#include "platform/Paths.h"

using namespace tessel;

namespace {

constexpr int kProcesses = 8;
constexpr int kNumbers = 10000;

// Each process reserves its share and writes the numbers it got to its pipe; true when every
// one of them succeeded and no number came out twice.
bool Run(const char* name, const std::string& where) {
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<int> pipes;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        int fds[2];
        if (pipe(fds) != 0) return false;
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            std::string why;
            auto ledger = ledger::Ledger::Open(where, &why);
            int failed = ledger ? 0 : 1;
            for (int i = 0; ledger && i < kNumbers / kProcesses; ++i) {
                uint64_t n = 0;
                std::string line;
                const ledger::Json record = {{"time", ""}, {"host", "bench"}, {"pid", getpid()}, {"result", "reserved"}};
                if (ledger->Reserve(100, 0xFFFFFFFFull, record, &n, &line, &why) != ledger::Reserved::Ok) {
                    ++failed;
                    continue;
                }
                if (write(fds[1], &n, sizeof n) != sizeof n) ++failed;
            }
            if (failed) std::fprintf(stderr, "%s: %d reservations failed: %s\n", name, failed, why.c_str());
            _exit(failed ? 1 : 0);
        }
        close(fds[1]);
        pipes.push_back(fds[0]);
        children.push_back(pid);
    }
    std::multiset<uint64_t> numbers;
    for (int fd : pipes) {
        uint64_t n = 0;
        while (read(fd, &n, sizeof n) == sizeof n) numbers.insert(n);
        close(fd);
    }
    bool ok = true;
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::set<uint64_t> once(numbers.begin(), numbers.end());
    const bool met = ok && numbers.size() == kNumbers && once.size() == numbers.size();
    std::printf("%-10s %d processes, %zu numbers in %.2f s: %.0f numbers a second, %zu given twice -> %s\n", name,
                kProcesses, numbers.size(), s, numbers.size() / s, numbers.size() - once.size(), met ? "met" : "NOT met");
    return met;
}

}  // namespace

int main() {
    std::string why;
    const std::string dir = MakePrivateTempDir("tessel-bench-ledger-", &why);
    if (dir.empty()) {
        std::fprintf(stderr, "no scratch folder: %s\n", why.c_str());
        return 1;
    }
    bool met = Run("sqlite", dir + "/ledger.sqlite");

    const std::string bin = "/usr/lib/postgresql/15/bin/";
    if (std::filesystem::exists(bin + "initdb")) {
        const std::string as = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
        const std::string pg = dir + "/pg";
        std::filesystem::create_directory(pg);
        if (geteuid() == 0 && (chmod(dir.c_str(), 0711) != 0 || chown(pg.c_str(), 65534, 65534) != 0)) return 1;
        auto run = [&](const std::string& command) {
            return std::system((as + bin + command + " >>" + pg + "/out 2>&1").c_str()) == 0;
        };
        if (run("initdb -A trust -U tessel -D " + pg + "/data") &&
            run("pg_ctl -w -D " + pg + "/data -l " + pg + "/log -o \"-k " + pg + " -p 5433 -c listen_addresses=''\" start")) {
            met = Run("postgresql", "postgresql://tessel@/postgres?host=" + pg + "&port=5433") && met;
            run("pg_ctl -w -m fast -D " + pg + "/data stop");
        } else {
            std::printf("postgresql: the server did not start (%s/out)\n", pg.c_str());
            met = false;
        }
    } else {
        std::printf("postgresql: skipped, no server programs (Debian: postgresql)\n");
    }
    std::error_code ec;
    if (met) std::filesystem::remove_all(dir, ec);
    return met ? 0 : 1;
}
