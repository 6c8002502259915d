#include "device/CommandChecks.h"

#include "device/CDeviceSession.h"
#include "platform/Operator.h"

namespace tessel {

namespace {

CheckOutcome Fail(Operator* op, const char* text) {
    if (op) op->ShowMessage(text);
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

bool LockAllowsBlock1Rewrite(int chipType, int lockStatus) {
    if (chipType == 1 || chipType == 2) return lockStatus == 0x00 || lockStatus == 0x40;
    if (chipType >= 3 && chipType <= 6) return lockStatus == 0x00 || lockStatus == 0x40 || lockStatus == 0x80;
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

CommandAvailability ComputeAvailability(ChipFamily family, int memoryMode, int lockStatus,
                                        std::string_view firmware, ExternalWindowState window) {
    CommandAvailability a;
    const bool hl = IsHLFamily(family);

    switch (window) {
        case ExternalWindowState::Open:
            a.read = a.download = a.sectorErase = true;
            return a;
        case ExternalWindowState::BackInMcuFlash:
            a.read = HLLockAllowsWrites(lockStatus);
            a.download = a.sectorErase = a.runUserCode = a.read;
            a.lockChip = a.memoryRemap = hl;
            return a;
        case ExternalWindowState::None:
            break;
    }

    a.read = true;
    if (memoryMode != kInternalMemory) {
        const bool unlocked = lockStatus == 0x00;
        a.download = a.sectorErase = unlocked;
        a.lockChip = a.memoryRemap = unlocked;
        a.chipErase = true;
        return a;
    }

    const bool v11f = firmware == "v1.1F";
    bool writable = false;
    if (family == ChipFamily::A) {
        writable = v11f && ALockAllowsWrites(lockStatus);
    } else if (hl) {
        writable = v11f && HLLockAllowsWrites(lockStatus);
        a.lockChip = a.memoryRemap = true;
    }
    a.download = a.sectorErase = a.runUserCode = writable;
    return a;
}

}  // namespace tessel
