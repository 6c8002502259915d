// The page's one door into the core: exported C functions that the script calls (through
// ccall, asynchronously, since a command may wait on the port or on a question) and that call
// the commands on the page's one Target. What the page draws (chip fields, security line,
// progress, result, details, sector states) is read from that Target.

#include <emscripten.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "commands/Commands.h"
#include "commands/FlashDialogs.h"
#include "commands/MemoryView.h"
#include "commands/PasswordCommands.h"
#include "commands/Target.h"
#include "device/ChipCatalogue.h"
#include "files/ConfigStore.h"
#include "platform/Operator.h"
#include "sim/SimBoard.h"

namespace {

using namespace tessel;

EM_JS(void, page_message, (int kind, const char* text), { Module.tesselMessage(kind, UTF8ToString(text)); });
// The developers' lines go to the browser's console, where its tools show them.
EM_JS(void, page_trace, (const char* text), { console.debug(UTF8ToString(text)); });
EM_JS(void, page_changed, (int what), { Module.tesselChanged(what); });
// The page shows the core's question in a modal dialog and the program waits for the answer.
EM_ASYNC_JS(int, page_ask, (const char* text), { return (await Module.tesselAsk(UTF8ToString(text))) ? 1 : 0; });

// Texts the operator types in the page's modal dialog: its title, a note above the fields and
// one field per label (masked when secret). The answer comes back as a JSON array of the
// texts, or 0 for Cancel; the copy is the caller's to wipe and free.
EM_ASYNC_JS(char*, page_texts, (const char* title, const char* note, const char* labels, int secret), {
    const texts = await Module.tesselTexts(UTF8ToString(title), UTF8ToString(note),
                                           JSON.parse(UTF8ToString(labels)), secret !== 0);
    if (texts === null) return 0;
    const json = JSON.stringify(texts);
    const size = lengthBytesUTF8(json) + 1;
    const copy = _malloc(size);
    stringToUTF8(json, copy, size);
    return copy;
});

std::optional<std::vector<std::string>> AskTexts(const char* title, const char* note,
                                                 const std::vector<std::string>& labels, bool secret) {
    char* typed = page_texts(title, note, nlohmann::json(labels).dump().c_str(), secret ? 1 : 0);
    if (!typed) return std::nullopt;
    std::vector<std::string> texts = nlohmann::json::parse(typed).get<std::vector<std::string>>();
    for (char* c = typed; *c; ++c) *c = 0;
    std::free(typed);
    return texts;
}

class PageOperator : public Operator {
public:
    void ShowMessage(const std::string& text, MessageKind kind) override { page_message(static_cast<int>(kind), text.c_str()); }
    bool AskYesNo(const std::string& text) override { return page_ask(text.c_str()) != 0; }
    // The commands the page offers take their answers as requests; no dialog of the window runs.
    DialogResult RunDialog(DialogModel&) override { return DialogResult::Cancel; }
    void DebugTrace(const std::string& line) override { page_trace(line.c_str()); }
};

class PageObserver : public TargetObserver {
public:
    void OnChanged(Change what) override { page_changed(static_cast<int>(what)); }
};

PageOperator op;
PageObserver observer;
Target* target = nullptr;
std::string answer;

const char* Reply(const CommandResult& r) {
    nlohmann::json j = {{"outcome", OutcomeName(r.outcome)}, {"summary", r.summary}, {"reason", r.reason}};
    answer = j.dump();
    return answer.c_str();
}

// The target for a new command: a Stop asked of the last one is spent.
Target& Fresh() {
    target->Session().flags.stop.Clear();
    return *target;
}

SectorRange Range(int block, int first, int count) { return {block, first, count}; }

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void tessel_init() {
    if (target) return;
    sim::RegisterSimScheme();
    target = new Target(&op);
    target->LoadSettings(ConfigStore::Discarding());
    target->SetObserver(&observer);
    // The loader's password, asked in the page for each attempt as the window's dialog is.
    target->SetPasswordSource([](int) -> std::optional<std::string> {
        auto texts = AskTexts(PasswordVerifyDialog::kTitle, "", {PasswordVerifyDialog::kPrompt}, true);
        if (!texts) return std::nullopt;
        return (*texts)[0];
    });
}

// "sim:NX31A32" for the stand-in board, "webserial" for the port the operator granted.
EMSCRIPTEN_KEEPALIVE void tessel_set_port(const char* name) { target->Session().port.SetPortName(name); }

// The chip by its model name ("NX31A32"), the memory mode as internal (0) or external (1).
EMSCRIPTEN_KEEPALIVE const char* tessel_detect(int firmware, const char* model, int external, double crystal, int baud) {
    // A 1.1E loader is answered by the link worker, a thread of its own, and the page has one
    // thread only: starting the worker would end the page. Refused before the port is touched.
    if (firmware) {
        CommandResult refused;
        refused.outcome = Outcome::Refused;
        refused.reason = "The page cannot drive a 1.1E boot loader yet: it needs a thread of its own that the page "
                         "does not have. Upgrade the loader to 1.1F with the command line (tessel detect --firmware "
                         "1.1E) or the desktop program, then use the page.";
        return Reply(refused);
    }
    DetectRequest request;
    request.firmware = firmware ? LoaderFirmware::V11E : LoaderFirmware::V11F;
    request.chipType = ChipCodeForModel(model).value_or(0);
    request.memoryMode = external ? kExternalMemory : kInternalMemory;
    request.crystal = crystal;
    request.baud = static_cast<uint32_t>(baud);
    return Reply(DetectChip(Fresh(), request));
}

EMSCRIPTEN_KEEPALIVE const char* tessel_read(int block, int first, int count) {
    return Reply(ReadSectors(Fresh(), Range(block, first, count)));
}

EMSCRIPTEN_KEEPALIVE const char* tessel_erase(int block, int first, int count) {
    return Reply(EraseSectorRange(Fresh(), Range(block, first, count)));
}

EMSCRIPTEN_KEEPALIVE const char* tessel_erase_chip() { return Reply(EraseWholeChip(Fresh())); }

EMSCRIPTEN_KEEPALIVE const char* tessel_download(const char* file, int block, int start, int changedOnly) {
    return Reply(DownloadImage(Fresh(), {file, ImageFormat::Auto, block, start, changedOnly != 0}));
}

EMSCRIPTEN_KEEPALIVE const char* tessel_compare(const char* file, int block, int start) {
    return Reply(CompareImage(Fresh(), {file, ImageFormat::Auto, block, start, false}));
}

EMSCRIPTEN_KEEPALIVE const char* tessel_save(const char* file, int block, int first, int count, int text) {
    return Reply(SaveSectors(Fresh(), {Range(block, first, count), file, text != 0}));
}

// The one-time bits: a choice of the chip's lock menu or of the remap menu, by its number in
// the menus the state lists.
EMSCRIPTEN_KEEPALIVE const char* tessel_lock(int choice) { return Reply(ProgramLock(Fresh(), static_cast<LockChoice>(choice))); }
EMSCRIPTEN_KEEPALIVE const char* tessel_remap(int choice) {
    return Reply(RemapMemory(Fresh(), static_cast<RemapChoice>(choice)));
}
EMSCRIPTEN_KEEPALIVE const char* tessel_double_clock() { return Reply(ToggleDoubleClock(Fresh())); }
EMSCRIPTEN_KEEPALIVE const char* tessel_run() { return Reply(RunUserProgram(Fresh())); }
EMSCRIPTEN_KEEPALIVE const char* tessel_cable_test() { return Reply(TestCable(Fresh())); }

// Byte Edit: `data` empty shows the bytes at the address, else writes them.
EMSCRIPTEN_KEEPALIVE const char* tessel_edit(const char* address, const char* data) {
    const EditResult r = EditBlock0(Fresh(), {address, data});
    nlohmann::json j = {{"outcome", OutcomeName(r.outcome)}, {"summary", r.summary}, {"reason", r.reason},
                        {"shown", r.shown}, {"chipChanged", r.chipChanged}};
    answer = j.dump();
    return answer.c_str();
}

// The password commands ask their texts in the page's dialog, once for each attempt.
EMSCRIPTEN_KEEPALIVE const char* tessel_password(int change) {
    PasswordRequest request;
    const char* title = change ? PasswordChangeDialog::kTitle : PasswordSetDialog::kTitle;
    const char* note = change ? PasswordChangeDialog::kNote : PasswordSetDialog::kNote;
    std::optional<std::vector<std::string>> texts;
    int asked = 0;
    // Each attempt asks once for all the fields, as the dialog shows them together.
    auto once = [&](int attempt) {
        if (attempt == asked) return;
        asked = attempt;
        if (texts)
            for (std::string& t : *texts) WipeString(t);
        texts = change ? AskTexts(title, note, {"Old Password", "New Password", "Retype Password"}, true)
                       : AskTexts(title, note, {"New Password", "Retype Password"}, true);
    };
    if (change)
        request.current = [&](int attempt) -> std::optional<std::string> {
            once(attempt);
            if (!texts) return std::nullopt;
            return (*texts)[0];
        };
    request.next = [&](int attempt) -> std::optional<NewPassword> {
        once(attempt);
        if (!texts) return std::nullopt;
        const size_t at = change ? 1 : 0;
        return NewPassword{(*texts)[at], (*texts)[at + 1]};
    };
    const CommandResult r = change ? ChangePassword(Fresh(), request) : SetPassword(Fresh(), request);
    if (texts)
        for (std::string& t : *texts) WipeString(t);
    return Reply(r);
}

// The boot loader: replaced from a file, the demonstration board's own written into its
// external flash, or the debug monitor loaded in its place.
EMSCRIPTEN_KEEPALIVE const char* tessel_upgrade(const char* file, int start) {
    return Reply(UpgradeLoader(Fresh(), {file, ImageFormat::Auto, 1, start, false}));
}
EMSCRIPTEN_KEEPALIVE const char* tessel_external_loader() { return Reply(WriteExternalLoader(Fresh())); }
EMSCRIPTEN_KEEPALIVE const char* tessel_monitor() { return Reply(LoadMonitor(Fresh())); }
// The external flash's low (0) or high (1) window, or back to the MCU's flash (-1).
EMSCRIPTEN_KEEPALIVE const char* tessel_external(int window) {
    return Reply(window < 0 ? LeaveExternalWindow(Fresh()) : OpenExternalWindow(Fresh(), window == 1));
}

// A row of the sector list clicked: its sector's bytes, when known, in the dump.
EMSCRIPTEN_KEEPALIVE void tessel_show_sector(int row) { target->Memory().ClickRow(row); }

// Stop: the running command ends at its next safe point (between chunks).
EMSCRIPTEN_KEEPALIVE void tessel_stop() { target->Session().flags.stop.Request(); }

// What the page draws, after a change or a command: only the parts asked for, as a download
// changes the sector list and the progress each chunk and nothing else.
enum Part { kChip = 1, kProgress = 2, kSectors = 4, kDump = 8 };

EMSCRIPTEN_KEEPALIVE const char* tessel_state(int parts) {
    nlohmann::json j = nlohmann::json::object();
    if (parts & kChip) {
        j["fields"] = {target->Field(ChipField::FlashSize), target->Field(ChipField::ChipType),
                       target->Field(ChipField::ReMap),     target->Field(ChipField::MemMode),
                       target->Field(ChipField::FwVersion), target->Field(ChipField::IapStatus)};
        j["security"] = target->SecurityLine();
        j["linkUp"] = target->Session().port.IsLinkUp();
        j["baud"] = target->Session().port.GetBaudRate();
        // The menus of the one-time bits for the chip detected, by the number the commands take.
        j["lockMenu"] = nlohmann::json::array();
        for (const LockOption& o : LockMenu(target->Session().Family()))
            j["lockMenu"].push_back({{"choice", static_cast<int>(o.choice)}, {"label", o.label}});
        j["remapMenu"] = nlohmann::json::array();
        for (const RemapOption& o : RemapMenu())
            j["remapMenu"].push_back({{"choice", static_cast<int>(o.choice)}, {"label", o.label}});
        j["doubleClock"] = static_cast<bool>(target->Session().flags.doubleClockOn);
        j["result"] = target->Result();
        j["details"] = target->Details();
    }
    if (parts & kProgress)
        j["progress"] = {{"label", target->ProgressLabel()}, {"range", target->ProgressRange()},
                         {"position", target->ProgressPosition()}, {"visible", target->ProgressVisible()},
                         {"bytesPerStep", target->ProgressStepBytes()}, {"totalBytes", target->ProgressTotalBytes()}};
    MemoryView& memory = target->Memory();
    if (parts & kSectors) {
        j["sectors"] = memory.StatusRows();
        j["hot"] = memory.HotItem();
    }
    if (parts & kDump) {
        j["dumpHeader"] = memory.DumpHeader();
        j["dump"] = memory.DumpRows();
        j["marks"] = memory.DumpMarks();
    }
    answer = j.dump();
    return answer.c_str();
}

}  // extern "C"
