#pragma once
// The stand-in Norvik51 board: a behavioural model of the target as the tool sees it over the
// serial line. It is the peer of a VirtualLine and runs on the line's clock, so the whole
// exchange (replies, busy times, the 1.1E prompt rhythm) is deterministic in tests.
//
// Where the real loader's inner working is not visible on the wire, the choices made here
// are written down next to the code that makes them.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "firmware/Firmware.h"
#include "platform/VirtualLine.h"

namespace tessel {
class Clock;
}

namespace tessel::sim {

enum class Firmware { F11F, F11E, Monitor };

enum class Mode {
    Loader,        // a boot loader is running (1.1F or 1.1E)
    Stub,          // the block-1 programming stub has control
    ExternalProgram,  // the demonstration board's external-flash program
    UserCode,      // the user's code (or whatever sat where the loader jumped)
    Monitor,       // the debug monitor: no loader handshake is answered
    LoopBack,      // no MCU: the cable echoes every byte
};

// Faults a test can inject. Counters are 1-based; 0 switches a knob off.
struct Faults {
    uint64_t silentFromByte = 0;   // from the Nth byte received on, nothing is answered
    uint64_t dropAfterBytes = 0;   // after N bytes (received and sent together) the link is dead both ways
    uint64_t corruptReplyByte = 0; // the kth byte sent is inverted
    uint64_t corruptReplyEvery = 0; // ... and every Nth byte sent after it (a line that stays bad)
    uint32_t replyDelayMs = 0;     // every reply starts this much later
    int refuseCommand = -1;        // this command code never gets its 0xC0
    int64_t refuseAt = -1;         // ... only at this address (-1: at any)
    int refuseTimes = 0;           // ... only the first N times it would (0: every time)
    int ignoreCommand = -1;        // this command code is taken in and does nothing at all
    bool stopPrompts = false;      // a 1.1E loader stops prompting
    // The Nth read (0Ch) a 1.1E loader answers has an idle prompt in front of its data, as when
    // the loader's prompt timer fires while the command is still on its way.
    uint64_t promptBeforeRead = 0;
    // The Nth read (0Ch) a 1.1F loader answers from when the faults were set is followed by
    // one byte more, as noise on the line or a reply taken for late would leave.
    uint64_t strayAfterRead = 0;
    // A 1.1F loader that gives this letter instead of "F" for its version (0: "F").
    uint8_t versionLetter = 0;
    bool upgradeNeverAnswers = false;  // the 1.1E upgrade program starts and then says nothing
    // Once N bytes were received the cable is pulled: nothing more passes either way.
    uint64_t unplugAfterBytes = 0;
};

struct BoardConfig {
    int chipType = 2;
    Firmware firmware = Firmware::F11F;
    double crystalMHz = 11.0592;
    // A line without modem signals (a pseudo-terminal) cannot reset the chip: the board then
    // resets itself when a baud-detect string arrives, as if the operator pressed reset.
    bool selfResetOnBaudDetect = false;
    // Start mode when the lines never reset the chip: external memory (EA# = 0).
    bool startExternal = false;
    bool loopBack = false;
    // The demonstration board's A16 switch: which half of the external flash the program sees.
    bool externalHighHalf = false;
    uint8_t securityBits = 0;  // status bits 7:5 (SB1 SB2 SB3) already programmed
    uint8_t remapBits = 0;     // status bits 1:0 already programmed
    std::string password;      // stored loader password; empty: none
    // The fastest rate a 1.1F loader's auto-baud can follow; faster strings go unanswered
    // (0: any rate its crystal can make).
    uint32_t maxBaud = 0;
    Faults faults;
};

// The board's own busy times, which a benchmark adds to its wire-time bound.
inline constexpr uint64_t kSectorEraseUs = 4000;
inline constexpr uint64_t kProgramByteUs = 20;
inline constexpr uint64_t kChipEraseUs = 50000;
inline constexpr uint64_t kExternalSectorEraseUs = 25000;
inline constexpr uint64_t kExternalChipEraseUs = 20000;
// The 1.1E loader prompts this often while idle: fast enough that the host's 500 ms
// "fallen back to prompting" rule and 6000 ms prompt limit have a wide margin.
inline constexpr uint64_t kPromptPeriodUs = 50000;

inline constexpr size_t kExternalFlashSize = 128 * 1024;
inline constexpr size_t kExternalSectorSize = 4096;

struct Geometry {
    uint32_t size0, sector0, start0;
    uint32_t size1, sector1, start1;
    uint32_t bslStart, bslEnd;  // block-1 addresses, end exclusive
    uint16_t entry;
    uint16_t passwordAddress;
};
Geometry GeometryFor(int chipType);

class Board : public LinePeer {
public:
    explicit Board(BoardConfig config);

    // LinePeer
    void OnHostByte(VirtualLine& line, uint8_t byte, uint64_t at, uint32_t hostBaud) override;
    void OnLinesChanged(VirtualLine& line, bool dtr, bool rts, uint64_t at) override;
    uint64_t NextTimer() override;
    void OnTimer(VirtualLine& line, uint64_t at) override;
    bool Unplugged() const override;

    // Power-on reset into the given memory mode (external: EA# = 0).
    void Reset(bool external, uint64_t at = 0);

    // Ground truth. Copies, so a test thread may call them while the line is idle.
    std::vector<uint8_t> Block(int block) const;
    void SetBlock(int block, const std::vector<uint8_t>& data);
    std::vector<uint8_t> External() const;
    void SetExternal(const std::vector<uint8_t>& data);
    uint8_t SecurityBits() const;  // 7:5
    uint8_t LiveStatusByte() const;
    bool DoubleClock() const;
    uint8_t RemapBits() const;     // RB1:RB0 (A) or SC1:SC0 (H/L)
    std::string Password() const;
    Mode CurrentMode() const;
    Firmware CurrentFirmware() const;
    bool Linked() const;            // auto-baud done
    uint32_t LockedBaud() const;
    std::vector<std::string> CommandLog() const;
    uint64_t BytesReceived() const;
    uint64_t BytesSent() const;
    uint64_t CommandsReceived() const;  // whole commands, not the baud-detect handshake
    uint64_t BusyTimeUs() const;    // erase and programming time modelled in all
    // Where each span of erase and programming time is recorded as it is modelled (benchmarks).
    void SetActivityLog(std::shared_ptr<ActivityLog> log);
    void SetFaults(const Faults& f);
    // Told, as it happens, which target image the board found and ran (tessel-sim prints it).
    void SetReporter(std::function<void(const std::string&)> reporter);
    const BoardConfig& Config() const { return config_; }

private:
    int refusals_ = 0;
    enum class LoaderState { AwaitBaud, AwaitBsl, Command };

    void Send(VirtualLine& line, const std::vector<uint8_t>& bytes, uint64_t at);
    void Send(VirtualLine& line, uint8_t byte, uint64_t at) { Send(line, std::vector<uint8_t>{byte}, at); }
    void Log(const std::string& text);
    size_t NeededLength() const;
    void Execute(VirtualLine& line, uint64_t at);
    void Execute11F(VirtualLine& line, uint64_t at);
    void Execute11E(VirtualLine& line, uint64_t at);
    void ExecuteStub(VirtualLine& line, uint64_t at);
    void ExecuteExternal(VirtualLine& line, uint64_t at);
    bool BaudProducible(uint32_t baud) const;
    void Busy(uint64_t at, uint64_t us);
    uint64_t ReplyTime(uint64_t at) const;
    // Whether the refusal fault swallows this acknowledge; counts the refusals.
    bool Refuses(uint8_t command, uint32_t address);

    // Whether any flash of the chip sits at the address, whichever block is selected.
    bool Mapped(uint32_t address) const;
    // Address decoding: which block and offset a loader address reaches.
    bool Decode(uint32_t address, int* block, uint32_t* offset) const;
    bool Block0Writable() const;
    bool AccessAllowed() const;  // password verified or no password
    bool ExternalBlock1Writable(uint32_t address) const;
    uint8_t ReadCell(uint32_t address) const;
    void EraseSectorAt(uint32_t address);
    void ProgramBytes(uint32_t address, const uint8_t* data, size_t n);
    bool MonitorInBlock1() const;
    bool RunsImage(FirmwareId id, uint32_t at);
    void SetSecurity(uint8_t bit);

    mutable std::recursive_mutex mutex_;
    BoardConfig config_;
    Geometry geo_;
    std::array<std::vector<uint8_t>, 2> flash_;
    std::vector<uint8_t> external_;
    Firmware firmware_;
    Mode mode_ = Mode::Loader;
    LoaderState state_ = LoaderState::AwaitBaud;
    uint64_t okAt_ = 0;  // when the loader last answered a baud-detect string
    bool externalMode_ = false;  // EA# = 0 at the last reset
    uint8_t security_ = 0;       // 7:5
    bool doubleClock_ = false;
    uint8_t remap_ = 0;          // 1:0
    uint8_t latchedStatus_ = 0;
    uint32_t lockedBaud_ = 0;
    int selectedBlock_ = 0;
    bool passwordVerified_ = false;
    bool passwordResetArmed_ = false;
    std::string password_;
    std::vector<uint8_t> pending_;
    size_t baudMatch_ = 0;
    bool lastRts_ = false;
    bool prevDtr_ = false;
    uint64_t busyUntil_ = 0;
    uint64_t busyTotal_ = 0;
    std::shared_ptr<ActivityLog> activity_;
    uint64_t txFreeAt_ = 0;  // when the board's last reply byte has left
    uint64_t nextPrompt_ = UINT64_MAX;
    uint64_t reads11E_ = 0;  // the 1.1E loader's reads answered so far, for promptBeforeRead
    uint64_t reads11F_ = 0;  // the 1.1F loader's, for strayAfterRead
    uint64_t received_ = 0;
    uint64_t sent_ = 0;
    uint64_t commands_ = 0;
    std::vector<std::string> log_;
    std::function<void(const std::string&)> reporter_;
};

// A board on its own virtual line.
struct SimLink {
    std::shared_ptr<VirtualLine> line;
    std::shared_ptr<Board> board;
};
SimLink MakeSimLink(Clock& clock, const BoardConfig& config);

// Port names "sim", "sim:CHIP", "sim:CHIP:FIRMWARE" (e.g. "sim:NX31A32:1.1E") and
// "sim:CHIP:FIRMWARE:FAULT" (upgrade-silent: the 1.1E upgrade program never answers).
bool ParseSimName(const std::string& name, BoardConfig* out, std::string* error);

// Lets "sim..." port names open a board: one board per name for the life of the process,
// so that every re-open (each detection opens the port afresh) finds the same flash.
void RegisterSimScheme();
std::shared_ptr<Board> FindSimBoard(const std::string& name);

}  // namespace tessel::sim
