#pragma once
// The boot loader runs from block 1 and cannot rewrite it. A small programming stub placed
// in block 0 at 2000h can: the loader's bank switch hands it control, the work is done, and
// a second bank switch hands control back. The stub and the bank switch overwrite two block-0
// areas (0000h-007Fh and 2000h-217Fh), which are saved first and written back afterwards.

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "files/Backup.h"

#include "protocol/Primitives.h"

namespace tessel {

class Target;
struct FirmwareImage;
enum class FirmwareId;

namespace stub {
constexpr uint16_t kAddress = 0x2000;
constexpr uint16_t kEntry = 0x2027;
constexpr uint32_t kSaveArea0 = 0x0000, kSaveArea0Size = 128;
constexpr uint32_t kSaveArea1 = 0x2000, kSaveArea1Size = 384;
constexpr uint32_t kPiece = 128;

// Result codes of the procedure's steps, 0 for success; a step that was never tried because
// an earlier one it depends on failed keeps kNotTried. It differs from every failure code
// (-1 from the flash operations, 10, 13 and 14 from the bank switch, 15 for a cancel), so
// that a step that failed is never taken for one that left the chip alone.
constexpr int kNotTried = -2;
// A step's code in those lines.
constexpr int StepCode(bool done) { return done ? 0 : -1; }
constexpr int StepCode(BankSwitch result) { return static_cast<int>(result); }
enum Step {
    kSave0, kSave1,                    // reading the two areas
    kErase0, kErase1, kProgramStub,    // placing the stub
    kSwitchIn,                         // the bank switch to the stub
    kSwitchBack,                       // the bank switch back to the loader
    kRestore0, kRestoreErase, kRestore1,
    kStepCount
};
using Codes = std::array<int, kStepCount>;
// Whether block 0 holds what it held before: its areas never erased, or put back and read back.
inline bool Block0AsItWas(const Codes& c) {
    return c[kErase0] == kNotTried || (c[kRestore0] == 0 && c[kRestoreErase] == 0 && c[kRestore1] == 0);
}
}  // namespace stub

// What the commands that rewrite block 1 check first, after clearing "IAP Status:": the
// session, the link and the block number; internal memory mode with no external window
// (else `internalOnly`); a lock state that lets block 1 be rewritten (else `hardLocked`).
// False once the reason has been said.
bool Block1RewriteReady(Target& target, const char* internalOnly, const char* hardLocked);

// The status line of a procedure that failed: "rc=" and every step's code, then ". Failed!";
// `lastSeparator` stands before the last code.
std::string FailedStepsLine(std::span<const int> codes, const char* lastSeparator = ",");

// The family's stub image; null after saying why when it cannot be used on this port (the
// stand-in board's stub on a real target).
const FirmwareImage* UsableStub(Target& target);
// The same for any image the tool carries.
const FirmwareImage* UsableFirmware(Target& target, FirmwareId id);

// Tries `step` up to `attempts` times while it fails (non-zero); returns its last code.
int Retried(int attempts, const std::function<int()>& step);

// Reads block 0's two save areas twice, all again while a read failed or the two copies
// differ (codes kSave0, kSave1), and writes them to a backup file; the file's path, or ""
// after saying why nothing may be erased.
std::string SaveBlock0Areas(Target& target, LinkContext& link, int attempts, stub::Codes& codes,
                            std::vector<BackupRegion>& saved, const std::string& backupDir);

// The words every report of a restore that did not happen uses: "block 0's areas 0000h-007Fh and
// 2000h-217Fh were not put back", then, when `backup` is given, the file that holds them.
std::string Block0AreasNotPutBack(const std::string& backup = "");

// Writes the saved areas back (codes kRestore0, kRestoreErase, kRestore1), all three again
// while any failed, the first sector erased before each repetition. A verified restore
// deletes `backup`; a failed one names it.
bool RestoreBlock0Areas(Target& target, LinkContext& link, int attempts, stub::Codes& codes,
                        const std::vector<BackupRegion>& saved, const std::string& backup);

// Erases the stub's sectors as asked (codes kErase0, kErase1) and programs `image` at 2000h
// (kProgramStub), all again while any failed. True when the image is in place.
bool PlaceStub(LinkContext& link, const FirmwareImage& image, int attempts, bool eraseArea0, bool eraseStubArea,
               stub::Codes& codes);

// Erases block 0's stub sectors (the caller has erased or saved what was there), programs
// the stub and switches to it. Codes for kErase0 (when `eraseArea0`), kErase1 (when
// `eraseStubArea`), kProgramStub and kSwitchIn. True when the stub has control.
bool EnterStub(LinkContext& link, const FirmwareImage& image, int attempts, bool eraseArea0, bool eraseStubArea,
               stub::Codes& codes);

// Hands control back to the loader at the family's entry address. Code kSwitchBack.
bool LeaveStub(Target& target, LinkContext& link, int attempts, stub::Codes& codes);

// While the stub has control: erases the password sector and writes `password` into it
// unless that is empty (an erased sector is no password at all), the two tried together up
// to `attempts` times. The codes of the erase and of the write (0 when nothing is written).
bool RewritePasswordSector(Target& target, LinkContext& link, const std::string& password, int attempts,
                           int* eraseCode, int* writeCode);

// After RewritePasswordSector did not finish (its codes): once the sector's erase was tried,
// the password may be gone, and nothing else would say so. The last message then says that
// the chip has (or may have) no password now and how to set one. True when it was said.
bool SayIfPasswordLost(Target& target, int eraseCode, int writeCode);

struct Block1StubOptions {
    // Where the save areas are written before anything is erased ("" for the user's state
    // folder).
    std::string backupDir;
    // Said when block 0 cannot be selected on an H/L chip, and, unless null, when the stub
    // never took control.
    const char* selectFailed = "";
    const char* stubFailed = nullptr;
    // How often each step is tried while it fails.
    int attempts = 1;
    // The work is a plain transfer that may stop between chunks when the operator asks (the
    // rest of the procedure, and putting block 0 back, still run); otherwise it finishes.
    bool workStopsBetweenChunks = false;
    // What a stop's report says of block 1 once the work has run: it did all it was asked
    // to, or it did not (a write cut short, an erase that failed). A stop before the work
    // began says that block 1 was not changed.
    std::string workDone = "block 1 was written and verified";
    std::string workFailed = "block 1 holds a partial image";
    // Runs after the work, while the stub still has control.
    std::function<void()> beforeSwitchBack;
    // The step codes, for a caller that reports them.
    stub::Codes* codes = nullptr;
};

// Runs `work` while the stub has control. The save areas are read and written to a backup
// file first; if either cannot be done nothing is erased. They are written back whether or
// not the work succeeded; a failed restore names the backup file, a verified one deletes it.
// True only when the work and the restore both succeeded.
bool RunWithBlock1Stub(Target& target, const Block1StubOptions& options, const std::function<bool()>& work);

}  // namespace tessel
