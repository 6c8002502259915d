#include "platform/WebSerialDevice.h"

#include <emscripten.h>

#include <cerrno>

#include "platform/Clock.h"
#include "platform/PortList.h"
#include "platform/SystemPorts.h"

namespace tessel {

namespace {

// The script's side of the port, kept on Module: the port, its writer, the bytes read and
// not yet taken, and the one wait in progress. A reader loop runs while the port is open and
// ends the port as gone when the browser reports it lost (unplugged, failed).
EM_ASYNC_JS(int, web_serial_open, (uint32_t baud), {
    const port = Module.tesselPort;
    if (!port) return -1;
    const s = Module.tesselSerial || (Module.tesselSerial = {});
    if (s.open) {
        s.closing = true;
        try { s.reader && await s.reader.cancel(); } catch (e) {}
        try { s.writer && s.writer.releaseLock(); } catch (e) {}
        try { await s.loop; } catch (e) {}
        try { await port.close(); } catch (e) {}
        s.open = false;
    }
    try {
        await port.open({baudRate: baud, dataBits: 8, parity: 'none', stopBits: 1, bufferSize: 65536});
    } catch (e) {
        return -2;
    }
    s.open = true; s.gone = false; s.closing = false; s.input = []; s.inputCount = 0;
    s.writer = port.writable.getWriter();
    s.pending = 0; s.queued = []; s.last = null;
    s.flush = () => {
        if (!s.queued.length || !s.open) return;
        const bytes = new Uint8Array(s.queued.reduce((n, b) => n + b.length, 0));
        let at = 0;
        for (const b of s.queued) { bytes.set(b, at); at += b.length; }
        s.queued = [];
        s.last = s.writer.write(bytes).then(() => { s.pending -= bytes.length; },
                                            () => { s.gone = true; s.pending = 0; s.notify(); });
    };
    s.notify = () => { if (s.waiter) { const w = s.waiter; s.waiter = null; w(); } };
    port.ondisconnect = () => { s.gone = true; s.notify(); };
    s.loop = (async () => {
        while (s.open && port.readable) {
            s.reader = port.readable.getReader();
            try {
                for (;;) {
                    const {value, done} = await s.reader.read();
                    if (done) break;
                    if (value && value.length) { s.input.push(value); s.inputCount += value.length; s.notify(); }
                }
            } catch (e) {
                if (!s.closing) { s.gone = true; s.notify(); return; }
            } finally {
                try { s.reader.releaseLock(); } catch (e) {}
            }
            if (s.closing) return;
        }
        if (!s.closing) { s.gone = true; s.notify(); }
    })();
    return 0;
});

EM_ASYNC_JS(void, web_serial_close, (), {
    const s = Module.tesselSerial;
    if (!s || !s.open) return;
    s.flush();
    try { await s.last; } catch (e) {}
    s.closing = true;
    try { s.reader && await s.reader.cancel(); } catch (e) {}
    try { s.writer && s.writer.releaseLock(); } catch (e) {}
    try { await s.loop; } catch (e) {}
    try { await Module.tesselPort.close(); } catch (e) {}
    s.open = false;
});

EM_ASYNC_JS(int, web_serial_signals, (int dtr, int rts), {
    const s = Module.tesselSerial;
    if (s && s.open) s.flush();
    try {
        await Module.tesselPort.setSignals({dataTerminalReady: !!dtr, requestToSend: !!rts});
        return 0;
    } catch (e) {
        return -1;
    }
});

EM_JS(int, web_serial_count, (), {
    const s = Module.tesselSerial;
    return s && s.open ? s.inputCount : 0;
});

EM_JS(int, web_serial_gone, (), {
    const s = Module.tesselSerial;
    return !s || !s.open || s.gone ? 1 : 0;
});

// Waits at most ms for a byte (or a wake); returns at once when one is waiting.
EM_ASYNC_JS(void, web_serial_wait, (int ms), {
    const s = Module.tesselSerial;
    if (!s || !s.open || s.gone || s.inputCount > 0) return;
    await new Promise(resolve => {
        const timer = setTimeout(() => { s.waiter = null; resolve(); }, ms);
        s.waiter = () => { clearTimeout(timer); resolve(); };
    });
});

EM_JS(void, web_serial_wake, (), {
    const s = Module.tesselSerial;
    if (s && s.notify) s.notify();
});

EM_JS(int, web_serial_read, (uint8_t* buffer, int n), {
    const s = Module.tesselSerial;
    let taken = 0;
    while (taken < n && s.input.length) {
        const chunk = s.input[0];
        const k = Math.min(n - taken, chunk.length);
        HEAPU8.set(chunk.subarray(0, k), buffer + taken);
        taken += k;
        if (k === chunk.length) s.input.shift(); else s.input[0] = chunk.subarray(k);
    }
    s.inputCount -= taken;
    return taken;
});

EM_JS(void, web_serial_purge, (), {
    const s = Module.tesselSerial;
    if (s) { s.input = []; s.inputCount = 0; }
});

// A write is queued without waiting for it: a wait hands the thread to the browser and back,
// which byte by byte costs more than the bytes. The bytes queued while the program runs go to
// the port's stream together when it next gives the browser its thread (before the modem
// lines change, which must follow them); a write the browser fails ends the port as gone.
EM_JS(int, web_serial_write, (const uint8_t* buffer, int n), {
    const s = Module.tesselSerial;
    if (!s || !s.open || s.gone) return -1;
    if (s.pending >= 4096) return 0;
    s.pending += n;
    s.queued.push(HEAPU8.slice(buffer, buffer + n));
    if (s.queued.length === 1) queueMicrotask(s.flush);
    return n;
});

EM_JS(int, web_serial_pending, (), {
    const s = Module.tesselSerial;
    return s && s.open && !s.gone ? s.pending : 0;
});

// Waits at most ms for the bytes queued to be taken by the port.
EM_ASYNC_JS(void, web_serial_settle, (int ms), {
    const s = Module.tesselSerial;
    if (!s || !s.open) return;
    s.flush();
    if (!s.last) return;
    let timer;
    await Promise.race([s.last, new Promise(resolve => { timer = setTimeout(resolve, ms); })]);
    clearTimeout(timer);
});

// A wait is cut into slices so that a cancel flag set by the page (Stop) is seen between them.
constexpr int kSliceMs = 50;

}  // namespace

std::unique_ptr<SerialDevice> WebSerialDevice::Open(const std::string& name, Clock& clock, OpenError* error) {
    std::unique_ptr<WebSerialDevice> device(new WebSerialDevice(name, clock));
    if (!device->Configure(LineSettings{})) {
        if (error) *error = {ENODEV, name + ": the browser could not open the port (no port chosen, or it is in use)"};
        return nullptr;
    }
    return device;
}

WebSerialDevice::~WebSerialDevice() { web_serial_close(); }

bool WebSerialDevice::Configure(const LineSettings& settings) {
    // Web Serial sets the rate only when it opens a port, so another rate reopens it; the
    // modem lines are set again after.
    if (settings.baudRate == baud_ && !Gone()) return true;
    if (web_serial_open(settings.baudRate) != 0) return false;
    baud_ = settings.baudRate;
    return Signals() != LineResult::Failed;
}

LineResult WebSerialDevice::Signals() {
    return web_serial_signals(dtr_, rts_) == 0 ? LineResult::Ok : LineResult::Failed;
}

LineResult WebSerialDevice::SetDtr(bool high) {
    dtr_ = high;
    return Signals();
}

LineResult WebSerialDevice::SetRts(bool high) {
    rts_ = high;
    return Signals();
}

size_t WebSerialDevice::InputCount() { return static_cast<size_t>(web_serial_count()); }

bool WebSerialDevice::Gone() const { return web_serial_gone() != 0; }

bool WebSerialDevice::WaitInput(uint64_t deadlineUs, const std::atomic<bool>* cancel) {
    for (;;) {
        if (web_serial_count() > 0) return true;
        if (Gone() || (cancel && cancel->load())) return false;
        const uint64_t now = clock_.NowUs();
        if (now >= deadlineUs) return false;
        const uint64_t leftMs = (deadlineUs - now + 999) / 1000;
        web_serial_wait(static_cast<int>(leftMs < kSliceMs ? leftMs : kSliceMs));
    }
}

long WebSerialDevice::Read(uint8_t* buffer, size_t n) {
    if (Gone() && web_serial_count() == 0) return -1;
    return web_serial_read(buffer, static_cast<int>(n));
}

// Waits in slices until the port has taken every byte queued (true), the deadline passes or
// the port is gone.
bool WebSerialDevice::WaitQueue(uint64_t deadlineUs) {
    while (web_serial_pending() > 0) {
        const uint64_t now = clock_.NowUs();
        if (now >= deadlineUs) return false;
        const uint64_t leftMs = (deadlineUs - now + 999) / 1000;
        web_serial_settle(static_cast<int>(leftMs < kSliceMs ? leftMs : kSliceMs));
    }
    return !Gone();
}

size_t WebSerialDevice::OutputCount() { return static_cast<size_t>(web_serial_pending()); }

bool WebSerialDevice::WaitOutputEmpty(uint64_t deadlineUs) { return WaitQueue(deadlineUs); }

long WebSerialDevice::Write(const uint8_t* buffer, size_t n, uint64_t deadlineUs) {
    for (;;) {
        const long taken = web_serial_write(buffer, static_cast<int>(n));
        if (taken != 0) return taken;
        // The queue is full: room comes as the port takes what it holds.
        if (!WaitQueue(deadlineUs)) return Gone() ? -1 : 0;
    }
}

bool WebSerialDevice::PurgeInput() {
    web_serial_purge();
    return true;
}

void WebSerialDevice::Wake() { web_serial_wake(); }

// The page's one system port is the one the operator granted it.
std::string SystemPortPath(const std::string& name) { return name; }

std::unique_ptr<SerialDevice> OpenSystemPort(const std::string& name, Clock& clock, OpenError* error) {
    if (name != "webserial") {
        if (error) *error = {0, "'" + name + "' is not a port name (the page opens the port chosen with \"Serial port...\")"};
        return nullptr;
    }
    return WebSerialDevice::Open(name, clock, error);
}

std::unique_ptr<PortHold> HoldSystemPort(const std::string& name, OpenError* error) {
    if (error) *error = {0, name + ": the page holds no port between commands"};
    return nullptr;
}

// The browser lists no ports and names no adapters: the operator grants one port to the page.
std::string SysfsTtyName(const std::string&, const std::string&, const std::string&) { return {}; }
bool IsUsbTty(const std::string&, const std::string&, const std::string&) { return false; }
std::vector<PortEntry> ListSerialPorts(const std::string&, const std::string&) { return {}; }
std::string AdapterSerialOf(const std::string&, const std::string&, const std::string&) { return {}; }

}  // namespace tessel
