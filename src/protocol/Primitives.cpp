#include "protocol/Primitives.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "device/CDeviceSession.h"
#include "platform/Clock.h"
#include "platform/Operator.h"
#include "serial/ByteTransport.h"
#include "serial/CSerialPort.h"

namespace tessel {

namespace {

CSerialPort& Port(LinkContext& c) { return c.session.port; }

// The context's transport: the worker's while it owns the port, otherwise the port itself.
class Wire {
public:
    explicit Wire(LinkContext& c) : port_(c.session.port), t_(c.worker ? *c.worker : port_) {}
    ByteTransport* operator->() { return &t_; }
    ByteTransport& operator*() { return t_; }

private:
    PortTransport port_;
    ByteTransport& t_;
};

bool Frame(ByteTransport& t, uint8_t code, uint16_t address, uint8_t data) {
    const uint8_t rest[3] = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address & 0xFF), data};
    return t.Command(code) && t.Write(rest) == 3;
}

bool Byte(ByteTransport& t, uint8_t byte) { return t.Write({&byte, 1}) == 1; }

// The external-flash program is reached only through the port: the worker serves a 1.1E
// loader and knows none of the program's codes.
bool External(LinkContext& c) { return !c.worker && c.session.ExternalWindowOpen(); }

// What the operator is told when a step fails. On the port each step says so itself. Through
// the worker the steps stay quiet, since the upgrade that uses them retries each and then
// tells the operator once; only a read command that could not be queued was always named.
void Tell(LinkContext& c, const char* onPort, const char* onWorker = nullptr) {
    const char* text = c.worker ? onWorker : onPort;
    if (Operator* op = Port(c).Owner(); op && text) op->Fail(text);
}

// The pause is the target's time to act on what was sent, so it starts once that has left.
void Pause(LinkContext& c, ByteTransport& t, uint32_t ms) {
    t.Drain();
    Port(c).GetClock().SleepMs(ms);
}

// A chunk as it goes on the wire: the count byte promised a whole chunk, so past the data the
// target gets 0xFF, which leaves the erased cells as they are.
void Padded(std::vector<uint8_t>& out, const uint8_t* piece, uint32_t n) {
    std::fill(std::copy(piece, piece + n, out.begin()), out.end(), 0xFF);
}

bool AllBlank(const uint8_t* data, size_t n) {
    return std::all_of(data, data + n, [](uint8_t b) { return b == 0xFF; });
}

// `totalBytes`: the bytes the steps cover; a last step shorter than the rest is a step too.
void Begin(LinkContext& c, uint32_t totalBytes, const char* label, uint32_t stepBytes) {
    c.progress.setProgressRange(static_cast<int>((totalBytes + stepBytes - 1) / stepBytes));
    c.progress.setProgressStepBytes(stepBytes);
    if (totalBytes % stepBytes != 0) c.progress.setProgressTotalBytes(totalBytes);
    c.progress.resetProgress();
    c.progress.setProgressLabel(label);
}

bool Finish(LinkContext& c, bool ok) {
    c.progress.resetProgress();
    c.progress.setProgressLabel(ok ? "Done" : "Abort");
    return ok;
}

void Failed(LinkContext& c, const char* operation, uint32_t address, std::string reason) {
    Failure f;
    f.step = operation;
    f.address = address;
    f.reason = std::move(reason);
    c.progress.reportFailure(f);
}

std::string Hex2(uint8_t b) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string{digits[b >> 4], digits[b & 15]} + "h";
}

// The operator asked to stop and nothing holds the request off: the transfer ends before its
// next chunk, after writing down how far it got, in sectors where a chunk is one (as the
// operator chose them) and in bytes otherwise.
bool StopBefore(LinkContext& c, const char* what, uint32_t done, uint32_t total, uint32_t chunk,
                bool bootArea = false) {
    StopRequest& stop = c.session.flags.stop;
    if (!(bootArea ? stop.DueInBootArea() : stop.Due())) return false;
    const int32_t sector = c.session.ExternalWindowOpen() ? kExternalSectorSize
                                                          : c.session.SectorSize(c.session.CurrentBlock());
    const bool sectors = sector > 0 && chunk == static_cast<uint32_t>(sector);
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s stopped after %u of %u %s", what,
                  static_cast<unsigned>(sectors ? done / chunk : done),
                  static_cast<unsigned>(sectors ? (total + chunk - 1) / chunk : total), sectors ? "sectors" : "bytes");
    stop.Note(buf);
    return true;
}

}  // namespace

bool SendFrame(LinkContext& c, uint8_t code, uint16_t address, uint8_t data) {
    Wire t(c);
    return Frame(*t, code, address, data);
}

bool SendTextFrame(LinkContext& c, uint8_t code, uint16_t address, const std::string& text) {
    // The length travels in one byte; a longer text cannot be framed at all. The text is a
    // password, which goes only through the port, where a wire trace gets its length and
    // never its characters: the worker would write it through the trace from its own thread.
    if (text.size() > 255 || c.worker) return false;
    PortTransport t(Port(c));
    if (!Frame(t, code, address, static_cast<uint8_t>(text.size()))) return false;
    Port(c).SetTraceWithheld(true);
    const bool ok = t.Write({reinterpret_cast<const uint8_t*>(text.data()), text.size()}) == text.size();
    Port(c).SetTraceWithheld(false);
    return ok;
}

bool SendLockFrame(LinkContext& c, uint8_t index) {
    Wire t(c);
    return t->Command(0x04) && Byte(*t, index);
}

bool SendLongLockFrame(LinkContext& c, uint8_t index) {
    Wire t(c);
    return SendLockFrame(c, index) && Byte(*t, 0xFF);
}

bool SendConfigFrame(LinkContext& c, uint8_t index) {
    Wire t(c);
    return t->Command(0x02) && Byte(*t, index);
}

bool EraseSectors(LinkContext& c, uint32_t start, uint32_t step, int count) {
    c.progress.setProgressRange(count);
    c.progress.setProgressStepBytes(0);
    c.progress.resetProgress();
    c.progress.setProgressLabel("Erasing");
    Wire t(c);
    const bool external = External(c);
    uint32_t address = start;
    for (int i = 0; i < count; ++i, address += step) {
        if (StopBefore(c, "erasing", static_cast<uint32_t>(i) * step, static_cast<uint32_t>(count) * step, step)) {
            c.progress.setProgressLabel("Abort");
            return false;
        }
        const bool sent = Frame(*t, external ? cmd::kExtSectorErase : cmd::kSectorErase,
                                static_cast<uint16_t>(address), 0x01);
        if (external) Pause(c, *t, 30);
        uint8_t reply = 0;
        if (!sent || !t->ReadByte(&reply) || reply != cmd::kAck) {
            Failed(c, "erase", address,
                   !sent ? "the erase command could not be sent"
                   : reply == cmd::kAck || reply == 0 ? "no acknowledgement"
                                                      : "answered " + Hex2(reply) + " instead of C0h");
            // The bar stays where the failure happened, so the operator sees how far it got.
            c.progress.setProgressLabel("Abort");
            return false;
        }
        c.progress.stepProgress();
    }
    return Finish(c, true);
}

bool EraseChip(LinkContext& c) {
    Wire t(c);
    if (External(c)) {
        if (!t->Command(cmd::kExtChipErase) || !Byte(*t, cmd::kExtChipErase)) return false;
        Pause(c, *t, 20);
        uint8_t reply = 0;
        const bool got = t->ReadByte(&reply);
        if (got && reply == cmd::kAck) return true;
        if (got)
            if (Operator* op = Port(c).Owner()) op->DebugTrace("\nChip-erase confirmation failed\n");
        return false;
    }
    const bool sent = Frame(*t, cmd::kChipErase, 0x0000, 0x01);
    Pause(c, *t, 100);
    return sent;
}

bool ProgramVerified(LinkContext& c, uint32_t start, uint32_t chunk, const uint8_t* data,
                    uint32_t total) {
    if (chunk == 0 || chunk > 255) return false;
    Begin(c, total, "Writing", chunk);
    Wire t(c);
    const bool external = External(c);
    std::vector<uint8_t> sent(chunk), readBack(chunk);
    uint32_t address = start;
    for (uint32_t done = 0; done < total; done += chunk, address += chunk) {
        const uint8_t* piece = data + done;
        const uint32_t n = std::min(chunk, total - done);
        if (StopBefore(c, "writing", done, total, chunk)) return Finish(c, false);
        if (AllBlank(piece, n)) {
            c.progress.stepProgress();
            continue;
        }
        if (!Frame(*t, external ? cmd::kExtProgram : cmd::kProgram, static_cast<uint16_t>(address),
                   static_cast<uint8_t>(chunk))) {
            Failed(c, "write", address, "the program command could not be sent");
            Tell(c, "This is a test1");
            return Finish(c, false);
        }
        Padded(sent, piece, n);
        if (const size_t went = t->Write(sent); went < chunk) {
            Failed(c, "write", address + static_cast<uint32_t>(went), "the data byte could not be sent");
            Tell(c, "This is a test");
            return Finish(c, false);
        }
        if (!Frame(*t, external ? cmd::kExtRead : cmd::kRead, static_cast<uint16_t>(address),
                   static_cast<uint8_t>(chunk))) {
            Failed(c, "read back", address, "the read command could not be sent");
            Tell(c, "This is a test3");
            return Finish(c, false);
        }
        for (uint32_t i = 0; i < chunk; ++i) {
            if (!t->ReadByte(&readBack[i])) {
                Failed(c, "read back", address + i, "no byte came back");
                Tell(c, "This is a test2!!");
                return Finish(c, false);
            }
        }
        for (uint32_t i = 0; i < chunk; ++i) {
            if (readBack[i] != sent[i]) {
                Failure f;
                f.step = "verify";
                f.address = address + i;
                f.got = readBack[i];
                f.expected = sent[i];
                f.reason = "read back " + Hex2(*f.got) + ", expected " + Hex2(*f.expected);
                c.progress.reportFailure(f);
                Tell(c, "This is a test4");
                return Finish(c, false);
            }
        }
        c.progress.stepProgress();
    }
    return Finish(c, true);
}

uint32_t ReadFlash(LinkContext& c, uint8_t* dest, uint32_t start, uint32_t total, uint32_t chunk) {
    if (chunk == 0 || chunk > 255) return 0;
    Begin(c, total, "Reading", chunk);
    Wire t(c);
    const bool external = External(c);
    uint32_t done = 0;
    bool ok = true;
    while (ok && done < total) {
        const uint32_t count = std::min(chunk, total - done);
        if (StopBefore(c, "reading", done, total, chunk)) {
            ok = false;
            break;
        }
        if (!Frame(*t, external ? cmd::kExtRead : cmd::kRead, static_cast<uint16_t>(start + done),
                   static_cast<uint8_t>(count))) {
            Failed(c, "read", start + done, "the read command could not be sent");
            Tell(c, nullptr, "Failed to Send Read Command!");
            ok = false;
            break;
        }
        for (uint32_t i = 0; i < count; ++i) {
            if (!t->ReadByte(&dest[done], ByteTransport::Wait::FlashRead)) {
                Failed(c, "read", start + done, "no byte came back");
                ok = false;
                break;
            }
            ++done;
        }
        if (ok) c.progress.stepProgress();
    }
    Finish(c, ok);
    return done;
}

std::string SilentLineText(const CDeviceSession& session) {
    if (session.port.DeviceGone()) return "the port's device went away";
    return "the boot loader stopped answering: not even the link check (63h) came back (check the cable and the "
           "board's power, then detect again)";
}

bool LinkAnswers(LinkContext& c) {
    Wire t(c);
    t->Purge();
    uint8_t echo = 0;
    const bool ok = t->Command(cmd::kLinkCheck) && t->ReadByte(&echo, ByteTransport::Wait::Reply) && echo == cmd::kLinkCheck;
    if (t->MoreComing()) t->Purge();
    return ok;
}

bool AnswersReadAt(LinkContext& c, uint32_t address) {
    // Asked where a chip may well be silent, so one wait for one byte, not a flash read's
    // retries: a loader that has the address answers a one-byte read well within it.
    Wire t(c);
    t->Purge();
    if (!Frame(*t, External(c) ? cmd::kExtRead : cmd::kRead, static_cast<uint16_t>(address), 1)) return false;
    uint8_t byte = 0;
    const bool answered = t->ReadByte(&byte, ByteTransport::Wait::Reply);
    if (t->MoreComing()) t->Purge();
    return answered;
}

bool CompareFlash(LinkContext& c, uint32_t start, uint32_t chunk, const uint8_t* expected,
                 uint32_t total, uint32_t* mismatchAddress, uint32_t* mismatchWord,
                 CompareDifferences* differences, uint8_t* readInto) {
    if (chunk == 0 || chunk > 255) return false;
    Begin(c, total, "Comparing", chunk);
    Wire t(c);
    const bool external = External(c);
    std::vector<uint8_t> got(chunk);
    uint32_t address = start;
    bool differed = false;
    if (differences) differences->complete = false;
    for (uint32_t done = 0; done < total; done += chunk, address += chunk) {
        if (StopBefore(c, "comparing", done, total, chunk)) return Finish(c, false);
        if (!Frame(*t, external ? cmd::kExtRead : cmd::kRead, static_cast<uint16_t>(address),
                   static_cast<uint8_t>(chunk))) {
            Failed(c, "compare", address, "the read command could not be sent");
            Tell(c, "Fail to write QMT_CMD_READ to MCU!!!");
            return Finish(c, false);
        }
        // A byte that never arrives counts as a difference at its address; the rest of the
        // chunk is not waited for, since each missing byte would cost the full read wait.
        uint32_t received = 0;
        while (received < chunk && t->ReadByte(&got[received])) ++received;
        if (readInto) std::copy_n(got.begin(), received, readInto + done);
        const uint32_t n = std::min(chunk, total - done);
        for (uint32_t i = 0; i < n; ++i) {
            const bool missing = i >= received;
            const uint8_t chip = missing ? 0xFF : got[i];
            if (!missing && chip == expected[done + i]) continue;
            if (!differed) {
                if (mismatchAddress) *mismatchAddress = address + i;
                if (mismatchWord) *mismatchWord = chip * 256u + expected[done + i];
                Failure f;
                f.step = "compare";
                f.address = address + i;
                f.expected = expected[done + i];
                if (missing) {
                    f.reason = "no byte came back";
                } else {
                    f.got = chip;
                    f.reason = "chip " + Hex2(chip) + ", file " + Hex2(expected[done + i]);
                }
                c.progress.reportFailure(f);
            }
            differed = true;
            if (!missing && differences) {
                differences->Add(address + i, chip, expected[done + i]);
                continue;
            }
            Tell(c, "Failed to Verify Data!!!");
            return Finish(c, false);
        }
        c.progress.stepProgress();
    }
    if (differences) differences->complete = true;
    if (differed) {
        Tell(c, VerifyFailedText(c.session, differences).c_str());
    }
    return Finish(c, !differed);
}

std::string VerifyFailedText(const CDeviceSession& session, size_t count, uint32_t address, uint8_t chip,
                             uint8_t file) {
    // The high window's addresses are counted from the external flash's start, as its list shows them.
    char where[64];
    std::snprintf(where, sizeof where, session.externalHighOpen ? "1%04Xh: chip %s, file %s" : "%04Xh: chip %s, file %s",
                  static_cast<unsigned>(address & 0xFFFF), Hex2(chip).c_str(), Hex2(file).c_str());
    std::string text = "Failed to Verify Data!!!\n";
    if (count == 0) return text + "The first difference is at " + where + ".";
    return text + std::to_string(count) + (count == 1 ? " byte differs, at " : " bytes differ, the first at ") + where +
           ".";
}

std::string VerifyFailedText(const CDeviceSession& session, const CompareDifferences* differences) {
    if (!differences || differences->listed.empty()) return "Failed to Verify Data!!!";
    const ByteDifference& first = differences->listed.front();
    return VerifyFailedText(session, differences->count, first.address, first.chip, first.file);
}

BankSwitch SwitchBank(LinkContext& c, uint16_t address, uint8_t bank) {
    c.progress.resetProgress();
    c.progress.setProgressLabel("Bank Switch");
    Wire t(c);
    if (!Frame(*t, cmd::kBankSwitch, address, bank)) {
        c.progress.setProgressLabel("Bank Switch rc not true");
        return BankSwitch::NotSent;
    }
    uint8_t reply = 0;
    if (!t->ReadByte(&reply)) {
        c.progress.setProgressLabel("Bank Switch not return c0");
        return BankSwitch::NoReply;
    }
    if (reply != cmd::kAck) {
        c.progress.setProgressLabel("Bank Switch not return c0");
        return BankSwitch::WrongReply;
    }
    c.progress.stepProgress();
    c.progress.resetProgress();
    return BankSwitch::Done;
}

bool RunUserCode(LinkContext& c) {
    Wire t(c);
    return t->Command(cmd::kRunUser) && Byte(*t, cmd::kRunUser);
}

bool ProgramBootArea(LinkContext& c, uint32_t start, uint32_t chunk, const uint8_t* data,
                    uint32_t total) {
    if (chunk == 0 || chunk > 255) return false;
    const bool upgrade = c.session.bslUpgradeMode;
    c.progress.setProgressRange(static_cast<int>(total / chunk));
    c.progress.setProgressStepBytes(chunk);
    c.progress.resetProgress();
    c.progress.setProgressLabel(upgrade ? "Upgrade BSL is in process" : "Writing");
    Wire t(c);
    std::vector<uint8_t> sent(chunk), readBack(chunk);
    auto fail = [&](const char* label) {
        if (label) c.progress.setProgressLabel(label);
        c.progress.resetProgress();
        c.progress.setProgressLabel("Abort");
        return false;
    };
    uint32_t address = start;
    for (uint32_t done = 0; done < total; done += chunk, address += chunk) {
        const uint8_t* piece = data + done;
        const uint32_t n = std::min(chunk, total - done);
        // Only the user's data in block 1, let through by its procedure, stops part-way: a
        // loader's image is never left half written.
        if (StopBefore(c, "writing", done, total, chunk, true)) return fail(nullptr);
        if (AllBlank(piece, n)) {
            c.progress.stepProgress();
            continue;
        }
        if (!Frame(*t, cmd::kBootProgram, static_cast<uint16_t>(address), static_cast<uint8_t>(chunk)))
            return fail("Writing failed");
        Padded(sent, piece, n);
        if (t->Write(sent) < chunk) return fail(nullptr);
        if (!Frame(*t, cmd::kBootRead, static_cast<uint16_t>(address), static_cast<uint8_t>(chunk)))
            return fail("Upgrade BSL reading failed");
        // A chunk whose read-back is short or differs is not written: the boot area is
        // the loader itself, so going on would leave a mix the operator cannot see.
        // The whole read-back is taken before comparing, so that an abort leaves no reply
        // bytes on the line for the next command to mistake for its own.
        for (uint32_t i = 0; i < chunk; ++i)
            if (!t->ReadByte(&readBack[i])) return fail(nullptr);
        if (readBack != sent) return fail(nullptr);
        c.progress.setProgressLabel("Upgrade BSL is in process");
        c.progress.setProgressLabel(upgrade ? "Upgrade is in process" : "Writing");
        c.progress.stepProgress();
    }
    return Finish(c, true);
}

namespace {
bool SelectBlock(LinkContext& c, uint8_t code) {
    Wire t(c);
    uint8_t reply = 0;
    return t->Command(code) && Byte(*t, code) && t->ReadByte(&reply) && reply == cmd::kAck;
}
}  // namespace

bool selectBlock0(LinkContext& c) { return SelectBlock(c, cmd::kSelectBlock0); }
bool selectBlock1(LinkContext& c) { return SelectBlock(c, cmd::kSelectBlock1); }

const uint8_t kBaudDetectString[16] = {0x80, 0xE0, 0xF8, 0xFE, 0x80, 0xE0, 0xF8, 0xFE,
                                       0x80, 0xE0, 0xF8, 0xFE, 0x80, 0xE0, 0xF8, 0xFE};

bool SendByte(LinkContext& c, uint8_t byte) {
    Wire t(c);
    return Byte(*t, byte);
}

bool SendCode(LinkContext& c, uint8_t code) {
    Wire t(c);
    return t->Command(code);
}

bool SendBlock(LinkContext& c, std::span<const uint8_t> bytes) {
    if (c.worker) return c.worker->Write(bytes) == bytes.size();
    return Port(c).WriteBlock(bytes.data(), bytes.size());
}

bool ReadReply(LinkContext& c, uint8_t* byte) {
    Wire t(c);
    return t->ReadByte(byte, ByteTransport::Wait::Reply);
}

bool ReplyPending(LinkContext& c) {
    Wire t(c);
    return t->MoreComing();
}

bool DrainLine(LinkContext& c) {
    Wire t(c);
    return t->Drain();
}

void PurgeReplies(LinkContext& c) {
    Wire t(c);
    t->Purge();
}

void EmptyLine(LinkContext& c) {
    Port(c).PurgeInput();
    Port(c).PurgeOutput();
}

BaudDetectResult BaudDetect(CSerialPort& port, uint32_t limitMs, const std::function<bool()>& stopDue) {
    PortTransport t(port);
    Clock& clock = port.GetClock();
    const uint64_t t0 = clock.TickMs();
    for (;;) {
        if (clock.TickMs() - t0 > limitMs) return BaudDetectResult::TimedOut;
        if (stopDue()) return BaudDetectResult::Stopped;
        if (!port.WriteBlock(kBaudDetectString, sizeof kBaudDetectString)) return BaudDetectResult::WriteFailed;
        if (!t.MoreComing()) continue;
        uint8_t o = 0, k = 0;
        if (!t.ReadByte(&o) || o != 'O') continue;
        if (!t.ReadByte(&k) || k != 'K') continue;
        return BaudDetectResult::Ok;
    }
}

bool AwaitPrompt(LinkContext& c, const std::function<bool()>& giveUp) {
    Wire t(c);
    uint8_t b = 0;
    while (t->ReadByte(&b) && b != kPrompt11E)
        if (giveUp()) return false;
    return true;
}

bool LoopsBack(LinkContext& c, std::span<const uint8_t> pattern, uint32_t limitMs) {
    Wire t(c);
    Clock& clock = Port(c).GetClock();
    const uint64_t t0 = clock.TickMs();
    while (clock.TickMs() - t0 < limitMs) {
        for (uint8_t b : pattern) Byte(*t, b);
        if (!t->MoreComing()) continue;
        bool same = true;
        for (uint8_t expected : pattern) {
            uint8_t got = 0;
            if (!t->ReadByte(&got) || got != expected) same = false;
        }
        if (same) return true;
    }
    return false;
}

bool ReadForRestore(LinkContext& link, uint8_t* dest, uint32_t start, uint32_t n, uint32_t piece) {
    Wire t(link);
    t->Purge();
    const bool whole = ReadFlash(link, dest, start, n, piece) == n;
    if (!t->MoreComing()) return whole;
    t->Purge();
    return false;
}

AgreedRead ReadAgreeing(std::vector<uint8_t>& out, int attempts,
                        const std::function<bool(std::vector<uint8_t>&)>& readOnce, bool outIsRead) {
    std::vector<uint8_t> again(out.size());
    bool haveOne = outIsRead;
    int failures = 0, disagreements = 0;
    while (failures < attempts) {
        std::vector<uint8_t>& into = haveOne ? again : out;
        if (!readOnce(into)) {
            ++failures;
            haveOne = false;
            continue;
        }
        if (!haveOne) {
            haveOne = true;
            continue;
        }
        if (again == out) return AgreedRead::Same;
        // Once may be a glitch; twice says the line cannot be trusted with the operator's code.
        if (++disagreements >= 2) return AgreedRead::Differed;
        out.swap(again);  // the newer read is compared with the next one
    }
    return AgreedRead::Failed;
}

AgreedRead ReadAgreeing(LinkContext& link, std::vector<uint8_t>& out, uint32_t start, uint32_t piece, int attempts,
                        bool outIsRead) {
    return ReadAgreeing(out, attempts, [&](std::vector<uint8_t>& into) {
        return ReadForRestore(link, into.data(), start, static_cast<uint32_t>(into.size()), piece);
    }, outIsRead);
}

}  // namespace tessel
