#include "platform/Console.h"

#include <windows.h>
#include <io.h>

#include <atomic>
#include <cstdlib>

#include "platform/WinText.h"

namespace tessel::console {

namespace {

void (*gHandler)(int) = nullptr;
DWORD gSavedMode = 0;
std::atomic<bool> gEchoHidden{false};

HANDLE HandleOf(Stream stream) {
    return GetStdHandle(stream == Stream::Input ? STD_INPUT_HANDLE
                        : stream == Stream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// Runs on a thread the system starts for the event.
BOOL WINAPI OnControl(DWORD event) {
    int kind = kInterrupt;
    switch (event) {
        case CTRL_C_EVENT: kind = kInterrupt; break;
        case CTRL_BREAK_EVENT: kind = kQuit; break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: kind = kHangUp; break;
        default: return FALSE;
    }
    if (gHandler) gHandler(kind);
    // The process ends as soon as this returns from a closing console: it waits instead, for
    // the command to reach its safe point and the program to end by itself, as long as the
    // system lets it (a few seconds).
    if (kind == kHangUp) Sleep(INFINITE);
    return TRUE;
}

}  // namespace

const char* StopName(int kind) {
    switch (kind) {
        case kInterrupt: return "Ctrl-C";
        case kQuit: return "Ctrl-Break";
        case kHangUp: return "the console closing";
        case kTerminate: return "a request to end";
        default: return "a request to stop";
    }
}

bool IsTerminal(Stream stream) {
    DWORD mode = 0;
    return GetConsoleMode(HandleOf(stream), &mode) != 0;
}

int Columns(Stream stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(HandleOf(stream), &info)) return info.srWindow.Right - info.srWindow.Left + 1;
    const char* columns = std::getenv("COLUMNS");
    return columns ? (std::atoi(columns) > 0 ? std::atoi(columns) : 0) : 0;
}

// A console window redraws; TERM means nothing to it.
bool CanRedraw(Stream stream) { return IsTerminal(stream); }

void InstallStopHandler(void (*handler)(int kind), bool) {
    gHandler = handler;
    SetConsoleCtrlHandler(OnControl, TRUE);
}

void WriteRaw(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') ++n;
    const HANDLE out = HandleOf(Stream::Output);
    while (n > 0) {
        DWORD w = 0;
        if (!WriteFile(out, text, static_cast<DWORD>(n), &w, nullptr) || w == 0) return;
        text += w;
        n -= w;
    }
}

void ExitNow(int status) { _exit(status); }

bool HideInputEcho() {
    const HANDLE in = HandleOf(Stream::Input);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode)) return false;
    gEchoHidden.store(false);
    gSavedMode = mode;
    gEchoHidden.store(true);
    SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    return true;
}

void RestoreInputEcho() {
    if (gEchoHidden.exchange(false)) SetConsoleMode(HandleOf(Stream::Input), gSavedMode);
}

int WaitForInput(int timeoutMs) {
    const HANDLE in = HandleOf(Stream::Input);
    switch (GetFileType(in)) {
        case FILE_TYPE_CHAR: {
            // A console is signalled by any event (a key going up, the mouse, the focus),
            // not only by a line: the read that follows waits for the line, and a Ctrl-C
            // ends that read.
            DWORD mode = 0;
            if (!GetConsoleMode(in, &mode)) return 1;  // the NUL device: reads end at once
            const DWORD r = WaitForSingleObject(in, static_cast<DWORD>(timeoutMs));
            return r == WAIT_OBJECT_0 ? 1 : r == WAIT_TIMEOUT ? 0 : -1;
        }
        case FILE_TYPE_PIPE: {
            DWORD available = 0;
            // A pipe whose writer has gone is "ready": the read finds its end.
            if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr)) return 1;
            if (available > 0) return 1;
            Sleep(static_cast<DWORD>(timeoutMs < 10 ? timeoutMs : 10));
            return 0;
        }
        case FILE_TYPE_DISK: return 1;
        default: return in == nullptr || in == INVALID_HANDLE_VALUE ? -1 : 1;
    }
}

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

bool ProcessRunning(long pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

std::string HostName() {
    wchar_t name[256];
    DWORD n = 256;
    return GetComputerNameExW(ComputerNameDnsHostname, name, &n) ? win::Utf8(name, n) : std::string();
}

}  // namespace tessel::console
