#include "commands/OperatorCommands.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "commands/DetectCommands.h"
#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "files/Backup.h"
#include "protocol/Primitives.h"
#include "commands/FlashCommands.h"
#include "commands/Commands.h"
#include "commands/Target.h"

namespace tessel {

namespace {

constexpr uint32_t kSector = 128;
constexpr uint32_t kCableTestMs = 3000;
constexpr uint8_t kCablePattern[3] = {0x80, 0xE0, 0xF8};

constexpr char kReadFailed[] = "Failed to Read data byte from the chip!";
constexpr char kWrongFormat[] = "Wrong string format detected!\nPlease verify your input.";

// A character as the dialog reads hex: lower case folded to upper; -1 when it is no digit.
int HexValue(char ch) {
    if (ch >= 'a' && ch <= 'f') ch = static_cast<char>(ch - 0x20);
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}



class OperatorCommands {
public:
    OperatorCommands(Target& w, std::string backupDir) : w_(w), backupDir_(std::move(backupDir)) {}

    CDeviceSession& S() { return w_.Session(); }

    bool EditBlock0(const EditRequest* given = nullptr, EditResult* out = nullptr) {
        CDeviceSession& s = S();
        w_.SetIapStatus("");
        w_.Refresh();
        if (CheckCommandPreconditions(&s, &w_.Op(), CheckScope::ChipErase) != CheckOutcome::Proceed) return false;
        if (s.memoryMode != kInternalMemory || s.ExternalWindowOpen()) {
            w_.Op().Warn("Byte Edit only works in Internal Memory Mode!");
            return false;
        }
        const int lock = s.flags.lockStatus;
        const bool allowed = lock == 0 || lock == 0x40 || lock == 0x20 ||
                             (!IsTypeA(s.chipType) && (lock == 0x80 || lock == 0xC0));
        if (!allowed) {
            w_.Op().Warn("Byte Edit doesn't work if Block0 is hardlocked!");
            return false;
        }
        if (!PasswordGate(w_)) return false;
        LinkContext link{s, w_, nullptr};
        if (!IsTypeA(s.chipType) && !selectBlock0(link)) {
            w_.Op().Fail("Byte Edit Failed!");
            return false;
        }
        ByteEditDialog dialog(w_, backupDir_);
        bool ok = true;
        if (!given) {
            w_.Op().RunDialog(dialog);
        } else {
            dialog.addressText = given->address;
            dialog.newData = given->data;
            ok = given->data.empty() ? dialog.OnDisplayData() : dialog.OnReplaceData();
            out->shown = dialog.shownData;
            out->chipChanged = dialog.chipChanged;
        }
        // Each replacement is confirmed by reading it back; one that failed has said where
        // the sectors' earlier bytes are.
        if (!dialog.written.empty()) w_.SetResult("byte edit: wrote " + dialog.written + " in block 0, read back");
        else if (dialog.chipChanged) w_.SetResult("byte edit failed: block 0 may have changed");
        else w_.SetResult("byte edit: block 0 not changed");
        return ok;
    }

    // The loader hands the chip to the user's program; from here on nothing answers for the
    // loader until the next detection.
    bool ExecuteUserCode() {
        CDeviceSession& s = S();
        if (s.memoryMode != kInternalMemory) {
            w_.Op().Warn("Run User Code only works in internal memory mode!");
            return false;
        }
        w_.SetIapStatus("");
        if (s.flags.userCodeRunning) {
            w_.Op().Fail(kNoChipSelected);
            return false;
        }
        if (!s.IsLinkUp()) {
            w_.Op().Fail(kNoTargetBoard);
            return false;
        }
        LinkContext link{s, w_, nullptr};
        if (!s.ExternalWindowOpen()) {
            if (!RunUserCode(link)) return false;
        } else {
            ResetLinkNow(w_);
            s.port.SetLinesExternalMode();
        }
        s.flags.userCodeRunning = true;
        w_.resetChipInfo();
        s.flags.passwordVerified = false;
        s.port.ClearLinkUp();
        // The purge would discard a start command still in the output queue.
        DrainLine(link);
        EmptyLine(link);
        return true;
    }

    bool DownloadAndRun() {
        CDeviceSession& s = S();
        w_.SetIapStatus("");
        if (!w_.Allows(RuledCommand::RunUserCode) || !PasswordGate(w_)) return false;
        const bool ok = w_.RunCommand([this] { return DownloadAsked(w_, {backupDir_, {}}); }).Ok() && ExecuteUserCode();
        s.flags.passwordVerified = false;
        if (ok) w_.SetResult(w_.Result() + ", user code started");
        return ok;
    }

    // The menu's Execute User Code, with its result line in the command line's words.
    bool Execute() {
        const bool ok = ExecuteUserCode();
        w_.SetResult(ok ? "user code started; the loader answers again after a reset" : "user code not started");
        return ok;
    }

    bool SerialTest() {
        CDeviceSession& s = S();
        if (s.IsLinkUp()) {
            w_.Op().Inform("Serial connection has be set up already!");
            return false;
        }
        if (!w_.Op().AskYesNo("This will test if serial cable is connected correctly.\nDo you want to proceed?")) {
            w_.NoteDeclined();
            return false;
        }
        const std::string port = s.port.GetPortName();
        if (s.port.Open() != 0) {
            w_.Op().Fail(Fault::Port, "Failed to setup Serial Comm with Target MCU!!!");
            w_.SetResult("cable test: nothing was sent, " + port + " could not be opened");
            return false;
        }
        w_.Op().Inform("Please remove MCU from the target board,\nthen connect TXD and RXD pin and power on!");
        LinkContext link{s, w_, nullptr};
        if (LoopsBack(link, kCablePattern, kCableTestMs)) {
            w_.Op().Inform("Serial connection is correct!");
            w_.SetResult("cable test passed: the three bytes came back on " + port);
            return true;
        }
        w_.Op().Fail("Serial connection is incorrect!!!");
        w_.SetResult("cable test failed");
        return false;
    }

private:
    Target& w_;
    std::string backupDir_;
};

}  // namespace

uint32_t Block0Limit(int chipType) { return LookupChip(chipType).byteEditEnd; }

ByteEditDialog::ByteEditDialog(Target& target, std::string backupDir)
    : w_(target), backupDir_(std::move(backupDir)) {}

bool ByteEditDialog::ReadBytes(uint32_t at, uint8_t* out, uint32_t n, bool exact) {
    CDeviceSession& s = w_.Session();
    LinkContext link{s, w_, nullptr};
    // What is written back must not be shifted by a byte that came late to another request.
    if (exact) PurgeReplies(link);
    bool ok = SendFrame(link, cmd::kRead, static_cast<uint16_t>(at), static_cast<uint8_t>(n));
    for (uint32_t i = 0; ok && i < n; ++i) ok = ReadReply(link, out + i);
    if (ok && exact && ReplyPending(link)) {
        PurgeReplies(link);
        ok = false;
    }
    if (!ok) w_.Op().Fail(kReadFailed);
    return ok;
}

bool ByteEditDialog::OnDisplayData() {
    Operator& op = w_.Op();
    // Only whole four-digit hex addresses: a stray character would name another address.
    bool valid = addressText.size() >= kAddressChars;
    uint32_t value = 0;
    for (size_t i = 0; valid && i < kAddressChars; ++i) {
        const int digit = HexValue(addressText[i]);
        valid = digit >= 0;
        value = (value << 4) | static_cast<uint32_t>(digit < 0 ? 0 : digit);
    }
    if (!valid) {
        op.Warn("Address string should be in 4-digit Hex format!");
        return false;
    }
    address = value;
    const uint32_t limit = Block0Limit(w_.Session().chipType);
    if (address >= limit) {
        op.Warn("Memory address is invalid!");
        return false;
    }
    const uint32_t n = std::min<uint32_t>(16, limit - address);
    uint8_t bytes[16] = {};
    if (!ReadBytes(address, bytes, n)) return false;
    ShowBytes(bytes, n);
    return true;
}

void ByteEditDialog::ShowBytes(const uint8_t* bytes, uint32_t n) {
    shownData.clear();
    char text[4];
    for (uint32_t i = 0; i < n; ++i) {
        std::snprintf(text, sizeof text, "%02X ", bytes[i]);
        shownData += text;
    }
}

bool ByteEditDialog::RewriteSector(uint32_t sector, const uint8_t* bytes, bool second) {
    CDeviceSession& s = w_.Session();
    Operator& op = w_.Op();
    LinkContext link{s, w_, nullptr};
    w_.setProgressLabel("Erasing");
    if (!SendFrame(link, cmd::kSectorErase, static_cast<uint16_t>(sector), 0x01)) {
        op.Fail(second ? "Failed to send 2nd Sector Erase command to the chip!"
                       : "Failed to send Sector Erase command to the chip!");
        return false;
    }
    uint8_t status = 0;
    if (!ReadReply(link, &status) || status != cmd::kAck) {
        op.Fail(second ? "Failed to Read 2nd Status byte!" : "Failed to Read the Status byte!");
        return false;
    }
    w_.setProgressLabel("Writing");
    if (!SendFrame(link, cmd::kProgram, static_cast<uint16_t>(sector), static_cast<uint8_t>(kSector))) {
        op.Fail(second ? "Failed to send 2nd Byte Program command to the chip!"
                       : "Failed to send Byte Program command to the chip!");
        return false;
    }
    for (uint32_t i = 0; i < kSector; ++i) {
        if (!SendByte(link, bytes[i])) {
            op.Fail("Failed to write data byte to the chip!");
            return false;
        }
    }
    return true;
}

size_t ByteEditDialog::ParseNewData() {
    Operator& op = w_.Op();
    const size_t length = newData.size();
    if (length < 2 || length > kDataChars) {
        newData.clear();
        return 0;
    }
    for (char ch : newData) {
        if (ch != ' ' && HexValue(ch) < 0) {
            op.Warn("Illegal Hex number detected!\nPlease verify your input.");
            return 0;
        }
    }
    for (size_t p = 3; p < length; ++p) {
        if ((p + 1) % 3 == 0 && newData[p] != ' ') {
            op.Warn(kWrongFormat);
            return 0;
        }
    }
    if (length > shownData.size()) {
        op.Warn("Input string is oversize!\nPlease shorten your input.");
        return 0;
    }
    // Every byte must be two typed digits: a lone digit or a blank inside a pair would make
    // up a value the operator never typed.
    const size_t m = (length + 2) / 3;
    for (size_t i = 0; i < m; ++i) {
        const size_t at = i * 3;
        const int hi = HexValue(newData[at]);
        const int lo = at + 1 < length ? HexValue(newData[at + 1]) : -1;
        if (hi < 0 || lo < 0) {
            op.Warn(kWrongFormat);
            return 0;
        }
        parsed[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return m;
}

bool ByteEditDialog::OnReplaceData() {
    Operator& op = w_.Op();
    if (w_.Session().chipTypeAssumed) {
        op.Warn(kChipTypeNotReported);
        return false;
    }
    // Nothing is erased at an address the display refused.
    if (!OnDisplayData()) return false;
    const size_t m = ParseNewData();
    if (m == 0) return false;

    const uint32_t offset = address % kSector;
    const uint32_t first = address - offset;
    const bool two = offset + m > kSector;
    const uint32_t span = two ? 2 * kSector : kSector;
    std::vector<uint8_t> image(span), again(span);
    // The rest of each sector is written back from this copy: one garbled byte on the line
    // would be burnt into the chip, so two reads must agree before anything is erased.
    const AgreedRead got = ReadAgreeing(image, 1, [&](std::vector<uint8_t>& into) {
        return ReadBytes(first, into.data(), kSector, true) &&
               (!two || ReadBytes(first + kSector, into.data() + kSector, kSector, true));
    });
    if (got == AgreedRead::Failed) return false;
    if (got == AgreedRead::Differed) {
        op.Fail("The sectors read differently twice, so the line is not reliable.\nBlock 0 was not changed.");
        return false;
    }
    const std::vector<uint8_t> before = image;
    std::copy(parsed.begin(), parsed.begin() + static_cast<long>(m), image.begin() + offset);
    if (!op.AskYesNo("Data in block 0 will be modified.\nProceed to modify?")) return false;

    // An erased sector whose programming fails would lose the rest of its bytes: they are on
    // disk until the rewrite has been sent.
    const std::vector<BackupRegion> regions{{first, before}};
    const std::string backup = WriteBackupHex(backupDir_, "byte-edit-sectors", regions);
    if (backup.empty()) {
        op.Fail("The sectors could not be saved to a backup file under the state folder, so nothing was erased.");
        return false;
    }
    StopRequest& stop = w_.Session().flags.stop;
    // A sector is rewritten whole; a stop is looked at before the first one and between the
    // two, where the first is put back as it was so that the edit is all or nothing.
    StopRequest::Hold hold(stop);
    stop.KeepBackup(backup);
    if (stop.Requested()) {
        std::remove(backup.c_str());
        stop.DropBackup(backup);
        stop.Note("stopped before block 0 was changed; nothing was written");
        return false;
    }
    chipChanged = true;
    bool ok = RewriteSector(first, image.data(), false);
    if (ok && two && stop.Requested()) {
        const bool undone = RewriteSector(first, before.data(), false);
        stop.Note(undone ? "stopped between the two sectors; the first was put back as it was"
                         : "stopped between the two sectors; the first could not be put back");
        if (undone) {
            std::remove(backup.c_str());
            stop.DropBackup(backup);
            return false;
        }
        ok = false;
    } else if (ok && two) {
        ok = RewriteSector(first + kSector, image.data() + kSector, true);
    }
    // Programming has no reply: only reading the sectors back shows what the chip holds.
    if (ok && (!ReadBytes(first, again.data(), kSector, true) ||
               (two && !ReadBytes(first + kSector, again.data() + kSector, kSector, true)))) {
        ok = false;
    } else if (ok && again != image) {
        op.Fail("The data read back differs from the data written.");
        ok = false;
    }
    if (!ok) {
        w_.Session().flags.errorReported = true;
        w_.setProgressLabel("Abort");
        op.Fail("Byte Edit Failed!\nThe sectors may now be erased or partly written; their earlier contents "
                "are in " + backup + " (Intel HEX, at their own addresses).");
        return false;
    }
    std::remove(backup.c_str());
    stop.DropBackup(backup);
    w_.setProgressLabel("Done");
    char what[48];
    std::snprintf(what, sizeof what, "%zu byte%s at %04Xh", m, m == 1 ? "" : "s", static_cast<unsigned>(address));
    written += (written.empty() ? "" : ", ") + std::string(what);
    // The write has been confirmed by the read-back; a display that fails now says nothing
    // about the chip, only that the field could not be refreshed.
    if (!OnDisplayData()) {
        shownData.clear();
        op.Warn("The new data was written and read back correctly, but could not be displayed again.");
    }
    return true;
}

EditResult EditBlock0(Target& target, const EditRequest& request) {
    OperatorCommands c(target, target.BackupDir());
    EditResult out;
    static_cast<CommandResult&>(out) = target.RunCommand([&] { return c.EditBlock0(&request, &out); });
    return out;
}

CommandResult RunUserProgram(Target& target) {
    OperatorCommands c(target, target.BackupDir());
    return target.RunCommand([&] { return c.Execute(); });
}

CommandResult TestCable(Target& target) {
    OperatorCommands c(target, target.BackupDir());
    return target.RunCommand([&] { return c.SerialTest(); });
}

Actions OperatorActions(Target& target, std::string backupDir) {
    Actions out;
    auto c = std::make_shared<OperatorCommands>(target, std::move(backupDir));
    Target* w = &target;
    out.emplace_back(Action::EditBlock0, [c, w] { w->SetCommandSucceeded(c->EditBlock0()); });
    out.emplace_back(Action::ExecuteUserCode, [c, w] { w->SetCommandSucceeded(c->Execute()); });
    out.emplace_back(Action::RunUserCode, [c, w] { w->SetCommandSucceeded(c->DownloadAndRun()); });
    out.emplace_back(Action::SerialTest, [c, w] { w->SetCommandSucceeded(c->SerialTest()); });
    return out;
}

}  // namespace tessel
