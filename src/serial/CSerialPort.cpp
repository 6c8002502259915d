#include "serial/CSerialPort.h"

#include <algorithm>
#include <string>

#include "platform/Clock.h"
#include "platform/Operator.h"
#include "serial/WireTrace.h"

namespace tessel {

namespace {
const char kWriteFailed[] = "2:Fail to write QMT_CMD_READ CMD byte!!!";
const char kWriteTimedOut[] = "3:Fail to write QMT_CMD_READ CMD byte!!!";
}  // namespace

CSerialPort::CSerialPort(Operator* owner, Clock& clock) : owner_(owner), clock_(clock) {}

CSerialPort::~CSerialPort() {
    if (device_) Close();
}

void CSerialPort::SetPortNumber(int number) {
    portNumber_ = number;
    portName_.clear();
}

std::string CSerialPort::DeviceName() const {
    return portName_.empty() ? "COM" + std::to_string(portNumber_) : portName_;
}

uint32_t CSerialPort::EffectiveRate(uint32_t requested) {
    switch (requested) {
        case 110: case 300: case 600: case 1200: case 2400:
        case 4800: case 9600: case 19200: case 38400:
        // Beyond the listed rates: offered only where the crystal makes them (BaudCalc).
        case 57600: case 115200:
            return requested;
        default:
            return 38400;
    }
}

void CSerialPort::Show(const char* text) {
    if (owner_) owner_->Fail(text);
}

void CSerialPort::Trace(const std::string& line) {
    if (owner_) owner_->DebugTrace(line);
}

int CSerialPort::Open() {
    if (device_) Close();
    lastOpenError_ = {};
    const std::string name = DeviceName();
    device_ = factory_ ? factory_(&lastOpenError_) : OpenSerialDevice(name, clock_, &lastOpenError_);
    if (!device_) {
        if (lastOpenError_.reason.empty()) lastOpenError_.reason = name + ": cannot open";
        return 2;
    }
    gone_ = false;
    txFreeUs_ = 0;
    device_->PurgeInput();
    FlushQueuedOutput();
    lineSettings_ = LineSettings{};
    lineSettings_.baudRate = EffectiveRate(baudRate_);
    device_->Configure(lineSettings_);
    if (const std::string note = device_->SetupNote(); !note.empty() && !setupNoted_) {
        setupNoted_ = true;
        if (owner_) owner_->ShowNote(note);
    }
    if (trace_)
        trace_->Event(clock_.NowUs(), "open " + device_->Name() + " " +
                                          std::to_string(lineSettings_.baudRate) + " 8N1");
    // The port comes up with both lines asserted, as the boot loader's cable expects, and
    // RTS is then dropped so the target is held out of reset until a line sequence runs.
    SetLine(true, true);
    SetLine(false, true);
    SetLine(false, false);
    return 0;
}

int CSerialPort::Close() {
    ClearLinkUp();
    if (!device_) return 3;
    // What was written last (a closing sequence) must reach the target before the lines
    // drop and the queue is cleared.
    DrainOutput();
    SetLine(true, false);
    SetLine(false, false);
    device_->PurgeInput();
    FlushQueuedOutput();
    if (trace_) trace_->Event(clock_.NowUs(), "close");
    device_.reset();
    return 0;
}

void CSerialPort::SetLine(bool dtr, bool high) {
    if (!device_ || CheckGone()) return;
    const LineResult r = dtr ? device_->SetDtr(high) : device_->SetRts(high);
    if (r == LineResult::Failed && CheckGone()) return;
    if (trace_)
        trace_->Event(clock_.NowUs(), std::string(dtr ? "DTR " : "RTS ") + (high ? "high" : "low"));
    if (r == LineResult::Unsupported && !linesUnsupportedReported_) {
        linesUnsupportedReported_ = true;
        Trace(device_->Name() + ": the device has no modem lines; DTR and RTS are not driven");
    } else if (r == LineResult::Failed) {
        Trace(device_->Name() + std::string(": setting ") + (dtr ? "DTR" : "RTS") + " failed");
    }
}

bool CSerialPort::CheckGone() {
    if (gone_) return true;
    if (!device_ || !device_->Gone()) return false;
    gone_ = true;
    ClearLinkUp();
    if (trace_) trace_->Event(clock_.NowUs(), "device gone");
    if (owner_) owner_->ShowError(GoneMessage(device_->Name()));
    return true;
}

std::string CSerialPort::GoneMessage(const std::string& path) {
    return "the serial device " + path + " has gone (unplugged?)";
}

void CSerialPort::FlushQueuedOutput() {
    if (device_ && device_->OutputCount() > 0) device_->PurgeOutput();
}

uint64_t CSerialPort::WireFreeUs() { return std::max(txFreeUs_, clock_.NowUs()); }

// The line sequences reset or switch the target: bytes still on their way would reach a
// chip in another state.
void CSerialPort::SetLinesInternalMode() {
    DrainOutput();
    SetLine(false, false);
    SetLine(true, false);
    SetLine(false, true);
}

void CSerialPort::SetLinesExternalMode() {
    DrainOutput();
    SetLine(false, false);
    SetLine(true, true);
    SetLine(false, true);
}

void CSerialPort::PulseRts() {
    DrainOutput();
    SetLine(false, false);
    SetLine(false, true);
}

// A reply cannot start before the bytes that ask for it have left, so the waits count from
// then: at the slowest rates a long frame takes longer than the wait itself.
bool CSerialPort::WaitForInput() {
    if (!device_ || CheckGone()) return false;
    // A silent board gets no wait, only a look at what may have come after all.
    const uint64_t until = silenceWatches_ > 0 && silent_ ? clock_.NowUs() : WireFreeUs() + kWaitForInputMs * 1000ull;
    const bool got = device_->WaitInput(until, &cancelWaits_);
    CheckGone();
    if (silenceWatches_ > 0) {
        quietWaits_ = got ? 0 : quietWaits_ + 1;
        if (got) silent_ = false;
        if (quietWaits_ >= 2 && !silent_) {
            silent_ = true;
            if (trace_) trace_->Event(clock_.NowUs(), "the board has gone silent");
        }
    }
    return got && !gone_;
}

// Used by the loops that send a string and look for an answer: the next string must not
// start before this one has left, or at a low rate the queue would run ahead of the line.
bool CSerialPort::PollForInput() {
    if (!device_ || CheckGone()) return false;
    DrainOutput();
    const bool got = device_->WaitInput(clock_.NowUs() + kPollForInputMs * 1000ull, &cancelWaits_);
    CheckGone();
    return got && !gone_;
}

int CSerialPort::ReadByte(uint8_t* byte) {
    if (!device_ || !WaitForInput()) return 0;
    uint8_t cell = 0xFF;
    long got = device_->Read(&cell, 1);
    if (got == 0 &&
        device_->WaitInput(clock_.NowUs() + kReadLimitMs * 1000ull, &cancelWaits_))
        got = device_->Read(&cell, 1);
    if (got < 0 || CheckGone()) return 0;
    if (got != 1) return 0;
    if (trace_) trace_->Bytes(clock_.NowUs(), '<', &cell, 1);
    if (byte) *byte = cell;
    return 1;
}

bool CSerialPort::WriteBytes(const uint8_t* buffer, size_t length, uint32_t limitMs) {
    if (!device_) {
        Show(kWriteFailed);
        return false;
    }
    if (CheckGone()) return false;
    // Bytes go to the driver's queue as fast as it takes them; the line itself keeps them
    // one after the other at the rate, which is all the boot loader's frames need. Waiting
    // for the queue to empty after every byte would cost a USB frame per byte on an
    // adapter; the protocol drains only where it needs the line quiet (DrainOutput).
    const long sent = device_->Write(buffer, length, clock_.NowUs() + limitMs * 1000ull);
    if (sent > 0) {
        const double byteUs = 10.0e6 / lineSettings_.baudRate;
        txFreeUs_ = WireFreeUs() + static_cast<uint64_t>(byteUs * static_cast<double>(sent) + 0.5);
    }
    if (CheckGone()) return false;
    if (trace_ && sent > 0) {
        if (traceWithheld_) trace_->Event(clock_.NowUs(), "> " + std::to_string(sent) + " byte(s) withheld");
        else trace_->Bytes(clock_.NowUs(), '>', buffer, static_cast<size_t>(sent));
    }
    if (sent < 0) {
        Show(kWriteFailed);
        return false;
    }
    if (static_cast<size_t>(sent) < length) {
        Show(kWriteTimedOut);
        return false;
    }
    return true;
}

int CSerialPort::WriteByte(uint8_t byte) { return WriteBytes(&byte, 1, kWriteByteLimitMs) ? 1 : 0; }

bool CSerialPort::WriteBlock(const uint8_t* buffer, size_t length) {
    return WriteBytes(buffer, length, kWriteBlockLimitMs);
}

bool CSerialPort::DrainOutput() {
    if (!device_ || CheckGone()) return false;
    const bool drained = device_->WaitOutputEmpty(WireFreeUs() + kDrainWaitMs * 1000ull);
    if (drained) txFreeUs_ = 0;
    return drained && !CheckGone();
}

bool CSerialPort::PurgeInput() {
    if (!device_ || CheckGone()) return false;
    if (trace_) trace_->Event(clock_.NowUs(), "purge input");
    return device_->PurgeInput();
}

bool CSerialPort::PurgeOutput() {
    if (!device_ || CheckGone()) return false;
    if (trace_) trace_->Event(clock_.NowUs(), "purge output");
    FlushQueuedOutput();
    return true;
}

void CSerialPort::CancelWaits() {
    cancelWaits_ = true;
    if (device_) device_->Wake();
    clock_.Wake();
}

void CSerialPort::ResumeWaits() { cancelWaits_ = false; }

bool CSerialPort::StartWireTrace(const std::string& path, std::string* error) {
    trace_.reset();
    if (path.empty()) return true;
    trace_ = WireTrace::Open(path, error);
    return trace_ != nullptr;
}

void CSerialPort::StopWireTrace() { trace_.reset(); }

}  // namespace tessel
