#include "platform/Console.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string_view>

namespace tessel::console {

namespace {

void (*gHandler)(int) = nullptr;
termios gSaved{};
std::atomic<bool> gEchoHidden{false};

extern "C" void OnSignal(int sig) {
    if (gHandler) gHandler(sig == SIGHUP ? kHangUp : sig == SIGQUIT ? kQuit : sig == SIGTERM ? kTerminate : kInterrupt);
}

int FdOf(Stream stream) {
    return stream == Stream::Input ? STDIN_FILENO : stream == Stream::Output ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

const char* StopName(int kind) {
    switch (kind) {
        case kInterrupt: return "SIGINT";
        case kTerminate: return "SIGTERM";
        case kHangUp: return "SIGHUP";
        case kQuit: return "SIGQUIT";
        default: return "a signal";
    }
}

bool IsTerminal(Stream stream) { return isatty(FdOf(stream)) != 0; }

int Columns(Stream stream) {
    winsize size{};
    if (ioctl(FdOf(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    const char* columns = std::getenv("COLUMNS");
    return columns ? std::max(0, std::atoi(columns)) : 0;
}

bool CanRedraw(Stream stream) {
    const char* term = std::getenv("TERM");
    return IsTerminal(stream) && !(term && std::string_view(term) == "dumb");
}

void InstallStopHandler(void (*handler)(int kind), bool allKinds) {
    gHandler = handler;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a read from the terminal (a password prompt, a question) returns with
    // EINTR, so that the prompt can put the terminal back and give up.
    sa.sa_flags = 0;
    for (int sig : {SIGINT, SIGTERM}) sigaction(sig, &sa, nullptr);
    if (!allKinds) return;
    for (int sig : {SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
    // A reader that went away (`| head`) or a file-size limit must not end a procedure that
    // has borrowed block 0: the write fails instead, and the failure is reported at the end.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int sig : {SIGPIPE, SIGXFSZ}) sigaction(sig, &ignore, nullptr);
}

void WriteRaw(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') ++n;
    while (n > 0) {
        const ssize_t w = write(STDOUT_FILENO, text, n);
        if (w <= 0) return;
        text += w;
        n -= static_cast<size_t>(w);
    }
}

void ExitNow(int status) { _exit(status); }

bool HideInputEcho() {
    termios old{};
    if (tcgetattr(STDIN_FILENO, &old) != 0) return false;
    gEchoHidden.store(false);
    gSaved = old;
    gEchoHidden.store(true);
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    return true;
}

void RestoreInputEcho() {
    if (gEchoHidden.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &gSaved);
}

int WaitForInput(int timeoutMs) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    const int n = poll(&in, 1, timeoutMs);
    if (n > 0) return 1;
    return n < 0 && errno != EINTR ? -1 : 0;
}

long ProcessId() { return static_cast<long>(getpid()); }

bool ProcessRunning(long pid) {
    // EPERM: it runs, as another user.
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

std::string HostName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

}  // namespace tessel::console
