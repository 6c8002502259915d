#pragma once
// The flash commands of the main window: Read, Download, Compare, Sector Erase, Chip Erase and
// Save, each with its variant for an open external-flash window, and the password gate they
// pass through. They check the session, ask for their parameters through dialog models, and
// report through message boxes, the title, the "IAP Status:" line and the memory view.

#include "commands/Actions.h"
#include <cstdint>
#include <functional>
#include <string>

namespace tessel {

class Target;
class PrintTarget;
class CDeviceSession;
class ProgressReporter;

struct FlashCommandEnv {
    // Where the block-1 stub procedure writes its copy of block 0's save areas before it
    // erases them ("" for the user's state folder).
    std::string backupDir;
    // The printer the Print command uses; unset, Print is not routed (the command line).
    std::function<PrintTarget*()> printer;
};

// The window's entries for Read, Download, Compare, Sector Erase, Chip Erase, Save and (with a printer) Print
// on the window.
Actions FlashActions(Target& target, FlashCommandEnv env = {});
// The Download entry on its own: the operator chooses the file and the start (Dnload/Run
// UserCode downloads this way before it starts the code).
bool DownloadAsked(Target& target, FlashCommandEnv env);

// How a download ended. Within the boot loader upgrade the value stands among the procedure's
// step codes in its status line, which is why they are numbered.
enum class DownloadEnd {
    Done = 0,
    Failed = -1,           // failed, refused, or its dialog cancelled
    Declined = 1,          // the operator answered No: nothing was erased or written
    UpgradeDeclined = 15,  // cancelled or declined during the boot loader upgrade
};

// The boot loader upgrade's download, once its file and start have been checked and the
// operator has agreed: erases the loader's area, writes `image` from `address` in block 1
// through the running stub. Done or Failed (said).
struct LoadedImage;
DownloadEnd RunUpgradeDownload(Target& target, const LoadedImage& image, uint32_t address);

// The question before sectors are erased, naming them: "Erase sectors 000-255 of block 0
// (0000h-7FFFh)?"; `block` -1 for the open external-flash window (`high`: its high half).
std::string SectorEraseQuestion(int firstSector, int count, int block, uint32_t address, uint32_t bytes, bool high);

// The loader area that `image`, written from `start` of `block` in external memory mode, would
// reach (a block-0 image may run on at block 1's addresses); "" when it reaches none.
std::string ImageLoaderAreaOverlap(const CDeviceSession& session, const LoadedImage& image, int block,
                                   uint32_t start);
// What the window says when a command would reach the loader's own area.
std::string LoaderAreaRefusal(const std::string& area);

// True when the command may go on (password verified now or before, or not needed), false
// when it must stop (the gate has said why, or the operator cancelled).
bool PasswordGate(Target& target);

// Reads `count` bytes from `start` and prints their dump text on `target`, paginated with its
// measurements. Cancelled: the operator cancelled the print dialog, which is no failure.
enum class PrintOutcome { Printed, Cancelled, ShortRead, NotStarted, PageFailed };
PrintOutcome printFlash(CDeviceSession& session, ProgressReporter& progress, PrintTarget& target,
               const std::string& documentName, uint32_t start, uint32_t count, uint32_t sectorSize);

}  // namespace tessel
