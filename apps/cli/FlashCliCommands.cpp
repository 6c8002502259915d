#include <cstdio>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "Connection.h"
#include "ConsoleView.h"
#include "Gang.h"
#include "Interrupt.h"
#include "device/CDeviceSession.h"
#include "device/ChipCatalogue.h"
#include "files/FlashDump.h"
#include "files/HexImage.h"
#include "transfer/ImageLoaders.h"
#include "platform/Console.h"
#include "platform/SafeFile.h"
#include "commands/MemoryView.h"
#include "device/CommandChecks.h"
#include "commands/Commands.h"
#include "commands/FlashCommands.h"
#include "commands/UpgradeCommands.h"

namespace tessel::cli {

namespace {

// The flash commands of the command line.
enum class Verb { Read, Save, Download, Compare, SectorErase, ChipErase, UpgradeInternal, UpgradeExternal };

// The rule book's row for each; writing the board's own loader has none of its own.
std::optional<RuledCommand> RuleOf(Verb verb) {
    switch (verb) {
        case Verb::Read: return RuledCommand::Read;
        case Verb::Save: return RuledCommand::Save;
        case Verb::Download: return RuledCommand::Download;
        case Verb::Compare: return RuledCommand::Compare;
        case Verb::SectorErase: return RuledCommand::SectorErase;
        case Verb::ChipErase: return RuledCommand::ChipErase;
        case Verb::UpgradeInternal: return RuledCommand::UpgradeInternalBsl;
        case Verb::UpgradeExternal: return std::nullopt;
    }
    return std::nullopt;
}

// Where the options point: the first address, the sector size and the sectors in reach.
struct Place {
    uint32_t address = 0;
    uint32_t sectorSize = 0;
    int sectorsLeft = 0;
    bool high = false;  // the external flash's high window: addresses shown with a leading 1
};

struct FlashRun {
    ConnectOptions connect;
    FlashOptions flash;
    bool dump = false;      // read: also print the hex dump
    bool chipErase = false; // erase: the whole chip
    bool verify = false;    // download: compare afterwards
    int lockOption = 0;     // download: program these lock bits after the image is in
    bool run = false;       // download: start the user's program at the end
    std::string external;   // "low" or "high": run in that external-flash window
    GangPorts ports;        // the commands that program several boards side by side
    // download, compare: the span of the file's image, the first byte it defines (a HEX file
    // built for 0400h defines nothing before it), the bytes it defines (fewer than the span
    // when a HEX file has gaps) and the sectors those bytes fall into.
    size_t imageBytes = 0;
    size_t firstDefined = 0;
    size_t definedBytes = 0;
    long long touchedSectors = 0;
    // Where the command worked, taken while an external-flash window was still open: the
    // result line is written after the window has been left.
    std::optional<Place> place;
    // Runs once the plan has been checked, before the first byte that changes the chip; false
    // (with why) stops the command there.
    std::function<bool(std::string*)> beforeWrite;
    std::string changedCounts;  // download --changed-only: what it rewrote and what it skipped
};

std::string Printf(const char* fmt, auto... args) {
    char buf[600];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// Opens the window the options name; false once the reason has been said.
bool EnterWindow(const FlashRun& r, Connection& link) {
    if (r.external.empty()) return true;
    return OpenExternalWindow(link.Board(), r.external == "high").Ok();
}

// The command line opened the window, so it leaves it again without asking.
bool LeaveWindow(const FlashRun& r, Connection& link) {
    if (r.external.empty() || !link.Board().Session().ExternalWindowOpen()) return true;
    return LeaveExternalWindow(link.Board()).Ok();
}

// The request the options make, and the command run with it; a compare also gives back what
// it found different.
tessel::CommandResult RunVerb(Verb verb, const FlashRun& r, Target& w, CompareDifferences& differences) {
    const SectorRange range{r.flash.block, r.flash.startSector, r.flash.count};
    const ImageRequest image{r.flash.file, ImageFormatFromName(r.flash.format), r.flash.block, r.flash.startSector,
                             r.flash.changedOnly};
    switch (verb) {
        case Verb::Read: return ReadSectors(w, range);
        case Verb::Save: return SaveSectors(w, SaveRequest{range, r.flash.file, r.flash.text});
        case Verb::Download: return DownloadImage(w, image);
        case Verb::Compare: {
            CompareResult compared = CompareImage(w, image);
            differences = compared.differences;
            return compared;
        }
        case Verb::SectorErase: return EraseSectorRange(w, range);
        case Verb::ChipErase: return EraseWholeChip(w);
        case Verb::UpgradeInternal: return UpgradeLoader(w, image);
        case Verb::UpgradeExternal: return WriteExternalLoader(w);
    }
    return {};
}

Place PlaceOf(const FlashRun& r, const CDeviceSession& s) {
    if (r.place) return *r.place;
    Place p;
    if (s.ExternalWindowOpen()) {
        p.sectorSize = kExternalSectorSize;
        p.address = static_cast<uint32_t>(r.flash.startSector) * kExternalSectorSize;
        p.sectorsLeft = kExternalWindowSectors - r.flash.startSector;
        p.high = s.externalHighOpen;
    } else {
        p.sectorSize = static_cast<uint32_t>(s.SectorSize(r.flash.block));
        p.address = static_cast<uint32_t>(s.SectorAddress(r.flash.block, r.flash.startSector));
        p.sectorsLeft = s.SectorCount(r.flash.block) - r.flash.startSector;
    }
    return p;
}

std::string Hex(const Place& p, uint32_t address) {
    return p.high ? Printf("1%04Xh", address) : Printf("%04Xh", address);
}

std::string Range(const Place& p, uint32_t bytes) {
    return Hex(p, p.address) + "-" + Hex(p, p.address + (bytes ? bytes - 1 : 0));
}

// Where a download or compare found the file's bytes: its first to its last defined byte, image
// byte 0 being at the start sector's address. Also the result's start and end.
std::string FileRange(const FlashRun& r, const Place& p, CommandResult& res) {
    Place first = p;
    first.address += static_cast<uint32_t>(r.firstDefined);
    const uint32_t bytes = static_cast<uint32_t>(r.imageBytes - r.firstDefined);
    res.fields["start"] = first.address;
    res.fields["end"] = first.address + (bytes ? bytes - 1 : 0);
    return Range(first, bytes);
}

std::string Sectors(long long n) { return Printf("%lld sector%s", n, n == 1 ? "" : "s"); }

// What was done before a failure, from the operations' own counts: "Erasing 1 of 1 sectors,
// Writing 64 of 128 bytes".
std::string DoneSoFar(const EventStream& events) {
    std::string s;
    for (const Phase& p : events.Phases()) {
        if (!s.empty()) s += ", ";
        s += Printf("%s %lld of %lld %s", p.label.c_str(), p.Done(), p.Total(),
                    p.stepBytes ? "bytes" : "sectors");
    }
    return s;
}

bool Stopped(Connection& link) { return link.Board().Session().flags.stop.Requested(); }

std::string Why(Connection& link) { return link.FailureReason(); }

void AddFailureFields(CommandResult& res, const EventStream& events, Connection& link) {
    if (auto f = events.LastFailure()) {
        res.fields["failed_step"] = f->step;
        res.fields["failed_address"] = f->address;
        res.fields["reason"] = f->reason;
        if (f->got) res.fields["chip_byte"] = *f->got;
        if (f->expected) res.fields["expected_byte"] = *f->expected;
    } else if (!link.Op().LastMessage().empty()) {
        res.fields["reason"] = link.Op().LastMessage();
    }
    if (Stopped(link)) res.fields["reason"] = link.FailureReason();
}

int CountNotBlank(const MemoryView& view, int first, int count) {
    int n = 0;
    const auto& rows = view.StatusRows();
    for (int i = first; i < first + count && i < static_cast<int>(rows.size()); ++i)
        if (rows[i][4] != "Blank") ++n;
    return n;
}

// The command's name as the command line spells it.
std::string CommandWord(Verb verb) {
    switch (verb) {
        case Verb::Download: return "download";
        case Verb::Compare: return "compare";
        case Verb::Read: return "read";
        case Verb::SectorErase:
        case Verb::ChipErase: return "erase";
        case Verb::Save: return "save";
        case Verb::UpgradeInternal: return "upgrade-bsl";
        case Verb::UpgradeExternal: return "external-bsl";
    }
    return "the command";
}

// The one line that ends the command: its own outcome, with the figures that matter.
// `ran`: what the command itself left, its own finding when it failed; `differed`: a compare
// that found differences, which `ran` then counts in the core's line.
void Describe(const FlashRun& r, Verb verb, Connection& link, bool ok, CommandResult& res, const tessel::CommandResult& ran,
              bool differed) {
    const std::string counted = differed ? ran.summary : std::string();
    const EventStream& ev = link.Events();
    const CDeviceSession& s = link.Board().Session();
    const Place p = PlaceOf(r, s);
    const std::string file = r.flash.file;
    if (!r.flash.file.empty()) res.fields["file"] = r.flash.file;
    res.fields["start"] = p.address;
    const bool declined = !ok && ev.Declined() && ev.Phases().empty();
    // The sectors a read, erase or save was asked for, cut at the block's end as the command cuts them.
    const int count = r.flash.count == 0 || r.flash.count > p.sectorsLeft ? p.sectorsLeft : r.flash.count;
    const std::string soFar = DoneSoFar(ev).empty() ? "" : " (" + DoneSoFar(ev) + ")";
    switch (verb) {
        case Verb::Download: {
            res.command = "download";
            const std::string range = FileRange(r, p, res);
            const long long sectors = r.touchedSectors;
            res.fields["bytes"] = r.definedBytes;
            res.fields["sectors"] = sectors;
            if (!r.changedCounts.empty()) res.fields["changed_only"] = r.changedCounts;
            if (ok) {
                res.summary = Printf("downloaded %s: %zu bytes in %s at %s, verified", file.c_str(), r.definedBytes,
                                     Sectors(sectors).c_str(), range.c_str());
                if (!r.changedCounts.empty()) res.summary += " (" + r.changedCounts + ")";
                if (r.verify) res.summary += ", compared again";
                if (r.lockOption) res.summary += Printf(", lock option %d set", r.lockOption);
                if (r.run) res.summary += ", user code started";
                res.summary += Printf(", %.1f s", ev.Seconds());
            } else if (declined) {
                res.summary = "download of " + file + " declined: nothing was erased or written";
            } else {
                res.summary = "download of " + file + " failed: " + Why(link) + soFar;
            }
            break;
        }
        case Verb::Compare: {
            res.command = "compare";
            const std::string range = FileRange(r, p, res);
            res.fields["bytes"] = r.definedBytes;
            if (ok) {
                res.summary = Printf("compare: %s matches the flash, %zu bytes at %s, %.1f s", file.c_str(),
                                     r.definedBytes, range.c_str(), ev.Seconds());
            } else if (!counted.empty()) {
                // The first difference has been said on its own line already; the result
                // adds how many bytes differ, in the window's words.
                res.summary = counted;
            } else if (auto f = ev.LastFailure(); f && f->got && f->expected) {
                res.summary = ConsoleView::FailureLine(*f);
            } else {
                res.summary = "compare of " + file + " failed: " + Why(link);
            }
            break;
        }
        case Verb::Read: {
            res.command = "read";
            res.fields["sectors"] = count;
            res.fields["bytes"] = static_cast<long long>(count) * p.sectorSize;
            res.fields["end"] = p.address + static_cast<uint32_t>(count) * p.sectorSize - 1;
            if (ok) {
                const int used = CountNotBlank(link.Board().Memory(), r.flash.startSector, count);
                res.fields["not_blank"] = used;
                res.summary = Printf("read %s at %s, %d not blank", Sectors(count).c_str(),
                                     Range(p, static_cast<uint32_t>(count) * p.sectorSize).c_str(), used);
            } else {
                res.summary = "read failed: " + Why(link) + soFar;
            }
            break;
        }
        case Verb::SectorErase: {
            res.command = "erase";
            res.fields["sectors"] = count;
            res.fields["end"] = p.address + static_cast<uint32_t>(count) * p.sectorSize - 1;
            if (ok)
                res.summary = Printf("erased %s from sector %d at %s", Sectors(count).c_str(), r.flash.startSector,
                                     Range(p, static_cast<uint32_t>(count) * p.sectorSize).c_str());
            else if (declined) res.summary = "erase declined: nothing was erased";
            else res.summary = "erase failed: " + Why(link) + soFar;
            break;
        }
        case Verb::ChipErase:
            res.command = "erase";
            res.fields["chip_erase"] = true;
            if (ok) res.summary = "erased the whole chip";
            else if (declined) res.summary = "chip erase declined: nothing was erased";
            else if (!ran.summary.empty()) {
                // The erase's own finding is the cause; what the detection after it showed
                // (an alert at level 4, say) follows it.
                res.summary = ran.summary;
                const std::string& last = link.Op().LastMessage();
                if (!last.empty() && last.rfind("Chip Erase", 0) != 0) res.summary += "\n" + last;
            } else res.summary = "chip erase failed: " + Why(link);
            break;
        case Verb::Save: {
            res.command = "save";
            res.fields["sectors"] = count;
            res.fields["bytes"] = static_cast<long long>(count) * p.sectorSize;
            if (ok)
                res.summary = Printf("saved %s at %s to %s", Sectors(count).c_str(),
                                     Range(p, static_cast<uint32_t>(count) * p.sectorSize).c_str(), file.c_str());
            else res.summary = "save to " + file + " failed: " + Why(link);
            break;
        }
        case Verb::UpgradeInternal:
            res.command = "upgrade-bsl";
            if (ok) res.summary = "boot loader replaced with " + file;
            else if (declined) res.summary = "boot loader upgrade declined: the loader was not touched";
            else res.summary = "boot loader upgrade from " + file + " failed: " + Why(link);
            break;
        case Verb::UpgradeExternal:
            res.command = "external-bsl";
            if (ok) res.summary = "external boot loader written into the low window's first sector";
            else if (declined) res.summary = "external boot loader not written: declined";
            else res.summary = "external boot loader write failed: " + Why(link);
            break;
        default: break;
    }
    if (!ok && !declined) AddFailureFields(res, ev, link);
}

// Refuses, before the target is touched, what can be judged from the options and the file:
// kExitOk, or the exit code after saying why.
int CheckBeforeConnecting(FlashRun& r, EventStream& events, CommandResult& res, Verb verb, bool rangeCount,
                          LoadedImage* image) {
    const bool upgrade = verb == Verb::UpgradeInternal;
    image->path = r.flash.file;
    if (verb == Verb::Download || verb == Verb::Compare || upgrade) {
        // A file that cannot be used is refused before the target is even touched; the result
        // line gives the cause, once.
        ImageData data;
        if (const std::string why = ReadImageForCommand(r.flash.file, r.flash.format, &data); !why.empty()) {
            res.summary = "nothing was done: " + why;
            res.fields["file"] = r.flash.file;
            res.fields["reason"] = why;
            res.fields["fault"] = FaultName(Fault::File);
            return kExitUsage;
        }
        r.imageBytes = data.bytes.size();
        r.definedBytes = data.DefinedCount();
        image->bytes = std::move(data.bytes);
        image->defined = std::move(data.defined);
        r.firstDefined = image->FirstDefined();
    }
    if (!r.external.empty()) {
        // An external-flash window has 16 sectors; say so before anything is opened.
        if (r.flash.startSector >= kExternalWindowSectors) {
            events.Error("--start-sector must be below " + std::to_string(kExternalWindowSectors) +
                         " in an external-flash window");
            return kExitUsage;
        }
        if (rangeCount && r.flash.count >= kExternalWindowSectors) {
            events.Error("--count must be below " + std::to_string(kExternalWindowSectors) +
                         " in an external-flash window");
            return kExitUsage;
        }
    }
    return kExitOk;
}

// The sectors that hold a byte the image defines. In external memory mode an image for block 0
// runs on into block 1, whose sectors have a size of their own; the file bytes between the
// two blocks address nothing.
long long TouchedSectors(const LoadedImage& image, const CDeviceSession& s, const FlashRun& r, const Place& p) {
    ImageData data;
    data.bytes = image.bytes;
    data.defined = image.defined;
    auto count = [&](size_t from, size_t to, uint32_t sectorSize) {
        long long n = 0;
        for (size_t at = from; sectorSize && at < to; at += sectorSize)
            if (data.AnyDefined(at, std::min<size_t>(sectorSize, to - at))) ++n;
        return n;
    };
    const size_t length = data.bytes.size();
    const uint32_t block0End = static_cast<uint32_t>(s.ListedSectorCount(0) * s.SectorSize(0));
    const uint32_t block1Start = static_cast<uint32_t>(s.StartAddress(1));
    if (s.ExternalWindowOpen() || s.memoryMode == kInternalMemory || r.flash.block != 0 ||
        p.address + length <= block0End || block1Start < p.address)
        return count(0, length, p.sectorSize);
    return count(0, block0End - p.address, p.sectorSize) +
           count(block1Start - p.address, length, static_cast<uint32_t>(s.SectorSize(1)));
}

// Every step the command will take, in order, as the rule book knows them.
std::vector<Connection::PlanStep> PlanOf(const FlashRun& r, Verb verb) {
    const bool window = !r.external.empty();
    std::vector<Connection::PlanStep> plan;
    if (window) plan.push_back({"--external " + r.external, RuledCommand::ExternalFlash, false});
    plan.push_back({"", RuleOf(verb), window});
    if (r.verify) plan.push_back({"--verify", RuledCommand::Compare, window});
    if (r.lockOption) plan.push_back({"--lock " + std::to_string(r.lockOption), RuledCommand::LockChip, false});
    if (r.run) plan.push_back({"--run", RuledCommand::ExecuteUserCode, false});
    return plan;
}

// The loader's own area, when an erase or a download outside a window would reach it.
std::string LoaderAreaReached(const FlashRun& r, Verb verb, const CDeviceSession& s, const LoadedImage& image) {
    if (!r.external.empty()) return "";
    const uint32_t address = static_cast<uint32_t>(s.SectorAddress(r.flash.block, r.flash.startSector));
    if (verb == Verb::SectorErase) {
        const int left = s.SectorCount(r.flash.block) - r.flash.startSector;
        const int count = r.flash.count == 0 || r.flash.count > left ? left : r.flash.count;
        return LoaderAreaOverlap(s.chipType, r.flash.block, address,
                                 static_cast<uint64_t>(count) * static_cast<uint64_t>(s.SectorSize(r.flash.block)));
    }
    if (verb == Verb::Download) {
        if (s.memoryMode != kInternalMemory) return ImageLoaderAreaOverlap(s, image, r.flash.block, address);
        return LoaderAreaOverlap(s.chipType, r.flash.block, address, image.bytes.size());
    }
    return "";
}



// Detects the target, fills the dialogs from the options and routes the command as the
// window's button would; the exit code says how it went. `r.connect` names the board.
int RunOnTarget(FlashRun& r, EventStream& events, CommandResult& res, Verb verb, bool rangeCount,
                void (*after)(FlashRun&, Connection&) = nullptr) {
    LoadedImage image;
    r.place.reset();
    if (const int rc = CheckBeforeConnecting(r, events, res, verb, rangeCount, &image); rc != kExitOk)
        return rc;
    Connection link(r.connect, events);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    if (!link.UseFlashOptions(r.flash, rangeCount && r.external.empty())) return kExitUsage;
    // The whole plan is checked against the chip's state before the first byte: a step that
    // may not run stops the command before any other step has changed the chip.
    if (const int rc = link.CheckPlan(PlanOf(r, verb)); rc != kExitOk) return rc;
    CDeviceSession& session = link.Board().Session();
    if (verb == Verb::UpgradeInternal) {
        const uint32_t address = static_cast<uint32_t>(session.SectorAddress(r.flash.block, r.flash.startSector));
        if (const std::string why = CheckNewLoader(session, r.flash.block, address, image); !why.empty()) {
            events.Error(why);
            return kExitUsage;
        }
    }
    if (const std::string area = LoaderAreaReached(r, verb, session, image); !area.empty())
        return link.Refuse("", LoaderAreaRefusal(area));
    if (verb == Verb::Download) {
        const bool window = !r.external.empty();
        const uint32_t address = window ? static_cast<uint32_t>(r.flash.startSector) * kExternalSectorSize
                                        : static_cast<uint32_t>(session.SectorAddress(r.flash.block, r.flash.startSector));
        const LoaderKind kind = window ? LoaderKind::Flash : DownloadLoaderKind(session, r.flash.block);
        if (const std::string problem = ImageFitProblem(session, kind, image.bytes.size(), r.flash.block, address, window);
            !problem.empty())
            return link.Refuse("", problem);
    }
    // The lock option of a one-pass download is checked against the chip before anything
    // is written.
    if (r.lockOption && !CheckMenuOption(BitMenu::Lock, r.lockOption, link)) return kExitUsage;
    // The lock of a one-pass download is another family's bits on a chip of another type: its
    // check reads the chip, as the last guard. (The erases' own check runs in the command,
    // after the password gate, since a loader may answer no read before it.)
    if (r.lockOption)
        if (const int rc = link.CheckChipType(ChipCheckFor::Bits); rc != kExitOk) return rc;
    if (std::string why; r.beforeWrite && !r.beforeWrite(&why)) {
        res.summary = CommandWord(verb) + ": nothing was done: " + why;
        res.fields["reason"] = why;
        return kExitFailed;
    }
    if (!EnterWindow(r, link)) {
        // An opening that changed block 0 before it failed says itself what it left where.
        const std::string& leftBehind = link.Board().Result();
        res.summary = CommandWord(verb) +
                      (leftBehind.empty() ? ": nothing was done, the external flash's " + r.external +
                                                " window could not be opened: " + link.FailureReason()
                                          : ": " + leftBehind);
        return kExitFailed;
    }
    r.place = PlaceOf(r, session);
    r.touchedSectors = TouchedSectors(image, session, r, *r.place);
    Target& w = link.Board();
    CompareDifferences differences;
    session.refusalBeforeChange.clear();
    tessel::CommandResult ran = RunVerb(verb, r, w, differences);
    bool ok = ran.Ok();
    // The command's own checks refused it before the first byte that changes the chip.
    if (std::string why; !ok)
        if (const int rc = link.RefusedBeforeChange(&why); rc != kExitOk) {
            res.summary = CommandWord(verb) + ": nothing was done: " + why;
            res.fields["reason"] = session.refusalBeforeChange;
            return rc;
        }
    // After a stop only the recovery runs: the window is still left below.
    if (InterruptSignal() != 0) ok = false;
    if (ok && r.flash.changedOnly) r.changedCounts = events.CommandStatus();
    if (ok && r.verify) {
        ran = RunVerb(Verb::Compare, r, w, differences);
        ok = ran.Ok();
    }
    if (ok && after) after(r, link);
    const std::string commandStatus = w.Field(ChipField::IapStatus);
    const bool left = LeaveWindow(r, link);
    // A return that could not give block 0 back says what it left where.
    const std::string leftBehind = left ? std::string() : w.Result();
    ok = left && ok;
    if (!commandStatus.empty()) w.SetIapStatus(commandStatus);
    Describe(r, verb, link, ok, res, ran, differences.count > 0);
    if (!leftBehind.empty()) res.summary += "; " + leftBehind;
    if (ok && r.lockOption && InterruptSignal() == 0) {
        const LockOption* lock = FindLockOption(w.Session().Chip().lockMenu, r.lockOption);
        if (!lock || !ProgramLock(w, lock->choice).Ok()) {
            ok = false;
            res.summary = Printf("downloaded %s and verified it, but lock option %d was not set: %s",
                                 r.flash.file.c_str(), r.lockOption, link.FailureReason().c_str());
            res.fields["failed_step"] = "lock";
        } else {
            link.ReportChip(false);
            res.fields["security"] = w.SecurityLine();
        }
    }
    if (ok && r.run && InterruptSignal() == 0) {
        if (!RunUserProgram(w).Ok()) {
            ok = false;
            res.summary = "downloaded " + r.flash.file + (r.lockOption ? " and locked the chip" : "") +
                          ", but the user code was not started: " + link.FailureReason();
            res.fields["failed_step"] = "run";
        }
    }
    return ok ? kExitOk : kExitFailed;
}

void PrintRead(FlashRun& r, Connection& link) {
    Target& w = link.Board();
    const MemoryView& view = w.Memory();
    const CDeviceSession& s = w.Session();
    const bool window = s.ExternalWindowOpen();
    const int block = s.CurrentBlock();
    const int first = r.flash.startSector;
    const int total = window ? kExternalWindowSectors : s.SectorCount(block);
    const int count = r.flash.count == 0 || first + r.flash.count > total ? total - first : r.flash.count;
    std::string table = Printf("%-6s %-10s %-10s %-10s %s\n", "SECTOR", "HEX-FROM", "HEX-TO", "DEC-FROM", "STATUS");
    const auto& rows = view.StatusRows();
    for (int i = first; i < first + count && i < static_cast<int>(rows.size()); ++i)
        table += Printf("%-6s %-10s %-10s %-10s %s\n", rows[i][0].c_str(), rows[i][1].c_str(), rows[i][2].c_str(),
                        rows[i][3].c_str(), rows[i][4].c_str());
    link.Events().Output(table);
    if (!r.dump) return;
    const uint32_t size = static_cast<uint32_t>(window ? kExternalSectorSize : s.SectorSize(block));
    const auto image = window ? s.ExternalImage() : s.BlockImage(block);
    const size_t offset = static_cast<size_t>(first) * size;
    const uint32_t address = window ? static_cast<uint32_t>(offset) : static_cast<uint32_t>(s.SectorAddress(block, first));
    link.Events().Output(FormatSaveText(image.subspan(offset, static_cast<size_t>(count) * size), address,
                                        s.externalHighOpen));
}

CLI::App* Add(CLI::App& app, RunState& state, const char* name, const char* about, FlashRun& r, bool withCount,
              bool external = false, bool gang = false) {
    CLI::App* cmd = app.add_subcommand(name, about);
    if (gang) AddGangConnectOptions(cmd, state, r.ports);
    else AddCommonOptions(cmd, state, true);
    AddFlashOptions(cmd, r.flash, withCount);
    if (external)
        OneOf(cmd->add_option("--external", r.external,
                              "Work on the demonstration board's external flash: its low or high 64 KB window "
                              "(sectors of 4 KB, --start-sector 0 to 15)"),
              {"low", "high"});
    return cmd;
}

// Refuses what download would refuse (a file that is no regular file, too large, bad HEX, or
// without data), and writes HEX that reads back: at most 64 KB, records for the bytes the
// input defines.
int Convert(const std::string& in, const std::string& out, const std::string& format, RunState& state) {
    CommandResult& res = state.result;
    res.command = "convert";
    res.fields["file"] = in;
    res.fields["output"] = out;
    ImageData image;
    std::string error;
    auto fail = [&](const std::string& why) {
        state.events.Error(why);
        res.summary = "convert failed: " + why;
        return kExitFailed;
    };
    if (const std::string why = ReadImageForCommand(in, format, &image); !why.empty()) {
        state.events.Error(why);
        res.summary = "convert: nothing was written: " + why;
        return kExitUsage;
    }
    res.fields["bytes"] = image.DefinedCount();
    if (IsHexFile(out)) {
        if (!WriteIntelHexFile(out, image, &error)) return fail(error);
    } else if (!WriteFileSafely(out,
                                std::string_view(reinterpret_cast<const char*>(image.bytes.data()), image.bytes.size()),
                                &error, FileMode::KeepExisting)) {
        return fail(error);
    }
    res.summary = Printf("converted %s (%zu bytes) to %s", in.c_str(), image.DefinedCount(), out.c_str());
    return kExitOk;
}

// The command on every board the ports name, each with its own copy of the options.
int RunOnBoards(const std::shared_ptr<FlashRun>& r, RunState& state, Verb verb, bool rangeCount,
                bool changesChip) {
    const std::string change = changesChip ? kEraseAndProgram : "";
    return RunOnPorts(state, r->ports, change,
                      [r, verb, rangeCount](const ConnectOptions& o, EventStream& events, CommandResult& res) {
                          FlashRun board = *r;
                          board.connect = o;
                          return RunOnTarget(board, events, res, verb, rangeCount);
                      });
}

// The commands on one board only: the options as given.
int RunOne(FlashRun& r, RunState& state, Verb verb, bool rangeCount,
           void (*after)(FlashRun&, Connection&) = nullptr) {
    r.connect = state.connect;
    return RunOnTarget(r, state.events, state.result, verb, rangeCount, after);
}

}  // namespace

std::string ReadImageForCommand(const std::string& path, const std::string& format, ImageData* data) {
    // Nobody types an image: a terminal there is a forgotten pipe, not something to wait for.
    if (path == kStandardStream && console::IsTerminal(console::Stream::Input))
        return "-: standard input is a terminal; pipe or redirect the image into it";
    std::string error;
    // A text file taken as binary would put its characters into the chip: no refusal
    // suggests --format bin.
    if (ReadImageFile(path, data, &error, ImageFormatFromName(format)) != ImageReadStatus::Ok) return error;
    if (data->DefinedCount() == 0) return path + ": the file holds no data";
    return "";
}

int RunBoardDownload(const BoardDownload& d, const ConnectOptions& o, EventStream& events, CommandResult& res) {
    FlashRun r;
    r.connect = o;
    r.flash.file = d.file;
    r.flash.format = d.format;
    r.flash.changedOnly = d.changedOnly;
    r.verify = d.verify;
    r.run = d.run;
    r.lockOption = d.lockOption;
    r.beforeWrite = d.beforeWrite;
    return RunOnTarget(r, events, res, Verb::Download, false);
}

void AddFlashCommands(CLI::App& app, RunState& state) {
    {
        struct Files {
            std::string in, out, format = "auto";
        };
        auto files = std::make_shared<Files>();
        CLI::App* cmd = app.add_subcommand(
            "convert", "Convert an image: Intel HEX or binary in, Intel HEX (.hex) or binary out");
        AddCommonOptions(cmd, state, false);
        cmd->add_option("input", files->in, "Intel HEX or binary file; - reads standard input")->required();
        cmd->add_option("output", files->out,
                        "Output file; a name ending in .hex gets Intel HEX; - writes the binary to standard output")
            ->required()
            ->check(OutputFile(true));
        state.outputFiles.push_back(&files->out);
        OneOf(cmd->add_option("--format", files->format, std::string("How to take the input: ") + kFormatAuto),
              {"auto", "hex", "bin"});
        cmd->callback([files, &state] { state.exitCode = Convert(files->in, files->out, files->format, state); });
    }
    {
        auto r = std::make_shared<FlashRun>();
        CLI::App* cmd =
            Add(app, state, "read", "Read sectors into the memory view and show their status", *r, true, true);
        cmd->add_flag("--dump", r->dump, "Also print the hex dump of the sectors read");
        cmd->callback([r, &state] { state.exitCode = RunOne(*r, state, Verb::Read, true, PrintRead); });
    }
    {
        auto r = std::make_shared<FlashRun>();
        CLI::App* cmd = Add(app, state, "download",
                            "Erase the sectors a HEX or binary file touches and program it, every chunk read "
                            "back as it is written (HEX record addresses count from the starting sector); "
                            "optionally lock the chip and start the program, all after one detection",
                            *r, false, true, true);
        cmd->add_option("file", r->flash.file, "Intel HEX or binary file; - reads standard input")->required();
        AddFormatOption(cmd, r->flash);
        cmd->add_flag("--verify", r->verify, "Compare the whole flash range with the file once more afterwards");
        cmd->add_flag("--changed-only", r->flash.changedOnly,
                      "Read the sectors the file touches first and rewrite only those that differ "
                      "(block 0, internal memory mode)");
        OneOf(cmd->add_option("--lock", r->lockOption,
                              "After a good download, program these lock bits (one-time): the lock menu's option "
                              "number, see tessel lock --help"),
              LockOptionNumbers());
        cmd->add_flag("--run", r->run, "At the end, start the user's program (the loader then stops answering)");
        cmd->callback([r, &state] {
            if (r->flash.changedOnly && (r->flash.block != 0 || !r->external.empty() || state.connect.mode != "internal")) {
                state.events.Error("--changed-only works on block 0 in internal memory mode");
                state.exitCode = kExitUsage;
                return;
            }
            state.exitCode = RunOnBoards(r, state, Verb::Download, false, true);
        });
    }
    {
        auto r = std::make_shared<FlashRun>();
        r->external = "low";
        CLI::App* cmd = Add(app, state, "external-bsl",
                            "Write the demonstration board's own boot loader into the first sector of the "
                            "external flash's low window (the rest of that sector is kept)",
                            *r, false);
        cmd->callback([r, &state] { state.exitCode = RunOne(*r, state, Verb::UpgradeExternal, false); });
    }
    {
        auto r = std::make_shared<FlashRun>();
        r->flash.block = 1;
        CLI::App* cmd = Add(app, state, "upgrade-bsl",
                            "Replace the internal boot loader (1.1F or later) with a newer one from a HEX or "
                            "binary file, written from --start-sector of --block (default: block 1, sector 0); "
                            "block 0 and the password are kept",
                            *r, false);
        cmd->add_option("file", r->flash.file, "The new boot loader: Intel HEX or binary; - reads standard input")->required();
        AddFormatOption(cmd, r->flash);
        cmd->callback([r, &state] { state.exitCode = RunOne(*r, state, Verb::UpgradeInternal, false); });
    }
    {
        auto r = std::make_shared<FlashRun>();
        CLI::App* cmd =
            Add(app, state, "compare", "Compare a HEX or binary file with the flash", *r, false, true, true);
        cmd->add_option("file", r->flash.file, "Intel HEX or binary file; - reads standard input")->required();
        AddFormatOption(cmd, r->flash);
        cmd->callback([r, &state] { state.exitCode = RunOnBoards(r, state, Verb::Compare, false, false); });
    }
    {
        auto r = std::make_shared<FlashRun>();
        CLI::App* cmd =
            Add(app, state, "erase", "Erase sectors, or the whole chip with --chip-erase", *r, true, true, true);
        cmd->add_flag("--chip-erase", r->chipErase, "Erase the whole chip (the chip is detected again afterwards)");
        cmd->callback([r, &state] {
            state.exitCode = RunOnBoards(r, state, r->chipErase ? Verb::ChipErase : Verb::SectorErase,
                                         !r->chipErase, true);
        });
    }
    {
        auto r = std::make_shared<FlashRun>();
        CLI::App* cmd = Add(app, state, "save",
                            "Save sectors into a file: binary, the hex-dump text with --text, or Intel HEX "
                            "when the name ends in .hex (addresses counted from the first saved sector)",
                            *r, true, true);
        cmd->add_option("file", r->flash.file, "Output file; - writes to standard output")
            ->required()
            ->check(OutputFile(true));
        state.outputFiles.push_back(&r->flash.file);
        cmd->add_flag("--text", r->flash.text, "Write the hex-dump text");
        cmd->callback([r, &state] { state.exitCode = RunOne(*r, state, Verb::Save, true); });
    }
}

}  // namespace tessel::cli
