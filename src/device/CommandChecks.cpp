#include "device/CommandChecks.h"

#include <cstdio>

#include "device/CDeviceSession.h"
#include "platform/Operator.h"

namespace tessel {

namespace {

CheckOutcome Fail(Operator* op, const char* text) {
    if (op) op->Fail(text);
    return CheckOutcome::Failed;
}

// Lock states under which the loader still writes block 0: 00h, 20h and 40h on the A models;
// the H/L models also in 80h and C0h, where the two families' lock bits differ in meaning.
bool ALockAllowsWrites(int lockStatus) {
    return lockStatus == 0x00 || lockStatus == 0x20 || lockStatus == 0x40;
}
bool HLLockAllowsWrites(int lockStatus) {
    return ALockAllowsWrites(lockStatus) || lockStatus == 0x80 || lockStatus == 0xC0;
}

}  // namespace

bool LockHidesBlock0(int chipType, int lockStatus) {
    const ChipFamily family = FamilyOf(chipType);
    if (family == ChipFamily::Unknown) return true;
    return IsHLFamily(family) ? !HLLockAllowsWrites(lockStatus) : !ALockAllowsWrites(lockStatus);
}

bool LockAllowsBlock1Rewrite(int chipType, int lockStatus) {
    if (IsTypeA(chipType)) return lockStatus == 0x00 || lockStatus == 0x40;
    if (IsHLChip(chipType)) return lockStatus == 0x00 || lockStatus == 0x40 || lockStatus == 0x80;
    return false;
}

CheckOutcome CheckCommandPreconditions(CDeviceSession* session, Operator* op, CheckScope scope,
                                       const std::function<bool()>& passwordGate) {
    if (session == nullptr) return Fail(op, kNoChipSelected);
    if (op == nullptr) op = session->owner;
    session->RefreshGeometry();

    if (!session->IsLinkUp()) return Fail(op, kNoTargetBoard);
    if (scope == CheckScope::ChipErase) return CheckOutcome::Proceed;

    if (session->flags.userCodeRunning) return Fail(op, kNoChipSelected);
    if (scope == CheckScope::ExternalFlash) return CheckOutcome::Proceed;

    if (session->ExternalWindowOpen()) return CheckOutcome::RunExternalVariant;
    if (passwordGate && !passwordGate()) return CheckOutcome::GateDeclined;
    if (session->currentBlock != 0 && session->currentBlock != 1) {
        return Fail(op, kIllegalBlockNumber);
    }
    return CheckOutcome::Proceed;
}

namespace {

// The columns of the availability table: commands in one column share their rule.
enum class Column {
    Read, ReadFile, Write, RunUserCode, LockRemap, DoubleClock, ChipErase,
    // Not buttons of the table: the conditions their handlers test.
    ByteEdit, Execute, Block1Rewrite, ExternalWindow,
};

struct RuleRow {
    RuledCommand command;
    const char* label;
    Column column;
};

constexpr RuleRow kRuleBook[] = {
    {RuledCommand::Read, "Read", Column::Read},
    {RuledCommand::Compare, "Compare", Column::ReadFile},
    {RuledCommand::Save, "Save", Column::ReadFile},
    {RuledCommand::Download, "Download", Column::Write},
    {RuledCommand::SectorErase, "Sector Erase", Column::Write},
    {RuledCommand::RunUserCode, "Dnload/Run UserCode", Column::RunUserCode},
    {RuledCommand::LockChip, "Lock Chip", Column::LockRemap},
    {RuledCommand::MemoryRemap, "Memory Remap", Column::LockRemap},
    {RuledCommand::DoubleClock, "Double Clock", Column::DoubleClock},
    {RuledCommand::ChipErase, "Chip Erase", Column::ChipErase},
    {RuledCommand::ByteEdit, "Byte Edit", Column::ByteEdit},
    {RuledCommand::ExecuteUserCode, "Run User Code", Column::Execute},
    {RuledCommand::ChangePassword, "Change Password", Column::Block1Rewrite},
    {RuledCommand::SetResetPassword, "Set/Reset Password", Column::Block1Rewrite},
    {RuledCommand::UpgradeInternalBsl, "Upgrade Internal BSL", Column::Block1Rewrite},
    {RuledCommand::DownloadMonitor, "Download Monitra", Column::Block1Rewrite},
    {RuledCommand::ExternalFlash, "External Flash", Column::ExternalWindow},
};

const RuleRow& RowOf(RuledCommand command) {
    for (const RuleRow& r : kRuleBook)
        if (r.command == command) return r;
    return kRuleBook[0];
}

// The outcome of one column, with the condition that decided it when it says no.
struct ColumnVerdict {
    bool allowed = false;
    enum class Why { None, Family, MemoryMode, Lock, Firmware, Window, BackInMcu } why = Why::None;
};

ColumnVerdict Allow() { return {true, ColumnVerdict::Why::None}; }
ColumnVerdict Deny(ColumnVerdict::Why why) { return {false, why}; }
ColumnVerdict When(bool ok, ColumnVerdict::Why why) { return ok ? Allow() : Deny(why); }

// The commands outside the button table, as their handlers test them.
ColumnVerdict EvaluateHandlerRule(Column column, ChipFamily family, int chipType, int memoryMode, int lockStatus,
                                  LoaderFirmware firmware, ExternalWindowState window) {
    using Why = ColumnVerdict::Why;
    const bool open = window == ExternalWindowState::Open;
    if (column == Column::Execute) return When(open || memoryMode == kInternalMemory, Why::MemoryMode);
    if (column == Column::ExternalWindow) {
        if (memoryMode != kInternalMemory) return Deny(Why::MemoryMode);
        // The A models' window borrows block 0 for its stub and puts back a copy of what it
        // covered; at level 4 (60h) that copy would be the lock's 00h bytes as surely as
        // under a hard lock of block 0.
        return When(family != ChipFamily::A || !LockHidesBlock0(chipType, lockStatus), Why::Lock);
    }
    if (open) return Deny(Why::Window);
    if (memoryMode != kInternalMemory) return Deny(Why::MemoryMode);
    if (family == ChipFamily::Unknown) return Deny(Why::Family);
    if (firmware != LoaderFirmware::V11F) return Deny(Why::Firmware);
    if (column == Column::Block1Rewrite) return When(LockAllowsBlock1Rewrite(chipType, lockStatus), Why::Lock);
    return When(IsHLFamily(family) ? HLLockAllowsWrites(lockStatus) : ALockAllowsWrites(lockStatus), Why::Lock);
}

ColumnVerdict Evaluate(Column column, ChipFamily family, int memoryMode, int lockStatus, LoaderFirmware firmware,
                       ExternalWindowState window) {
    using Why = ColumnVerdict::Why;
    const bool hl = IsHLFamily(family);
    // Save and Compare read like Read, except that an external-mode loader refuses to give
    // out a locked chip's bytes.
    if (column == Column::ReadFile) {
        if (window == ExternalWindowState::None && memoryMode != kInternalMemory && lockStatus != 0)
            return Deny(Why::Lock);
        column = Column::Read;
    }
    if (column == Column::DoubleClock) {
        // The double-clock bit exists on the H/L chips only; the window's program is no loader.
        if (!hl) return Deny(Why::Family);
        return When(window != ExternalWindowState::Open, Why::Window);
    }
    switch (window) {
        case ExternalWindowState::Open:
            // Chip Erase in a window would wipe the whole external flash, its loader included.
            return When(column == Column::Read || column == Column::Write, Why::Window);
        case ExternalWindowState::BackInMcuFlash:
            if (column == Column::LockRemap) return When(hl, Why::Family);
            if (column == Column::ChipErase) return Deny(Why::MemoryMode);
            return When(HLLockAllowsWrites(lockStatus), Why::BackInMcu);
        case ExternalWindowState::None:
            break;
    }
    if (column == Column::Read) return Allow();
    if (memoryMode != kInternalMemory) {
        switch (column) {
            case Column::ChipErase: return Allow();
            case Column::RunUserCode: return Deny(Why::MemoryMode);
            default: return When(lockStatus == 0x00, Why::Lock);
        }
    }
    if (column == Column::ChipErase) return Deny(Why::MemoryMode);
    if (firmware == LoaderFirmware::V11E) {
        // The 1.1E loader exists on the A models only and programs no configuration bits.
        if (column == Column::LockRemap) return Deny(Why::Firmware);
        return When(ALockAllowsWrites(lockStatus), Why::Lock);
    }
    if (column == Column::LockRemap) return When(hl, Why::Family);
    if (family == ChipFamily::Unknown) return Deny(Why::Family);
    if (firmware != LoaderFirmware::V11F) return Deny(Why::Firmware);
    return When(hl ? HLLockAllowsWrites(lockStatus) : ALockAllowsWrites(lockStatus), Why::Lock);
}

}  // namespace

std::string LockStatusText(int lockStatus) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02Xh", static_cast<unsigned>(lockStatus) & 0xFF);
    return buf;
}

std::string AddressText(uint64_t address) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%04llXh", static_cast<unsigned long long>(address));
    return buf;
}

std::string Block0HiddenReason(int chipType, int lockStatus) {
    if (!LockHidesBlock0(chipType, lockStatus)) return "";
    return "Block 0 is hidden from reads at lock status " + LockStatusText(lockStatus);
}

const char* RuledCommandLabel(RuledCommand command) { return RowOf(command).label; }

CommandAvailability ComputeAvailability(ChipFamily family, int memoryMode, int lockStatus,
                                        LoaderFirmware firmware, ExternalWindowState window) {
    auto allowed = [&](Column c) { return Evaluate(c, family, memoryMode, lockStatus, firmware, window).allowed; };
    CommandAvailability a;
    a.read = allowed(Column::Read);
    a.download = a.sectorErase = allowed(Column::Write);
    a.runUserCode = allowed(Column::RunUserCode);
    a.lockChip = a.memoryRemap = allowed(Column::LockRemap);
    a.chipErase = allowed(Column::ChipErase);
    return a;
}

RuleState RuleStateOf(const CDeviceSession& session, std::string_view firmware) {
    RuleState r;
    r.chipType = session.chipType;
    r.memoryMode = session.memoryMode;
    r.lockStatus = session.flags.lockStatus;
    r.firmware = session.loaderFirmware;
    r.firmwareText = std::string(firmware);
    r.window = session.ExternalWindowOpen() ? ExternalWindowState::Open
               : session.backInMcuFlash     ? ExternalWindowState::BackInMcuFlash
                                            : ExternalWindowState::None;
    r.linkUp = session.IsLinkUp();
    r.userCodeRunning = session.flags.userCodeRunning;
    r.chipTypeAssumed = session.chipTypeAssumed;
    return r;
}

RuleVerdict CheckCommandRule(RuledCommand command, const RuleState& state) {
    const RuleRow& row = RowOf(command);
    if (!state.linkUp) return {false, kNoTargetBoard};
    if (state.userCodeRunning && command != RuledCommand::ChipErase) return {false, kNoChipSelected};
    // Every other rule, and every address, follows from the chip type: a guessed one must not
    // decide what is erased.
    if (state.chipTypeAssumed && ChangesChip(command)) return {false, kChipTypeNotReported};
    const ChipFamily family = FamilyOf(state.chipType);
    const bool handlerRule = row.column == Column::ByteEdit || row.column == Column::Execute ||
                             row.column == Column::Block1Rewrite || row.column == Column::ExternalWindow;
    const ColumnVerdict v =
        handlerRule ? EvaluateHandlerRule(row.column, family, state.chipType, state.memoryMode, state.lockStatus,
                                          state.firmware, state.window)
                    : Evaluate(row.column, family, state.memoryMode, state.lockStatus, state.firmware, state.window);
    if (v.allowed) return {true, {}};

    using Why = ColumnVerdict::Why;
    const std::string label = row.label;
    const std::string model = family == ChipFamily::Unknown ? std::string("an unknown chip type")
                                                             : LookupChip(state.chipType).model;
    const std::string mode = state.memoryMode == kInternalMemory ? "internal" : "external";
    std::string reason = label + " is not available on " + model;
    switch (v.why) {
        case Why::Family:
            // The double-clock refusal keeps the loader menu's own words.
            if (command == RuledCommand::DoubleClock) return {false, "This feature is for MCU H/L32B and H/L64D only!"};
            reason += " in " + mode + " memory mode";
            break;
        case Why::MemoryMode: reason += " in " + mode + " memory mode"; break;
        case Why::Lock:
            reason += " in " + mode + " memory mode at lock status " + LockStatusText(state.lockStatus);
            break;
        case Why::Firmware:
        {
            std::string text = state.firmwareText.empty() ? LoaderFirmwareText(state.firmware) : state.firmwareText;
            reason += " with boot loader firmware " + (text.empty() ? std::string("unknown") : text);
            break;
        }
        case Why::Window:
            reason = label + " is not available while an external-flash window is open";
            if (command == RuledCommand::ChipErase)
                reason += " (it would erase all of the external flash, the board's boot loader included)";
            break;
        case Why::BackInMcu:
            reason += " after the return from the external flash at lock status " + LockStatusText(state.lockStatus);
            break;
        case Why::None: break;
    }
    return {false, reason};
}

bool ChangesChip(RuledCommand command) {
    switch (command) {
        case RuledCommand::Read:
        case RuledCommand::Compare:
        case RuledCommand::Save:
        case RuledCommand::ExecuteUserCode: return false;
        default: return true;
    }
}

std::string LoaderAreaOverlap(int chipType, int block, uint32_t address, uint64_t length) {
    const ChipInfo& chip = LookupChip(chipType);
    if (block != 1 || length == 0 || chip.bslSectorCount == 0) return "";
    const uint32_t start = static_cast<uint32_t>(chip.bslFirstAddress);
    const uint32_t end = static_cast<uint32_t>(chip.bslLastAddress) + 1;
    if (address >= end || address + length <= start) return "";
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04Xh-%04Xh, the boot loader's own area in block 1", start, end - 1);
    return buf;
}

}  // namespace tessel
