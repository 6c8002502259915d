#pragma once
// The tool's side of the boot loader's command language: frames, and the multi-chunk flash
// operations built on them. Each moves its bytes through the context's transport: the
// session's port, or the 1.1E link worker's queues while the worker owns the port.
//
// Frames and flash operations say whether they were done; where and why one was not is in
// the progress's failure record. Reads give the number of bytes delivered, and the bank
// switch which of its steps failed.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "protocol/Progress.h"

namespace tessel {

class ByteTransport;
class CDeviceSession;
class CSerialPort;

// Command codes on the wire.
namespace cmd {
constexpr uint8_t kChipErase = 0x01;
constexpr uint8_t kBankSwitch = 0x03;
constexpr uint8_t kStatus = 0x05;
constexpr uint8_t kPasswordWrite = 0x07;
constexpr uint8_t kPasswordVerify = 0x08;
constexpr uint8_t kBootProgram = 0x09;
constexpr uint8_t kBootRead = 0x0A;
constexpr uint8_t kSectorErase = 0x0B;
constexpr uint8_t kRead = 0x0C;
constexpr uint8_t kProgram = 0x0E;
constexpr uint8_t kVersion = 0x60;
constexpr uint8_t kRunUser = 0x62;
constexpr uint8_t kLinkCheck = 0x63;
constexpr uint8_t kSelectBlock0 = 0x68;
constexpr uint8_t kSelectBlock1 = 0x69;
constexpr uint8_t kClose = 0x6B;
constexpr uint8_t kAck = 0xC0;
// The demonstration board's external-flash program uses its own codes.
constexpr uint8_t kExtChipErase = 0x02;
constexpr uint8_t kExtRead = 0x03;
constexpr uint8_t kExtSectorErase = 0x04;
constexpr uint8_t kExtProgram = 0x06;
}  // namespace cmd

// Everything an operation needs: the session (port, flags, external window), and the bar.
struct LinkContext {
    CDeviceSession& session;
    ProgressReporter& progress;
    // The link worker's transport while it owns the port (a 1.1E loader); otherwise the bytes
    // go through the session's port.
    ByteTransport* worker = nullptr;
};

[[nodiscard]] bool SendFrame(LinkContext& c, uint8_t code, uint16_t address, uint8_t data);
[[nodiscard]] bool SendTextFrame(LinkContext& c, uint8_t code, uint16_t address, const std::string& text);
[[nodiscard]] bool SendLockFrame(LinkContext& c, uint8_t index);
[[nodiscard]] bool SendLongLockFrame(LinkContext& c, uint8_t index);
[[nodiscard]] bool SendConfigFrame(LinkContext& c, uint8_t index);

[[nodiscard]] bool EraseSectors(LinkContext& c, uint32_t start, uint32_t step, int count);
[[nodiscard]] bool EraseChip(LinkContext& c);
[[nodiscard]] bool ProgramVerified(LinkContext& c, uint32_t start, uint32_t chunk, const uint8_t* data,
                                   uint32_t total);
uint32_t ReadFlash(LinkContext& c, uint8_t* dest, uint32_t start, uint32_t total, uint32_t chunk);
// Whether the loader answers a one-byte read at `address` within one reply wait, with no
// progress or message of its own. A chip stays silent beyond its own flash: asked before the
// first erase, this finds a wrong chip type while nothing is lost yet.
bool AnswersReadAt(LinkContext& c, uint32_t address);
// Whether the loader echoes the link check (63h), as the window's timer asks every ten
// seconds: the one question any loader answers whatever its password or flash, so it tells a
// silent line from a loader that merely refuses something.
bool LinkAnswers(LinkContext& c);
// What a command says when the line fell silent before it changed anything: the device gone,
// or a loader that no longer answers.
std::string SilentLineText(const CDeviceSession& session);
// The box a failed verify shows: the loader's words, then how many bytes differ (0: only
// the first is known) and the first of them, so that the box says what failed and where.
std::string VerifyFailedText(const CDeviceSession& session, size_t count, uint32_t address, uint8_t chip,
                             uint8_t file);
// The same from a compare's record; the plain words when it holds no difference.
std::string VerifyFailedText(const CDeviceSession& session, const CompareDifferences* differences);
// Without `differences` it ends at the first byte that differs. With it, it reads on to the
// end of the range and counts them all, the first still setting *mismatchAddress and
// *mismatchWord and being the one failure reported; a byte that never arrives still ends it.
// `readInto`, when given, receives every byte read (whole chunks, so room for the range
// rounded up to the chunk).
[[nodiscard]] bool CompareFlash(LinkContext& c, uint32_t start, uint32_t chunk, const uint8_t* expected,
                                uint32_t total, uint32_t* mismatchAddress, uint32_t* mismatchWord,
                                CompareDifferences* differences = nullptr, uint8_t* readInto = nullptr);
// The bank switch's outcomes carry the numbers the block-1 procedures print in their
// "rc=" lines, so that a report reads as it always has.
enum class BankSwitch : int { Done = 0, NoReply = 10, WrongReply = 13, NotSent = 14 };
[[nodiscard]] BankSwitch SwitchBank(LinkContext& c, uint16_t address, uint8_t bank);
[[nodiscard]] bool RunUserCode(LinkContext& c);
[[nodiscard]] bool ProgramBootArea(LinkContext& c, uint32_t start, uint32_t chunk, const uint8_t* data,
                                   uint32_t total);
bool selectBlock0(LinkContext& c);
bool selectBlock1(LinkContext& c);

// The bytes outside the frames: the handshakes before a loader is linked, the 1.1E prompts,
// the cable test and the line's housekeeping. They take the same transport as the frames, so
// that a wire trace and the silence watch see every byte whoever sent it.
bool SendByte(LinkContext& c, uint8_t byte);
// The code that opens an exchange: through the worker it answers the loader's next prompt.
bool SendCode(LinkContext& c, uint8_t code);
// In one write under one limit, as the handshake strings have always gone.
bool SendBlock(LinkContext& c, std::span<const uint8_t> bytes);
// One byte of a reply within one reply wait.
bool ReadReply(LinkContext& c, uint8_t* byte);
// Whether a byte is already on its way (a short look, not a reply wait).
bool ReplyPending(LinkContext& c);
// Until what was written has left.
bool DrainLine(LinkContext& c);
// Drops what came in and was not read.
void PurgeReplies(LinkContext& c);
// Drops what is queued both ways: only while no worker owns the port, whose queues are its own.
void EmptyLine(LinkContext& c);

// Sends the baud-detect string until "O","K" comes back or `limitMs` passes; `stopDue` is
// asked before each try. On a bare port: a station probes a board it has no session for.
enum class BaudDetectResult { Ok, TimedOut, WriteFailed, Stopped };
// The 16-byte string a 1.1F loader measures the host's rate from.
extern const uint8_t kBaudDetectString[16];
BaudDetectResult BaudDetect(CSerialPort& port, uint32_t limitMs, const std::function<bool()>& stopDue);

// A 1.1E loader prompts with F7h while it waits for a command. Reads until a prompt comes or
// a read wait passes with nothing; `giveUp` is asked after every other byte. False when it
// gave up.
constexpr uint8_t kPrompt11E = 0xF7;
bool AwaitPrompt(LinkContext& c, const std::function<bool()>& giveUp);

// The cable test: with the chip out and TXD tied to RXD, `pattern` is sent until it comes
// back whole or `limitMs` passes.
bool LoopsBack(LinkContext& c, std::span<const uint8_t> pattern, uint32_t limitMs);

// Reads `n` bytes that are to be written back later. The line is emptied first, and a read
// after which more bytes keep coming is refused: a reply that came late to an earlier
// request would otherwise shift every byte by one, the same way in two reads.
bool ReadForRestore(LinkContext& link, uint8_t* dest, uint32_t start, uint32_t n, uint32_t piece);

// What a procedure writes back after erasing is only as good as the copy it read: one byte
// garbled on the line would be burnt into the operator's code with nothing to notice it. Two
// reads that agree are taken as the flash's contents.
enum class AgreedRead { Same, Failed, Differed };
// Reads with `readOnce` (which fills the vector it is given, already sized, and empties the
// line first) until two reads in a row agree. A read that fails is tried again up to
// `attempts` times; a second disagreement gives up (Differed). `out` keeps its size. With
// `outIsRead`, what `out` holds already came from the chip and counts as the first read, so
// that a caller who has read once for another reason pays for one more read, not two.
AgreedRead ReadAgreeing(std::vector<uint8_t>& out, int attempts,
                        const std::function<bool(std::vector<uint8_t>&)>& readOnce, bool outIsRead = false);
// The same for [start, start + out.size()) read with ReadForRestore.
AgreedRead ReadAgreeing(LinkContext& link, std::vector<uint8_t>& out, uint32_t start, uint32_t piece, int attempts,
                        bool outIsRead = false);

}  // namespace tessel
