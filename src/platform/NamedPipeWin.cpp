#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/Clock.h"
#include "platform/NamedPipe.h"
#include "platform/WinText.h"

namespace tessel {

namespace {

std::wstring PipePath(const std::string& name) { return win::Wide("\\\\.\\pipe\\" + name); }

// The tool's end keeps its handle non-blocking and polls it: the bytes a board and a tool
// exchange are few and slow, and only a read tells that the board has gone (a peek may still
// answer "nothing yet" on a broken pipe).
class PipeClientDevice final : public SerialDevice {
public:
    PipeClientDevice(HANDLE handle, std::string port, Clock& clock)
        : handle_(handle), port_(std::move(port)), clock_(clock) {}
    ~PipeClientDevice() override { CloseHandle(handle_); }

    // A pipe has no rate and no modem lines: the settings are taken as they are.
    bool Configure(const LineSettings&) override { return !gone_; }
    LineResult SetDtr(bool) override { return LineResult::Unsupported; }
    LineResult SetRts(bool) override { return LineResult::Unsupported; }
    size_t InputCount() override { return Available(); }
    size_t OutputCount() override { return 0; }

    bool WaitInput(uint64_t deadline, const std::atomic<bool>* cancel) override {
        woken_ = false;
        for (;;) {
            if (Available() > 0) return true;
            if (gone_ || woken_ || (cancel && cancel->load()) || clock_.NowUs() >= deadline) return false;
            Sleep(1);
        }
    }
    bool WaitOutputEmpty(uint64_t) override { return !gone_; }

    long Read(uint8_t* buffer, size_t n) override {
        const size_t ready = std::min(n, Available());
        if (ready == 0) return gone_ ? -1 : 0;
        std::copy_n(pending_.begin(), ready, buffer);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(ready));
        return static_cast<long>(ready);
    }

    long Write(const uint8_t* buffer, size_t n, uint64_t deadline) override {
        if (gone_) return -1;
        size_t done = 0;
        while (done < n) {
            DWORD put = 0;
            if (!WriteFile(handle_, buffer + done, static_cast<DWORD>(n - done), &put, nullptr)) {
                gone_ = true;
                return done ? static_cast<long>(done) : -1;
            }
            done += put;
            if (put == 0) {
                if (clock_.NowUs() >= deadline) break;
                Sleep(1);
            }
        }
        return static_cast<long>(done);
    }

    bool PurgeInput() override {
        Available();
        pending_.clear();
        return !gone_;
    }
    bool PurgeOutput() override { return !gone_; }
    void Wake() override { woken_ = true; }
    std::string Name() const override { return port_; }
    bool Gone() const override { return gone_; }
    bool IsStandInLine() const override { return true; }

private:
    // What has arrived, read off the pipe into pending_ first.
    size_t Available() {
        if (gone_) return pending_.size();
        uint8_t chunk[4096];
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(handle_, chunk, sizeof chunk, &got, nullptr)) {
                if (GetLastError() != ERROR_NO_DATA) gone_ = true;
                break;
            }
            if (got == 0) break;
            pending_.insert(pending_.end(), chunk, chunk + got);
        }
        return pending_.size();
    }
    HANDLE handle_;
    std::string port_;
    Clock& clock_;
    std::vector<uint8_t> pending_;
    std::atomic<bool> gone_{false};
    std::atomic<bool> woken_{false};
};

// The board's end. A pipe in non-blocking mode does not tell reliably when a tool has come or
// gone (Wine's answers "listening" to every look), so a thread of its own waits for each tool
// in blocking calls, reads what it sends, and waits for the next one once it has left.
class PipeServerDevice final : public SerialDevice {
public:
    PipeServerDevice(HANDLE handle, std::string port, Clock& clock)
        : handle_(handle), port_(std::move(port)), clock_(clock) {
        thread_ = CreateThread(nullptr, 0, &PipeServerDevice::Run, this, 0, nullptr);
    }
    ~PipeServerDevice() override {
        stopping_ = true;
        if (thread_) {
            CancelSynchronousIo(thread_);
            // A thread still waiting for a tool is woken by one that connects and leaves.
            HANDLE h = CreateFileW(path_().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            WaitForSingleObject(thread_, 2000);
            CloseHandle(thread_);
        }
        DisconnectNamedPipe(handle_);
        CloseHandle(handle_);
    }

    bool Configure(const LineSettings&) override { return true; }
    LineResult SetDtr(bool) override { return LineResult::Unsupported; }
    LineResult SetRts(bool) override { return LineResult::Unsupported; }
    size_t InputCount() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return pending_.size();
    }
    size_t OutputCount() override { return 0; }
    bool WaitInput(uint64_t deadline, const std::atomic<bool>* cancel) override {
        woken_ = false;
        for (;;) {
            if (InputCount() > 0) return true;
            if (woken_ || (cancel && cancel->load()) || clock_.NowUs() >= deadline) return false;
            Sleep(1);
        }
    }
    bool WaitOutputEmpty(uint64_t) override { return true; }
    long Read(uint8_t* buffer, size_t n) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t ready = std::min(n, pending_.size());
        std::copy_n(pending_.begin(), ready, buffer);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(ready));
        return static_cast<long>(ready);
    }
    // With no tool there, the board's bytes go nowhere, as on a cable with nothing at its end.
    long Write(const uint8_t* buffer, size_t n, uint64_t) override {
        if (connected_) {
            DWORD put = 0;
            WriteFile(handle_, buffer, static_cast<DWORD>(n), &put, nullptr);
        }
        return static_cast<long>(n);
    }
    bool PurgeInput() override {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.clear();
        return true;
    }
    bool PurgeOutput() override { return true; }
    void Wake() override { woken_ = true; }
    std::string Name() const override { return port_; }
    bool IsStandInLine() const override { return true; }

private:
    std::wstring path_() const { return PipePath(port_.substr(5)); }
    static DWORD WINAPI Run(void* self) {
        static_cast<PipeServerDevice*>(self)->Serve();
        return 0;
    }
    void Serve() {
        uint8_t chunk[4096];
        while (!stopping_) {
            if (!ConnectNamedPipe(handle_, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
                Sleep(10);
                continue;
            }
            connected_ = true;
            DWORD got = 0;
            while (!stopping_ && ReadFile(handle_, chunk, sizeof chunk, &got, nullptr)) {
                std::lock_guard<std::mutex> lock(mutex_);
                pending_.insert(pending_.end(), chunk, chunk + got);
            }
            // The tool has left: what it sent last is of no use to the next one.
            connected_ = false;
            DisconnectNamedPipe(handle_);
            std::lock_guard<std::mutex> lock(mutex_);
            pending_.clear();
        }
    }

    HANDLE handle_;
    std::string port_;
    Clock& clock_;
    HANDLE thread_ = nullptr;
    std::mutex mutex_;
    std::vector<uint8_t> pending_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> woken_{false};
};

}  // namespace

std::unique_ptr<SerialDevice> OpenPipeClient(const std::string& port, Clock& clock, OpenError* error) {
    std::string name;
    if (!IsPipePort(port, &name) || name.empty()) {
        if (error) *error = {EINVAL, "'" + port + "' is not a pipe name (pipe:NAME)"};
        return nullptr;
    }
    // The board takes one tool at a time and notices a tool that left on its next look at
    // the pipe: a busy pipe is waited for a little, as the tool's own runs follow each other.
    const std::wstring path = PipePath(name);
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD e = 0;
    // (WaitNamedPipe alone is not enough: Wine's may return at once while the pipe is busy.)
    const uint64_t giveUp = clock.NowUs() + 3'000'000;
    for (;;) {
        h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) break;
        e = GetLastError();
        if (e != ERROR_PIPE_BUSY || clock.NowUs() >= giveUp) break;
        WaitNamedPipeW(path.c_str(), 100);
        Sleep(10);
    }
    if (h == INVALID_HANDLE_VALUE) {
        if (error)
            *error = {ENODEV, e == ERROR_FILE_NOT_FOUND
                                  ? port + ": no stand-in board serves this pipe (start tessel-sim --port " + port + ")"
                              : e == ERROR_PIPE_BUSY ? port + ": the pipe is in use by another program"
                                                     : port + ": " + win::ErrorText(e)};
        return nullptr;
    }
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
    return std::make_unique<PipeClientDevice>(h, port, clock);
}

std::unique_ptr<SerialDevice> OpenPipeServer(const std::string& port, Clock& clock, OpenError* error) {
    std::string name;
    if (!IsPipePort(port, &name) || name.empty()) {
        if (error) *error = {EINVAL, "'" + port + "' is not a pipe name (pipe:NAME)"};
        return nullptr;
    }
    // One instance: a second board on the same name is refused rather than sharing the line.
    const HANDLE h = CreateNamedPipeW(PipePath(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (error)
            *error = {EBUSY, e == ERROR_ACCESS_DENIED || e == ERROR_PIPE_BUSY
                                 ? port + ": another program serves this pipe already"
                                 : port + ": " + win::ErrorText(e)};
        return nullptr;
    }
    return std::make_unique<PipeServerDevice>(h, port, clock);
}

}  // namespace tessel
