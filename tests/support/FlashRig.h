#pragma once
// A main window with the detection and flash commands routed, linked to a stand-in board on
// a virtual line, on a virtual clock; the operator's dialog answers come from the test.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial/LinkWorker.h"
#include "sim/SimBoard.h"
#include "support/Pattern.h"
#include "support/RecordingOperator.h"
#include "support/TempFolder.h"
#include "commands/CommDialogs.h"
#include "commands/Commands.h"
#include "commands/ConfigCommands.h"
#include "commands/DetectCommands.h"
#include "commands/ExternalCommands.h"
#include "commands/FlashCommands.h"
#include "commands/FlashDialogs.h"
#include "ui/MainDialog.h"
#include "commands/MemoryView.h"
#include "commands/OperatorCommands.h"
#include "commands/PasswordCommands.h"
#include "commands/UpgradeCommands.h"
#include "commands/PrintTarget.h"
#include "files/ConfigStore.h"
#include "files/HexImage.h"

namespace tessel::test {

// A printer whose pages hold `linesPerPage` lines of the text: the height of a text is its
// number of lines (a last line without a line feed counts) times ten.
struct RecordingPrinter : PrintTarget {
    Start BeginDocument(const std::string&) override {
        return cannotOpen ? Start::Failed : cancel ? Start::Cancelled : Start::Started;
    }
    int PageHeight() override { return linesPerPage * 10; }
    int MeasureHeight(std::string_view text) override {
        const auto lines = std::count(text.begin(), text.end(), '\n');
        return static_cast<int>(lines + (!text.empty() && text.back() != '\n' ? 1 : 0)) * 10;
    }
    bool PrintPage(std::string_view text) override {
        pages.emplace_back(text);
        return pages.size() != failPage;
    }
    void EndDocument(bool complete) override { completed = complete; }

    int linesPerPage = 10;
    bool cancel = false;
    bool cannotOpen = false;  // no print queue, or one that refuses the document
    size_t failPage = 0;      // this page (1-based) cannot be finished; 0: none
    bool completed = false;
    std::vector<std::string> pages;
};

// A stand-in board of `chipType` with lock bits and a loader password already in place.
inline sim::BoardConfig BoardOf(int chipType, uint8_t security = 0, const std::string& password = {},
                                double crystalMHz = 11.0592) {
    sim::BoardConfig c;
    c.chipType = chipType;
    c.securityBits = security;
    c.password = password;
    c.crystalMHz = crystalMHz;
    return c;
}

// Whether bytes [from, to) of `v` are all erased cells (FFh); `to` past the end means the end.
inline bool Blank(const std::vector<uint8_t>& v, size_t from = 0, size_t to = SIZE_MAX) {
    to = std::min(to, v.size());
    return std::all_of(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(to),
                       [](uint8_t b) { return b == 0xFF; });
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Intel HEX text of the bytes given at each address, with gaps between the records.
inline std::string HexOf(const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& records) {
    const std::string end = ":00000001FF\n";
    std::string text;
    for (const auto& [address, bytes] : records) {
        const std::string one = FormatIntelHex(bytes, address);
        text += one.substr(0, one.size() - end.size());
    }
    return text + end;
}

inline std::string SampleHex() { return std::string(TESSEL_SOURCE_DIR) + "/samples/blink.hex"; }

// A password request whose n-th attempt gives entry n {current, new, retype}, and nothing after
// the last.
inline PasswordRequest Entries(std::vector<std::array<std::string, 3>> e, bool lock = false) {
    PasswordRequest r;
    r.current = [e](int n) { return n <= int(e.size()) ? std::optional(e[n - 1][0]) : std::nullopt; };
    r.next = [e](int n) {
        return n <= int(e.size()) ? std::optional(NewPassword{e[n - 1][1], e[n - 1][2]}) : std::nullopt;
    };
    r.lockOption = lock;
    return r;
}

// How many of the board's logged commands start with `prefix` ("0B", "66 66 0C").
inline size_t CountFrames(const std::vector<std::string>& log, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const std::string& l) {
        return l.compare(0, prefix.size(), prefix) == 0;
    }));
}

// The host end of the line, refusing the write calls the rig tells it to, as a port whose
// output has stalled would.
class RefusingLineHandle : public VirtualLineHandle {
public:
    RefusingLineHandle(std::shared_ptr<VirtualLine> line, uint64_t* writes, uint64_t* refuseAt)
        : VirtualLineHandle(std::move(line)), writes_(writes), refuseAt_(refuseAt) {}
    long Write(const uint8_t* b, size_t n, uint64_t deadline) override {
        if (++*writes_ == *refuseAt_) return 0;
        return VirtualLineHandle::Write(b, n, deadline);
    }

private:
    uint64_t* writes_;
    uint64_t* refuseAt_;
};

struct FlashRig {
    explicit FlashRig(sim::BoardConfig config = {}, int memoryMode = kInternalMemory)
        : window(&op, clock), dir(TempDir()), state(dir + "/tessel"), store(dir + "/config") {
        // The command API keeps its backups in the user's state folder: this rig's.
#ifdef _WIN32
        _putenv_s("XDG_STATE_HOME", dir.c_str());
#else
        setenv("XDG_STATE_HOME", dir.c_str(), 1);
#endif
        link = sim::MakeSimLink(clock, config);
        window.Session().port.SetDeviceFactory(
            [this](OpenError*) { return std::make_unique<RefusingLineHandle>(link.line, &hostWrites, &refuseWriteAt); });
        const auto namedPorts = [] { return std::vector<std::string>{"sim:NX31A32"}; };
        RegisterDetectCommands(window, {&store, namedPorts, state});
        RegisterFlashCommands(window, {state, [this] { return &printer; }});
        RegisterConfigCommands(window);
        RegisterPasswordCommands(window, state);
        RegisterUpgradeCommands(window, {state, {}});
        RegisterExternalCommands(window, state);
        RegisterOperatorCommands(window, state);
        window.Session().chipType = config.chipType;
        window.Session().memoryMode = memoryMode;
        op.dialogScript = [this](DialogModel& m) { return Answer(m); };
    }
    ~FlashRig() {
        StopLinkWorker(window.Worker());
        std::filesystem::remove_all(dir);
    }

    // Detects at the session's settings, as the tool bar's detection does.
    bool Detect() {
        window.Route(command::kDetectBaudAndChip);
        return window.Session().IsLinkUp();
    }

    DialogResult Answer(DialogModel& m) {
        const std::string name = m.DialogName();
        const CDeviceSession& s = window.Session();
        const int start = block == 0 ? startSector : s.SectorCount(0) + startSector;
        if (name == "ChipSelectDialog") {
            auto& d = static_cast<ChipSelectDialog&>(m);
            d.chipType = 2;  // NX31A32
            d.memoryMode = modeChoice;
        } else if (name == "CommSetupDialog") {
            auto& d = static_cast<CommSetupDialog&>(m);
            d.rateSelection = rateSelection;
            d.portSelection = static_cast<int>(d.ports.size()) - 1;  // the named stand-in port
        } else if (name == "ExtMemCommDialog") {
            titlesSeen.push_back(window.Title());
            auto& d = static_cast<ExtMemCommDialog&>(m);
            d.rateSelection = rateSelection;
            d.portSelection = 1;
        } else if (name == "SectorRangeDialog") {
            auto& d = static_cast<SectorRangeDialog&>(m);
            d.startIndex = start;
            d.countIndex = count;
        } else if (name == "DownloadDialog" || name == "CompareDialog") {
            auto& d = static_cast<FileSectorDialog&>(m);
            titlesSeen.push_back(window.Title());
            d.fileName = file;
            d.startIndex = d.kind == FileSectorDialog::Kind::UpgradeBsl ? startSector : start;
        } else if (name == "SaveDialog") {
            auto& d = static_cast<SaveDialog&>(m);
            d.fileName = file;
            d.startIndex = start;
            d.countIndex = count;
            d.textMode = textMode;
        } else if (name == "PasswordVerifyDialog") {
            // A chip without a password takes the empty one.
            if (cancelPassword) return DialogResult::Cancel;
            if (!passwords.empty()) {
                static_cast<PasswordVerifyDialog&>(m).password = passwords.front();
                passwords.erase(passwords.begin());
            }
        }
        if (name == "PasswordChangeDialog" || name == "PasswordSetDialog") {
            if (entries.empty()) return DialogResult::Cancel;
            const PasswordEntry e = entries.front();
            entries.erase(entries.begin());
            if (auto* c = dynamic_cast<PasswordChangeDialog*>(&m)) {
                c->oldPassword = e.old;
                c->newPassword = e.password;
                c->retypePassword = e.retype;
            } else if (auto* d = dynamic_cast<PasswordSetDialog*>(&m)) {
                d->password = e.password;
                d->retypePassword = e.retype;
                if (e.lock) d->OnLockOption();
            }
        }
        if (auto* menu = dynamic_cast<OptionMenuDialog*>(&m)) {
            menusSeen.push_back(name);
            if (menuOption >= 0) menu->ChooseOption(menuOption);
        }
        if (cancel || name == cancelDialog) return DialogResult::Cancel;
        return m.PressOk() == OkOutcome::CloseOk ? DialogResult::Ok : DialogResult::Cancel;
    }

    // Runs a command; LastCommands() gives what the board received from then on.
    bool Run(int id) {
        runMark = link.board->CommandLog().size();
        return window.RunCommand(id);
    }
    // The same with the command's questions answered as `yes` says (one Yes by default).
    bool RunYes(int id, std::deque<bool> yes = {true}) {
        op.answers = std::move(yes);
        return Run(id);
    }
    // The API's download with its question answered Yes; LastCommands() gives what it sent.
    CommandResult Download(const std::string& path, int block = 0, int sector = 0, bool changedOnly = false) {
        runMark = link.board->CommandLog().size();
        op.answers = {true};
        return DownloadImage(window, {path, ImageFormat::Auto, block, sector, changedOnly});
    }
    std::vector<std::string> LastCommands() {
        Settle();
        return CommandsSince(runMark);
    }
    // Block `n` as the board holds it once everything written has reached it.
    std::vector<uint8_t> Block(int n) {
        Settle();
        return link.board->Block(n);
    }
    // Fills block `n` with a pattern of `seed` and returns what it now holds.
    std::vector<uint8_t> FillBlock(int n, uint8_t seed = 1) {
        const std::vector<uint8_t> v = Pattern(link.board->Block(n).size(), seed);
        link.board->SetBlock(n, v);
        return v;
    }

    std::string WriteFile(const std::string& name, const std::string& bytes) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        return WriteFile(name, std::string(bytes.begin(), bytes.end()));
    }
    // Lets every byte written reach the board before its ground truth is read.
    void Settle() {
        CSerialPort& port = window.Session().port;
        if (port.Device()) port.Device()->WaitOutputEmpty(clock.NowUs() + 2'000'000);
        link.line->InputCount();
    }
    std::vector<std::string> Backups() const {
        std::vector<std::string> out;
        if (std::filesystem::exists(state))
            // Named as the tool names them, whatever separator the system prefers.
            for (const auto& e : std::filesystem::directory_iterator(state))
                out.push_back(state + "/" + e.path().filename().string());
        return out;
    }
    // The `n`th write call from now on is refused (1: the next one); the others go through.
    void RefuseWrite(uint64_t n) { refuseWriteAt = hostWrites + n; }
    // The board's commands from position `from` of its log on.
    std::vector<std::string> CommandsSince(size_t from) const {
        const auto log = link.board->CommandLog();
        return from < log.size() ? std::vector<std::string>(log.begin() + static_cast<long>(from), log.end())
                                 : std::vector<std::string>{};
    }
    // Whether `text` was shown, and shown as `kind` when one is given.
    bool Said(const std::string& text, std::optional<MessageKind> kind = std::nullopt) const {
        for (size_t i = 0; i < op.messages.size(); ++i)
            if (op.messages[i] == text && (!kind || op.kinds[i] == *kind)) return true;
        return false;
    }
    // Whether the last message holds `part`; a failure shows the message.
    testing::AssertionResult LastSaid(const std::string& part) const {
        const std::string last = op.messages.empty() ? "(no message)" : op.messages.back();
        if (last.find(part) != std::string::npos) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "the last message was: " << last;
    }
    bool SaidStart(const std::string& start) const {
        return std::any_of(op.messages.begin(), op.messages.end(),
                           [&](const std::string& m) { return m.rfind(start, 0) == 0; });
    }
    sim::Board& board() { return *link.board; }
    CDeviceSession& session() { return window.Session(); }

    VirtualClock clock;
    RecordingOperator op;
    RecordingPrinter printer;
    sim::SimLink link;
    MainDialog window;
    std::string dir, state;
    ConfigStore store;
    int block = 0, startSector = 0, count = 0, textMode = 1;
    // The memory mode and rate the detection's dialogs are answered with: internal memory, 9600.
    int modeChoice = kInternalMemory, rateSelection = 2;
    std::string file;
    bool cancel = false;
    bool cancelPassword = false;
    std::string cancelDialog;  // this dialog alone is cancelled
    std::vector<std::string> passwords;
    std::vector<std::string> titlesSeen;
    // What the password change and set dialogs are filled with, one entry per opening.
    struct PasswordEntry {
        std::string old, password, retype;
        bool lock = false;
    };
    std::vector<PasswordEntry> entries;
    // The menu option the lock and remap menus are answered with; -1 clicks nothing.
    int menuOption = -1;
    std::vector<std::string> menusSeen;
    uint64_t hostWrites = 0;
    uint64_t refuseWriteAt = 0;
    size_t runMark = 0;
};

// A rig whose board has been detected (a failed detection fails the test).
struct DetectedRig : FlashRig {
    explicit DetectedRig(sim::BoardConfig config = {}, int memoryMode = kInternalMemory) : FlashRig(config, memoryMode) {
        EXPECT_TRUE(Detect()) << "the stand-in board was not detected";
    }
};

}  // namespace tessel::test
