#include "platform/WinSerialDevice.h"

#include <windows.h>
#include <timeapi.h>

#include <algorithm>
#include <cerrno>

#include "platform/Clock.h"
#include "platform/WinText.h"

namespace tessel {

namespace {

// A short slice of waiting, so that a cancel flag is seen soon and a wait that the driver
// ends early (Wine's WaitCommEvent gives up every 10 to 15 ms with error 995) is simply
// started again.
constexpr DWORD kSliceMs = 20;

DWORD MsUntil(Clock& clock, uint64_t deadline) {
    const uint64_t now = clock.NowUs();
    return deadline > now ? static_cast<DWORD>(std::min<uint64_t>((deadline - now + 999) / 1000, kSliceMs)) : 0;
}

}  // namespace

std::string DescribeComOpenFailure(const std::string& path, unsigned long error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEV_NOT_EXIST:
            return path + ": no such serial port (is the adapter plugged in? `tessel ports` lists the ports present)";
        // A port is opened for one program at a time; the system answers a second one so.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return path + ": the port is in use by another program";
        default:
            return path + ": " + win::ErrorText(error);
    }
}

std::unique_ptr<WinSerialDevice> WinSerialDevice::Open(const std::string& path, Clock& clock, OpenError* error) {
    auto fail = [&](int code, std::string reason) {
        if (error) *error = {code, std::move(reason)};
        return nullptr;
    };
    const HANDLE h = CreateFileW(win::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        const int code = err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION ? EBUSY
                         : err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? ENOENT
                                                                                        : EIO;
        return fail(code, DescribeComOpenFailure(path, err));
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &dcb)) {
        CloseHandle(h);
        return fail(ENOTTY, path + ": not a serial device");
    }
    // Reads return at once with what is there; writes have no timeout of their own, their
    // deadline is kept here.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    const HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!SetCommTimeouts(h, &timeouts) || !SetCommMask(h, EV_RXCHAR | EV_ERR | EV_BREAK) || wake == nullptr) {
        const DWORD err = GetLastError();
        if (wake) CloseHandle(wake);
        CloseHandle(h);
        return fail(EIO, DescribeComOpenFailure(path, err));
    }
    std::unique_ptr<WinSerialDevice> device(new WinSerialDevice(
        h, wake, path, clock, dcb.fDtrControl != DTR_CONTROL_DISABLE, dcb.fRtsControl != RTS_CONTROL_DISABLE));
    // The scheduler's default tick of 15.6 ms would make every short wait and timeout last 16
    // ms, and the loader's many small exchanges would crawl; 1 ms holds while the port is
    // open. The system counts the requests, so each one granted is given back once.
    device->finePeriod_ = timeBeginPeriod(1) == TIMERR_NOERROR;
    return device;
}

WinSerialDevice::WinSerialDevice(void* handle, void* wake, std::string path, Clock& clock, bool dtr, bool rts)
    : handle_(handle), wake_(wake), path_(std::move(path)), clock_(clock),
      realClock_(clock.IsSystemTime()), dtr_(dtr), rts_(rts) {}

WinSerialDevice::~WinSerialDevice() {
    CancelIo(handle_);
    CloseHandle(handle_);
    CloseHandle(wake_);
    if (finePeriod_) timeEndPeriod(1);
}

// The errors a port gives once its device has been unplugged; nothing after that succeeds.
unsigned long WinSerialDevice::Note(unsigned long error) {
    switch (error) {
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE: gone_ = true; break;
        default: break;
    }
    return error;
}

bool WinSerialDevice::Configure(const LineSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) return Note(GetLastError()), false;
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
    dcb.Parity = settings.parity == 'E' ? EVENPARITY : settings.parity == 'O' ? ODDPARITY : NOPARITY;
    dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != 'N';
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = dcb.fInX = FALSE;
    dcb.fErrorChar = dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = dtr_ ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = rts_ ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    if (!SetCommState(handle_, &dcb)) return Note(GetLastError()), false;
    // A driver may take a rate it cannot make and round it: only what it reports back is set.
    DCB now{};
    now.DCBlength = sizeof now;
    return GetCommState(handle_, &now) && now.BaudRate == dcb.BaudRate && now.ByteSize == dcb.ByteSize &&
           now.Parity == dcb.Parity && now.StopBits == dcb.StopBits;
}

LineResult WinSerialDevice::Escape(unsigned function) {
    if (EscapeCommFunction(handle_, function)) return LineResult::Ok;
    const DWORD err = Note(GetLastError());
    if (err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION || err == ERROR_INVALID_PARAMETER)
        return LineResult::Unsupported;
    return LineResult::Failed;
}

LineResult WinSerialDevice::SetDtr(bool high) {
    const LineResult r = Escape(high ? SETDTR : CLRDTR);
    if (r == LineResult::Ok) dtr_ = high;
    return r;
}

LineResult WinSerialDevice::SetRts(bool high) {
    const LineResult r = Escape(high ? SETRTS : CLRRTS);
    if (r == LineResult::Ok) rts_ = high;
    return r;
}

bool WinSerialDevice::Status(size_t* in, size_t* out) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(handle_, &errors, &stat)) {
        Note(GetLastError());
        return false;
    }
    if (in) *in = stat.cbInQue;
    if (out) *out = stat.cbOutQue;
    return true;
}

size_t WinSerialDevice::InputCount() {
    size_t n = 0;
    return Status(&n, nullptr) ? n : 0;
}

size_t WinSerialDevice::OutputCount() {
    size_t n = 0;
    return Status(nullptr, &n) ? n : 0;
}

bool WinSerialDevice::Finish(void* overlapped, uint64_t deadline, unsigned long* bytes) {
    auto* ov = static_cast<OVERLAPPED*>(overlapped);
    for (;;) {
        DWORD n = 0;
        if (GetOverlappedResult(handle_, ov, &n, FALSE)) {
            *bytes = n;
            return true;
        }
        const DWORD err = GetLastError();
        if (err != ERROR_IO_INCOMPLETE) {
            Note(err);
            *bytes = n;
            return false;
        }
        if (clock_.NowUs() >= deadline) break;
        if (realClock_) WaitForSingleObject(ov->hEvent, MsUntil(clock_, deadline));
        else clock_.SleepUntilUs(clock_.NowUs() + 1000);
    }
    CancelIoEx(handle_, ov);
    DWORD n = 0;
    GetOverlappedResult(handle_, ov, &n, TRUE);
    *bytes = n;
    return false;
}

bool WinSerialDevice::WaitInput(uint64_t deadline, const std::atomic<bool>* cancel) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return false;
    bool ready = false;
    bool pending = false;
    for (;;) {
        size_t in = 0;
        if (!Status(&in, nullptr) || gone_) break;
        if (in > 0) {
            ready = true;
            break;
        }
        if ((cancel && cancel->load()) || clock_.NowUs() >= deadline) break;
        if (!realClock_) {
            clock_.SleepUntilUs(clock_.NowUs() + 1000, cancel);
            continue;
        }
        if (!pending) {
            DWORD mask = 0;
            ResetEvent(ov.hEvent);
            if (WaitCommEvent(handle_, &mask, &ov)) continue;  // an event already: count again
            const DWORD err = GetLastError();
            if (err != ERROR_IO_PENDING) {
                Note(err);
                // A driver that cannot wait for events is asked again after a slice.
                if (gone_) break;
                Sleep(MsUntil(clock_, deadline));
                continue;
            }
            pending = true;
        }
        const HANDLE both[2] = {ov.hEvent, wake_};
        const DWORD r = WaitForMultipleObjects(2, both, FALSE, MsUntil(clock_, deadline));
        if (r == WAIT_OBJECT_0 + 1) break;  // woken
        if (r == WAIT_OBJECT_0) {
            // Whatever ended the wait (a byte, an error, or a driver that ends it early), the
            // queue is counted again before anything is concluded.
            DWORD n = 0;
            if (!GetOverlappedResult(handle_, &ov, &n, FALSE) && GetLastError() != ERROR_OPERATION_ABORTED)
                Note(GetLastError());
            pending = false;
        }
    }
    if (pending) {
        CancelIoEx(handle_, &ov);
        DWORD n = 0;
        GetOverlappedResult(handle_, &ov, &n, TRUE);
    }
    CloseHandle(ov.hEvent);
    return ready && !gone_;
}

bool WinSerialDevice::WaitOutputEmpty(uint64_t deadline) {
    // There is no event for an empty transmit queue that every driver gives; its count is
    // asked each millisecond, finer than a byte at any rate below 9600.
    for (;;) {
        size_t out = 0;
        if (!Status(nullptr, &out) || gone_) return false;
        if (out == 0) return true;
        if (clock_.NowUs() >= deadline) return false;
        clock_.SleepUntilUs(std::min(deadline, clock_.NowUs() + 1000));
    }
}

long WinSerialDevice::Read(uint8_t* buffer, size_t n) {
    if (gone_) return -1;
    size_t in = 0;
    if (!Status(&in, nullptr)) return gone_ ? -1 : 0;
    const DWORD want = static_cast<DWORD>(std::min(n, in));
    if (want == 0) return 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return -1;
    DWORD got = 0;
    long result = -1;
    if (ReadFile(handle_, buffer, want, &got, &ov)) {
        result = static_cast<long>(got);
    } else if (GetLastError() == ERROR_IO_PENDING) {
        // The timeouts make a read return with what is queued; this wait is only for the call.
        unsigned long moved = 0;
        result = Finish(&ov, clock_.NowUs() + 1'000'000, &moved) || moved > 0 ? static_cast<long>(moved) : -1;
    } else {
        Note(GetLastError());
    }
    CloseHandle(ov.hEvent);
    return result;
}

long WinSerialDevice::Write(const uint8_t* buffer, size_t n, uint64_t deadline) {
    if (gone_) return -1;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return -1;
    DWORD done = 0;
    long result = -1;
    if (WriteFile(handle_, buffer, static_cast<DWORD>(n), &done, &ov)) {
        result = static_cast<long>(done);
    } else if (GetLastError() == ERROR_IO_PENDING) {
        // What did not leave by the deadline is taken back; the count says what went.
        unsigned long moved = 0;
        const bool finished = Finish(&ov, deadline, &moved);
        result = finished || moved > 0 || !gone_ ? static_cast<long>(moved) : -1;
    } else {
        Note(GetLastError());
    }
    CloseHandle(ov.hEvent);
    return result;
}

bool WinSerialDevice::PurgeInput() {
    return PurgeComm(handle_, PURGE_RXCLEAR | PURGE_RXABORT) || (Note(GetLastError()), false);
}

bool WinSerialDevice::PurgeOutput() {
    return PurgeComm(handle_, PURGE_TXCLEAR | PURGE_TXABORT) || (Note(GetLastError()), false);
}

void WinSerialDevice::Wake() { SetEvent(wake_); }

}  // namespace tessel
