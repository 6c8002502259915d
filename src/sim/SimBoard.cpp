#include "sim/SimBoard.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

#include "calc/BaudCalc.h"
#include "device/ChipCatalogue.h"
#include "firmware/Firmware.h"
#include "platform/Clock.h"

namespace tessel::sim {

namespace {

const uint8_t kBaudString[4] = {0x80, 0xE0, 0xF8, 0xFE};
constexpr uint8_t kAck = 0xC0;
// A host that saw "OK" sends "BSL" at once; baud-detect strings this long after it come from one that did not.
constexpr uint64_t kMissedOkUs = 2'000'000;
// What the loader answers in place of an acknowledge when it refuses a command: a defined
// "no" lets the tool report at once instead of waiting out its read limit.
constexpr uint8_t kNak = 0x00;

std::string Hex(const std::vector<uint8_t>& bytes, size_t max = 4) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        if (i) s += ' ';
        s += b;
    }
    if (bytes.size() > max) s += " +" + std::to_string(bytes.size() - max);
    return s;
}

uint64_t ByteUs(uint32_t baud) { return baud ? (10'000'000ull + baud - 1) / baud : 0; }

// The boards this stand-in can be, by chip code: the memory map a real part of the code has,
// which monitor build sits where in block 1, and the first byte of its answer to 60h. Kept
// apart from the program's own catalogue so that a misreading there is not mirrored here.
struct SimChip {
    Geometry geo;
    std::optional<FirmwareId> monitor;
    uint32_t monitorAddress;
    uint8_t idByte;
};

const SimChip& SimChipFor(int chipType) {
    static const SimChip kA16{{16384, 128, 0, 4096, 64, 0xF000, 0xF000, 0xF400, 0xF080, 0xF040},
                              FirmwareId::MonitorA16Block1, 0xF000, 0xE4};
    static const SimChip kA32{{32768, 128, 0, 4096, 64, 0xF000, 0xF000, 0xF400, 0xF080, 0xF040},
                              FirmwareId::MonitorA32Block1, 0xF000, 0xE2};
    static const SimChip kHL64{{65536, 128, 0, 8192, 128, 0x0000, 0x0000, 0x0480, 0x02CA, 0x0080},
                               FirmwareId::MonitorHL64D, 0x0000, 0xE2};
    static const SimChip kHL32{{32768, 128, 0, 8192, 128, 0xE000, 0xE000, 0xE480, 0xE2CA, 0xE080},
                               FirmwareId::MonitorHL32B, 0xE000, 0xE2};
    // A code no part has: an A32's map that runs no monitor.
    static const SimChip kNone{kA32.geo, std::nullopt, 0, 0xE2};
    static const SimChip* const kByCode[] = {&kNone, &kA16, &kA32, &kHL64, &kHL64, &kHL32, &kHL32};
    return chipType >= 0 && chipType <= 6 ? *kByCode[chipType] : kNone;
}

}  // namespace

Geometry GeometryFor(int chipType) { return SimChipFor(chipType).geo; }

Board::Board(BoardConfig config) : config_(std::move(config)) {
    geo_ = GeometryFor(config_.chipType);
    flash_[0].assign(geo_.size0, 0xFF);
    flash_[1].assign(geo_.size1, 0xFF);
    external_.assign(kExternalFlashSize, 0xFF);
    // The loader's own code fills its area of block 1; its first bytes say what it is.
    const char* tag = config_.firmware == Firmware::F11E ? "BSL v1.1E" : "BSL v1.1F";
    for (uint32_t a = geo_.bslStart; a < geo_.bslEnd; ++a)
        flash_[1][a - geo_.start1] = static_cast<uint8_t>((a * 7 + 3) & 0xFF);
    std::copy(tag, tag + 9, flash_[1].begin() + (geo_.bslStart - geo_.start1));
    // The demonstration board ships with the external boot loader in the low half.
    const FirmwareImage& xbsl = tessel::Firmware(FirmwareId::ExternalBsl);
    std::copy(xbsl.data, xbsl.data + xbsl.size, external_.begin());
    firmware_ = config_.firmware;
    security_ = config_.securityBits & 0xE0;
    remap_ = config_.remapBits & 0x03;
    password_ = config_.password;
    // Until a line resets it, the board is as if just powered up in its start mode.
    Reset(config_.startExternal, 0);
}

void Board::Log(const std::string& text) { log_.push_back(text); }

void Board::Reset(bool external, uint64_t at) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    externalMode_ = external;
    latchedStatus_ = LiveStatusByte();
    pending_.clear();
    baudMatch_ = 0;
    lockedBaud_ = 0;
    passwordResetArmed_ = false;
    selectedBlock_ = 0;
    passwordVerified_ = false;
    state_ = LoaderState::AwaitBaud;
    busyUntil_ = at;
    // The chip starts whatever block 1 holds: once the monitor has been written over the
    // loader's area, no loader answers any more.
    if (MonitorInBlock1()) firmware_ = Firmware::Monitor;
    if (config_.loopBack) mode_ = Mode::LoopBack;
    else if (firmware_ == Firmware::Monitor) mode_ = Mode::Monitor;
    else mode_ = Mode::Loader;
    // 1.1E has no auto-baud: it talks at the rate it was built for and prompts at once.
    if (mode_ == Mode::Loader && firmware_ == Firmware::F11E) {
        state_ = LoaderState::Command;
        nextPrompt_ = at + kPromptPeriodUs;
    } else {
        nextPrompt_ = UINT64_MAX;
    }
    Log("reset " + std::string(external ? "external" : "internal"));
}

uint8_t Board::LiveStatusByte() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return static_cast<uint8_t>(security_ | (doubleClock_ ? 0x08 : 0) | (remap_ & 0x03));
}

void Board::OnLinesChanged(VirtualLine&, bool dtr, bool rts, uint64_t at) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // The reset circuit fires on RTS rising; DTR at that moment holds EA#.
    if (rts && !lastRts_) Reset(dtr, at);
    lastRts_ = rts;
    prevDtr_ = dtr;
}

uint64_t Board::NextTimer() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (mode_ != Mode::Loader || firmware_ != Firmware::F11E || config_.faults.stopPrompts)
        return UINT64_MAX;
    return nextPrompt_;
}

void Board::OnTimer(VirtualLine& line, uint64_t at) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    nextPrompt_ = UINT64_MAX;
    if (mode_ != Mode::Loader || firmware_ != Firmware::F11E || config_.faults.stopPrompts) return;
    if (!pending_.empty()) return;  // inside a command: no prompt until it is done
    Send(line, 0xF7, std::max(at, busyUntil_));
    nextPrompt_ = std::max(at, txFreeAt_) + kPromptPeriodUs;
}

uint64_t Board::ReplyTime(uint64_t at) const {
    return std::max(at, busyUntil_) + uint64_t{config_.faults.replyDelayMs} * 1000;
}

void Board::Busy(uint64_t at, uint64_t us) {
    const uint64_t from = std::max(at, busyUntil_);
    if (activity_) activity_->Add(static_cast<double>(from), static_cast<double>(from + us));
    busyUntil_ = from + us;
    busyTotal_ += us;
}

void Board::Send(VirtualLine& line, const std::vector<uint8_t>& bytes, uint64_t at) {
    const Faults& f = config_.faults;
    if (f.silentFromByte && received_ >= f.silentFromByte) return;
    if (f.dropAfterBytes && received_ + sent_ >= f.dropAfterBytes) return;
    if (f.unplugAfterBytes && received_ >= f.unplugAfterBytes) return;
    const uint32_t baud = lockedBaud_ ? lockedBaud_ : line.HostBaud();
    std::vector<uint8_t> out = bytes;
    for (auto& b : out) {
        ++sent_;
        if (f.corruptReplyByte && (sent_ == f.corruptReplyByte ||
                                   (f.corruptReplyEvery && sent_ > f.corruptReplyByte &&
                                    (sent_ - f.corruptReplyByte) % f.corruptReplyEvery == 0)))
            b = static_cast<uint8_t>(~b);
        // A host listening at another rate than the loader talks at sees garbage.
        if (baud != line.HostBaud()) b = static_cast<uint8_t>(b ^ 0xA5);
    }
    const uint64_t start = std::max(at, txFreeAt_);
    line.PeerSend(out.data(), out.size(), start, baud);
    txFreeAt_ = start + out.size() * ByteUs(baud);
}

bool Board::BaudProducible(uint32_t baud) const {
    return fitRate(config_.crystalMHz * (doubleClock_ ? 2.0 : 1.0), baud).has_value();
}

void Board::OnHostByte(VirtualLine& line, uint8_t byte, uint64_t at, uint32_t hostBaud) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Faults& f = config_.faults;
    if (f.unplugAfterBytes && received_ >= f.unplugAfterBytes) return;
    ++received_;
    // Bytes in both directions count, as for the replies: the link dies at one point in time.
    if (f.dropAfterBytes && received_ + sent_ > f.dropAfterBytes) return;
    if (mode_ == Mode::LoopBack) {
        Send(line, byte, at);
        return;
    }
    // Without modem lines the operator's reset is simulated by the next baud-detect string;
    // not while the loader waits for "BSL", where a slow host's extra strings are ignored,
    // unless "OK" went out long ago: that host missed it (it had closed the line, or gave up
    // just then) and would reset the board on a line with modem signals.
    const bool missedOk = state_ == LoaderState::AwaitBsl && at > okAt_ + kMissedOkUs;
    if (config_.selfResetOnBaudDetect && byte == kBaudString[0] && pending_.empty() &&
        !(mode_ == Mode::Loader && (state_ == LoaderState::AwaitBaud || (state_ == LoaderState::AwaitBsl && !missedOk))) &&
        !(mode_ == Mode::Loader && firmware_ == Firmware::F11E)) {
        Reset(externalMode_ || config_.startExternal, at);
    }
    if (mode_ == Mode::Monitor || mode_ == Mode::UserCode) return;
    if (lockedBaud_ && hostBaud != lockedBaud_) byte = static_cast<uint8_t>(byte ^ 0x5A);

    if (mode_ == Mode::Loader && firmware_ == Firmware::F11F) {
        if (state_ == LoaderState::AwaitBaud) {
            // The loader times the string's edges; only a rate its crystal can divide down to
            // closely enough is ever recognised.
            if (!BaudProducible(hostBaud) || (config_.maxBaud && hostBaud > config_.maxBaud)) return;
            if (byte == kBaudString[baudMatch_ % 4]) ++baudMatch_;
            else baudMatch_ = byte == kBaudString[0] ? 1 : 0;
            if (baudMatch_ >= 16) {
                lockedBaud_ = hostBaud;
                state_ = LoaderState::AwaitBsl;
                baudMatch_ = 0;
                Log("auto-baud " + std::to_string(hostBaud));
                okAt_ = ReplyTime(at);
                Send(line, {'O', 'K'}, okAt_);
            }
            return;
        }
        if (state_ == LoaderState::AwaitBsl) {
            // Further baud-detect strings from a host that had not yet seen "OK" are ignored.
            static const uint8_t kBsl[3] = {'B', 'S', 'L'};
            if (byte == kBsl[baudMatch_]) {
                if (++baudMatch_ == 3) {
                    state_ = LoaderState::Command;
                    baudMatch_ = 0;
                    Log("BSL");
                    Send(line, {'R', 'D', 'Y'}, ReplyTime(at));
                }
            } else {
                baudMatch_ = byte == 'B' ? 1 : 0;
            }
            return;
        }
    }
    pending_.push_back(byte);
    const size_t need = NeededLength();
    if (need == 0) {
        pending_.clear();  // a byte no command starts with
        return;
    }
    if (pending_.size() < need) return;
    Execute(line, at);
    pending_.clear();
    if (mode_ == Mode::Loader && firmware_ == Firmware::F11E)
        nextPrompt_ = std::max({at, busyUntil_, txFreeAt_}) + kPromptPeriodUs;
}

size_t Board::NeededLength() const {
    const uint8_t c = pending_[0];
    const size_t n = pending_.size();
    auto frameWithData = [&]() -> size_t { return n < 4 ? 4 : 4 + pending_[3]; };
    if (mode_ == Mode::ExternalProgram) {
        switch (c) {
            case 0x01: case 0x02: return 2;
            case 0x03: case 0x04: return 4;
            case 0x06: return frameWithData();
            case 0x63: return 1;
            default: return 0;
        }
    }
    if (mode_ == Mode::Loader && firmware_ == Firmware::F11E) {
        switch (c) {
            case 0x05: return 2;
            case 0x06: case 0x0E: return frameWithData();
            case 0x0B: case 0x0C: return 4;
            case 0x60: return 1;
            case 0x62: return 2;
            default: return 0;  // 0x61, the idle answer, and anything else
        }
    }
    switch (c) {
        case 0x01: case 0x03: case 0x0A: case 0x0B: case 0x0C: return 4;
        case 0x07: case 0x08: case 0x09: case 0x0E: return frameWithData();
        case 0x02: case 0x05: return 2;
        case 0x04:
            if (n < 2) return 2;
            switch (pending_[1]) {
                case 0x00: case 0x01: case 0x02: return 2;
                default: return 3;  // 0F/03/05 FF, 08 55, 09 5A/AA
            }
        case 0x60: case 0x63: return 1;
        case 0x62: case 0x64: case 0x67: case 0x68: case 0x69: case 0x6A: case 0x6B: case 0x6C:
            return c == 0x64 && n == 1 ? 1 : 2;
        case 0x65: return 4;
        case 0x66: return 3;
        default: return 0;
    }
}

void Board::Execute(VirtualLine& line, uint64_t at) {
    Log(Hex(pending_));
    ++commands_;
    const Faults& f = config_.faults;
    if (f.silentFromByte && received_ >= f.silentFromByte) return;
    if (f.ignoreCommand == pending_[0]) return;
    switch (mode_) {
        case Mode::Loader:
            if (firmware_ == Firmware::F11E) Execute11E(line, at);
            else Execute11F(line, at);
            break;
        case Mode::Stub: ExecuteStub(line, at); break;
        case Mode::ExternalProgram: ExecuteExternal(line, at); break;
        default: break;
    }
}

bool Board::Decode(uint32_t address, int* block, uint32_t* offset) const {
    const ChipFamily family = FamilyOf(config_.chipType);
    if (family == ChipFamily::HL64D) {
        // Block 1 overlays block 0's first 8 KB; the last block select decides.
        *block = selectedBlock_;
        *offset = address;
        return address < (selectedBlock_ ? geo_.size1 : geo_.size0);
    }
    if (address >= geo_.start1 && address < geo_.start1 + geo_.size1) {
        // H/L32B reaches block 1 in internal memory mode only after selecting it.
        if (family == ChipFamily::HL32B && !externalMode_ && selectedBlock_ != 1) return false;
        *block = 1;
        *offset = address - geo_.start1;
        return true;
    }
    if (address < geo_.size0) {
        *block = 0;
        *offset = address;
        return true;
    }
    return false;
}

bool Board::Mapped(uint32_t address) const {
    if (FamilyOf(config_.chipType) == ChipFamily::HL64D) return address < std::max(geo_.size0, geo_.size1);
    return address < geo_.size0 || (address >= geo_.start1 && address < geo_.start1 + geo_.size1);
}

bool Board::Block0Writable() const {
    // The lock states that still let the loader rewrite block 0, per family; the others
    // are hard locks.
    const uint8_t l = security_;
    if (IsTypeA(config_.chipType)) return l == 0x00 || l == 0x20 || l == 0x40;
    return l == 0x00 || l == 0x20 || l == 0x40 || l == 0x80 || l == 0xC0;
}

bool Board::ExternalBlock1Writable(uint32_t) const {
    // With EA# = 0 the loader that answers runs from the external memory, so the whole of
    // block 1 may be rewritten; from the MCU's own flash only the stub can.
    return externalMode_ && security_ == 0;
}

bool Board::AccessAllowed() const { return password_.empty() || passwordVerified_; }

uint8_t Board::ReadCell(uint32_t address) const {
    int block = 0;
    uint32_t offset = 0;
    if (!Decode(address, &block, &offset)) return 0xFF;
    // A hard-locked or password-protected chip hides its contents: reads give 00h, which the
    // memory view shows as "All Zeros". The loader's own area always reads as it is.
    const bool bsl = block == 1 && address >= geo_.bslStart && address < geo_.bslEnd;
    if (!bsl && (!AccessAllowed() || (block == 0 && !Block0Writable()))) return 0x00;
    return flash_[block][offset];
}

void Board::EraseSectorAt(uint32_t address) {
    int block = 0;
    uint32_t offset = 0;
    if (!Decode(address, &block, &offset)) return;
    const uint32_t size = block == 0 ? geo_.sector0 : geo_.sector1;
    const uint32_t first = offset - offset % size;
    std::fill(flash_[block].begin() + first, flash_[block].begin() + first + size, 0xFF);
}

void Board::ProgramBytes(uint32_t address, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        int block = 0;
        uint32_t offset = 0;
        if (!Decode(static_cast<uint32_t>(address + i), &block, &offset)) continue;
        // Flash cells can only be cleared by programming; setting needs an erase.
        flash_[block][offset] &= data[i];
    }
}

// The board runs an image only when all of it is in place, and only the image it knows for
// that job: the one the firmware lookup gives (a file in the search folders replaces the
// built-in one here as in the tool). It says which one ran.
bool Board::RunsImage(FirmwareId id, uint32_t at) {
    const ResolvedFirmware& known = ResolveFirmware(id);
    const size_t n = known.image.size;
    if (geo_.size0 < at + n) return false;
    const std::span<const uint8_t> area(flash_[0].data() + at, n);
    if (!std::equal(area.begin(), area.end(), known.image.data)) return false;
    char text[320];
    std::snprintf(text, sizeof text, "image received: %s, %zu bytes at %04Xh, fingerprint %08x, from %s",
                  known.image.name, n, at, FirmwareFingerprint(area), known.source.c_str());
    Log(text);
    if (reporter_) reporter_(text);
    return true;
}

void Board::SetReporter(std::function<void(const std::string&)> reporter) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    reporter_ = std::move(reporter);
}

bool Board::MonitorInBlock1() const {
    const SimChip& chip = SimChipFor(config_.chipType);
    if (!chip.monitor) return false;
    const FirmwareImage& image = tessel::Firmware(*chip.monitor);
    const uint32_t offset = chip.monitorAddress - geo_.start1;
    return offset + image.size <= flash_[1].size() &&
           std::equal(image.data, image.data + image.size, flash_[1].begin() + offset);
}

void Board::SetSecurity(uint8_t bit) { security_ |= bit; }

void Board::Execute11F(VirtualLine& line, uint64_t at) {
    const std::vector<uint8_t>& p = pending_;
    const uint8_t c = p[0];
    const uint32_t address = p.size() >= 3 ? (uint32_t{p[1]} << 8) | p[2] : 0;
    auto ack = [&](bool ok) {
        if (ok && Refuses(c, address)) return;
        Send(line, ok ? kAck : kNak, ReplyTime(at));
    };
    if (c != 0x64) passwordResetArmed_ = false;
    switch (c) {
        case 0x01:  // chip erase (external memory mode: the loader erases block 0)
            std::fill(flash_[0].begin(), flash_[0].end(), 0xFF);
            Busy(at, kChipEraseUs);
            break;
        case 0x03: {  // bank switch to the block-1 programming stub
            if (address == 0x2027 && p[3] == 0x10 &&
                RunsImage(IsTypeA(config_.chipType) ? FirmwareId::Block1StubA : FirmwareId::Block1StubHL, 0x2000)) {
                mode_ = Mode::Stub;
                ack(true);
            } else {
                // The loader jumps wherever it was told; without the stub there is nothing
                // there that answers, and the chip stays lost until the next reset.
                mode_ = Mode::UserCode;
            }
            break;
        }
        case 0x02: remap_ |= p[1] == 0x00 ? 0x01 : p[1] == 0x01 ? 0x02 : 0; break;
        case 0x04:
            if (p[1] == 0x00 || p[1] == 0x0F) SetSecurity(0x80);
            else if (p[1] == 0x01 || p[1] == 0x03) SetSecurity(0x40);
            else if (p[1] == 0x02 || p[1] == 0x05) SetSecurity(0x20);
            else if (p[1] == 0x08 && p[2] == 0x55) doubleClock_ = true;
            else if (p[1] == 0x09 && p[2] == 0x5A) remap_ |= 0x01;
            else if (p[1] == 0x09 && p[2] == 0xAA) remap_ |= 0x02;
            break;
        case 0x05: Send(line, latchedStatus_, ReplyTime(at)); break;
        case 0x07: ack(false); break;  // the password sector is written by the stub only
        case 0x08: {
            const std::string text(p.begin() + 4, p.end());
            passwordVerified_ = text == password_;
            ack(passwordVerified_);
            break;
        }
        case 0x09: break;  // block 1 cannot be programmed by the loader running from it
        case 0x0A:
        case 0x0C: {
            // No memory answers beyond the chip's own flash: a loader asked to read there
            // stays silent, which is how a chip taken for a larger one gives itself away.
            if (!Mapped(address) || !Mapped(static_cast<uint32_t>(address + (p[3] ? p[3] - 1 : 0)))) break;
            std::vector<uint8_t> out(p[3]);
            for (size_t i = 0; i < out.size(); ++i) out[i] = ReadCell(static_cast<uint32_t>(address + i));
            if (c == 0x0C && ++reads11F_ == config_.faults.strayAfterRead) out.push_back(0x5A);
            Send(line, out, ReplyTime(at));
            break;
        }
        case 0x0B: {
            int block = 0;
            uint32_t offset = 0;
            const bool ok = Decode(address, &block, &offset) && AccessAllowed() &&
                            (block == 0 ? Block0Writable() : ExternalBlock1Writable(address));
            if (ok) {
                EraseSectorAt(address);
                Busy(at, kSectorEraseUs);
            }
            ack(ok);
            break;
        }
        case 0x0E:
            if (AccessAllowed()) {
                int block = 0;
                uint32_t offset = 0;
                if (Decode(address, &block, &offset) &&
                    (block == 0 ? Block0Writable() : ExternalBlock1Writable(address)))
                    ProgramBytes(address, p.data() + 4, p[3]);
                Busy(at, kProgramByteUs * p[3]);
            }
            break;
        case 0x60:
            Send(line, {0x11, config_.faults.versionLetter ? config_.faults.versionLetter : uint8_t{0x46}}, ReplyTime(at));
            break;
        case 0x62: if (p[1] == 0x62) mode_ = Mode::UserCode; break;
        case 0x63: Send(line, 0x63, ReplyTime(at)); break;
        case 0x64:
            // The password reset takes two 64h: the first is echoed, the second erases.
            if (!passwordResetArmed_) {
                Send(line, 0x64, ReplyTime(at));
                passwordResetArmed_ = true;
                return;
            }
            // With block 0 gone there is nothing left to protect, so the loader lets the new
            // password be written without the old one.
            std::fill(flash_[0].begin(), flash_[0].end(), 0xFF);
            passwordVerified_ = true;
            Busy(at, kChipEraseUs);
            break;
        case 0x66: {
            if (p[1] == 0x66 && (!IsTypeA(config_.chipType) || RunsImage(FirmwareId::ExternalStub, 0x2000)))
                mode_ = Mode::ExternalProgram;
            break;
        }
        case 0x68: if (p[1] == 0x68) { selectedBlock_ = 0; ack(true); } break;
        case 0x69: if (p[1] == 0x69) { selectedBlock_ = 1; ack(true); } break;
        case 0x6A: if (p[1] == 0x6A) doubleClock_ = true; break;
        case 0x67: if (p[1] == 0x67) remap_ |= 0x01; break;
        case 0x6C: if (p[1] == 0x6C) remap_ |= 0x02; break;
        default: break;  // 0x6B 0x6B closes a sequence; nothing to do
    }
}

void Board::ExecuteStub(VirtualLine& line, uint64_t at) {
    const std::vector<uint8_t>& p = pending_;
    const uint8_t c = p[0];
    const uint32_t address = p.size() >= 3 ? (uint32_t{p[1]} << 8) | p[2] : 0;
    auto inBlock1 = [&](uint32_t a) { return a >= geo_.start1 && a < geo_.start1 + geo_.size1; };
    auto ack = [&](bool ok) {
        if (ok && Refuses(c, address)) return;
        Send(line, ok ? kAck : kNak, ReplyTime(at));
    };
    switch (c) {
        case 0x03:  // back to the loader at its entry address
            if (address == geo_.entry && p[3] == 0x01) {
                mode_ = Mode::Loader;
                state_ = LoaderState::Command;
                ack(true);
            } else {
                mode_ = Mode::UserCode;
            }
            break;
        case 0x07: {  // password write into the erased password sector
            const std::string text(p.begin() + 4, p.end());
            password_ = text;
            // Stored as a length byte followed by the characters.
            const uint32_t off = geo_.passwordAddress - geo_.start1;
            for (size_t i = 0; i <= text.size() && off + i < flash_[1].size(); ++i)
                flash_[1][off + i] &= i == 0 ? static_cast<uint8_t>(text.size()) : static_cast<uint8_t>(text[i - 1]);
            Busy(at, kProgramByteUs * (text.size() + 1));
            ack(true);
            break;
        }
        case 0x09:
            if (inBlock1(address)) {
                for (size_t i = 0; i < p[3]; ++i)
                    if (inBlock1(static_cast<uint32_t>(address + i)))
                        flash_[1][address + i - geo_.start1] &= p[4 + i];
                Busy(at, kProgramByteUs * p[3]);
            }
            break;
        case 0x0A: {
            std::vector<uint8_t> out(p[3], 0xFF);
            for (size_t i = 0; i < out.size(); ++i)
                if (inBlock1(static_cast<uint32_t>(address + i))) out[i] = flash_[1][address + i - geo_.start1];
            Send(line, out, ReplyTime(at));
            break;
        }
        case 0x0B: {
            const bool ok = inBlock1(address);
            if (ok) {
                const uint32_t off = address - geo_.start1;
                const uint32_t first = off - off % geo_.sector1;
                std::fill(flash_[1].begin() + first, flash_[1].begin() + first + geo_.sector1, 0xFF);
                if (geo_.passwordAddress >= geo_.start1 + first &&
                    geo_.passwordAddress < geo_.start1 + first + geo_.sector1)
                    password_.clear();
                Busy(at, kSectorEraseUs);
            }
            ack(ok);
            break;
        }
        case 0x65:
            if (IsTypeA(config_.chipType) && p[1] == 0x01 && p[2] == 0x33 && p[3] == 0x33) SetSecurity(0x40);
            break;
        case 0x63: Send(line, 0x63, ReplyTime(at)); break;
        default: break;
    }
}

void Board::ExecuteExternal(VirtualLine& line, uint64_t at) {
    const std::vector<uint8_t>& p = pending_;
    const uint8_t c = p[0];
    const uint32_t address = p.size() >= 3 ? (uint32_t{p[1]} << 8) | p[2] : 0;
    const size_t base = config_.externalHighHalf ? 0x10000 : 0;
    switch (c) {
        case 0x01: if (p[1] == 0x01) mode_ = Mode::Loader; break;
        case 0x02:
            if (p[1] == 0x02) {
                std::fill(external_.begin(), external_.end(), 0xFF);
                Busy(at, kExternalChipEraseUs);
                if (!Refuses(c, address)) Send(line, kAck, ReplyTime(at));
            }
            break;
        case 0x03: {
            std::vector<uint8_t> out(p[3]);
            for (size_t i = 0; i < out.size(); ++i) out[i] = external_[base + ((address + i) & 0xFFFF)];
            Send(line, out, ReplyTime(at));
            break;
        }
        case 0x04: {
            const size_t first = base + (address & 0xF000);
            std::fill(external_.begin() + first, external_.begin() + first + kExternalSectorSize, 0xFF);
            Busy(at, kExternalSectorEraseUs);
            if (!Refuses(c, address)) Send(line, kAck, ReplyTime(at));
            break;
        }
        case 0x06:
            for (size_t i = 0; i < p[3]; ++i) external_[base + ((address + i) & 0xFFFF)] &= p[4 + i];
            Busy(at, kProgramByteUs * p[3]);
            break;
        case 0x63: Send(line, 0x63, ReplyTime(at)); break;
        default: break;
    }
}

void Board::Execute11E(VirtualLine& line, uint64_t at) {
    const std::vector<uint8_t>& p = pending_;
    const uint8_t c = p[0];
    const uint32_t address = p.size() >= 3 ? (uint32_t{p[1]} << 8) | p[2] : 0;
    auto writable = [&] { return Block0Writable(); };
    switch (c) {
        case 0x05: Send(line, latchedStatus_, ReplyTime(at)); break;
        case 0x06:  // program with acknowledge
            if (writable()) {
                ProgramBytes(address, p.data() + 4, p[3]);
                Busy(at, kProgramByteUs * p[3]);
            }
            Send(line, writable() ? kAck : kNak, ReplyTime(at));
            break;
        case 0x0B: {
            const bool ok = address < geo_.size0 && writable();
            if (ok) {
                EraseSectorAt(address);
                Busy(at, kSectorEraseUs);
            }
            if (!(ok && Refuses(c, address))) Send(line, ok ? kAck : kNak, ReplyTime(at));
            break;
        }
        case 0x0C: {
            std::vector<uint8_t> out(p[3]);
            for (size_t i = 0; i < out.size(); ++i) out[i] = ReadCell(static_cast<uint32_t>(address + i));
            if (++reads11E_ == config_.faults.promptBeforeRead) out.insert(out.begin(), 0xF7);
            Send(line, out, ReplyTime(at));
            break;
        }
        case 0x0E:
            if (writable()) {
                ProgramBytes(address, p.data() + 4, p[3]);
                Busy(at, kProgramByteUs * p[3]);
            }
            break;
        case 0x60:
            Send(line, {SimChipFor(config_.chipType).idByte, 0x11, 0x45}, ReplyTime(at));
            break;
        case 0x62: {
            if (p[1] != 0x62) break;
            if (flash_[0][0] == 0x02 && RunsImage(FirmwareId::Upgrade11E, 0) && config_.faults.upgradeNeverAnswers) {
                Log("upgrade program started and hung");
                mode_ = Mode::UserCode;
            } else if (flash_[0][0] == 0x02 && RunsImage(FirmwareId::Upgrade11E, 0)) {
                // The upgrade program rewrites block 1 with the 1.1F loader, which needs three
                // more sectors than 1.1E, and hands over to it.
                firmware_ = Firmware::F11F;
                const char* tag = "BSL v1.1F";
                for (uint32_t a = 0xF000; a < 0xF400; ++a) flash_[1][a - geo_.start1] = static_cast<uint8_t>((a * 7 + 3) & 0xFF);
                std::copy(tag, tag + 9, flash_[1].begin());
                Log("upgraded to 1.1F");
                mode_ = Mode::Loader;
                state_ = LoaderState::AwaitBaud;
                lockedBaud_ = 0;
                nextPrompt_ = UINT64_MAX;
            } else {
                mode_ = Mode::UserCode;
            }
            break;
        }
        default: break;
    }
}

std::vector<uint8_t> Board::Block(int block) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return block == 0 || block == 1 ? flash_[block] : std::vector<uint8_t>{};
}

void Board::SetBlock(int block, const std::vector<uint8_t>& data) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (block != 0 && block != 1) return;
    auto& f = flash_[block];
    std::fill(f.begin(), f.end(), 0xFF);
    std::copy(data.begin(), data.begin() + static_cast<long>(std::min(data.size(), f.size())), f.begin());
}

std::vector<uint8_t> Board::External() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return external_;
}

void Board::SetExternal(const std::vector<uint8_t>& data) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::fill(external_.begin(), external_.end(), 0xFF);
    std::copy(data.begin(), data.begin() + static_cast<long>(std::min(data.size(), external_.size())),
              external_.begin());
}

uint8_t Board::SecurityBits() const { std::lock_guard<std::recursive_mutex> l(mutex_); return security_; }
bool Board::DoubleClock() const { std::lock_guard<std::recursive_mutex> l(mutex_); return doubleClock_; }
uint8_t Board::RemapBits() const { std::lock_guard<std::recursive_mutex> l(mutex_); return remap_; }
std::string Board::Password() const { std::lock_guard<std::recursive_mutex> l(mutex_); return password_; }
Mode Board::CurrentMode() const { std::lock_guard<std::recursive_mutex> l(mutex_); return mode_; }
Firmware Board::CurrentFirmware() const { std::lock_guard<std::recursive_mutex> l(mutex_); return firmware_; }
bool Board::Linked() const { std::lock_guard<std::recursive_mutex> l(mutex_); return state_ == LoaderState::Command; }
uint32_t Board::LockedBaud() const { std::lock_guard<std::recursive_mutex> l(mutex_); return lockedBaud_; }
std::vector<std::string> Board::CommandLog() const { std::lock_guard<std::recursive_mutex> l(mutex_); return log_; }
uint64_t Board::BytesReceived() const { std::lock_guard<std::recursive_mutex> l(mutex_); return received_; }
uint64_t Board::BytesSent() const { std::lock_guard<std::recursive_mutex> l(mutex_); return sent_; }
uint64_t Board::CommandsReceived() const { std::lock_guard<std::recursive_mutex> l(mutex_); return commands_; }
bool Board::Unplugged() const {
    std::lock_guard<std::recursive_mutex> l(mutex_);
    return config_.faults.unplugAfterBytes && received_ >= config_.faults.unplugAfterBytes;
}
void Board::SetActivityLog(std::shared_ptr<ActivityLog> log) {
    std::lock_guard<std::recursive_mutex> l(mutex_);
    activity_ = std::move(log);
}

uint64_t Board::BusyTimeUs() const { std::lock_guard<std::recursive_mutex> l(mutex_); return busyTotal_; }
void Board::SetFaults(const Faults& f) {
    std::lock_guard<std::recursive_mutex> l(mutex_);
    config_.faults = f;
    refusals_ = 0;
    reads11F_ = 0;
}

bool Board::Refuses(uint8_t command, uint32_t address) {
    const Faults& f = config_.faults;
    if (f.refuseCommand != command) return false;
    if (f.refuseAt >= 0 && static_cast<uint32_t>(f.refuseAt) != address) return false;
    if (f.refuseTimes > 0 && refusals_ >= f.refuseTimes) return false;
    ++refusals_;
    return true;
}

SimLink MakeSimLink(Clock& clock, const BoardConfig& config) {
    SimLink link;
    link.line = std::make_shared<VirtualLine>(clock, "sim");
    link.board = std::make_shared<Board>(config);
    link.line->AttachPeer(link.board);
    return link;
}

}  // namespace tessel::sim
