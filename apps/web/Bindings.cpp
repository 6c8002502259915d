// The page's one door into the core: exported C functions that the script calls (through
// ccall, asynchronously, since a command may wait on the port or on a question) and that call
// the commands on the page's one Target. What the page draws (chip fields, security line,
// progress, result, details, sector states) is read from that Target.

#include <emscripten.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "commands/Commands.h"
#include "commands/FlashDialogs.h"
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

// A text the operator types in the page's modal dialog under the core's title and prompt; 0
// for Cancel. The copy is the caller's to wipe and free.
EM_ASYNC_JS(char*, page_text, (const char* title, const char* prompt, int secret), {
    const text = await Module.tesselText(UTF8ToString(title), UTF8ToString(prompt), secret !== 0);
    if (text === null) return 0;
    const size = lengthBytesUTF8(text) + 1;
    const copy = _malloc(size);
    stringToUTF8(text, copy, size);
    return copy;
});

std::optional<std::string> AskText(const char* title, const char* prompt, bool secret) {
    char* typed = page_text(title, prompt, secret ? 1 : 0);
    if (!typed) return std::nullopt;
    std::string text(typed);
    for (char* c = typed; *c; ++c) *c = 0;
    std::free(typed);
    return text;
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
    target->SetPasswordSource([](int) {
        return AskText(PasswordVerifyDialog::kTitle, PasswordVerifyDialog::kPrompt, true);
    });
}

// "sim:NX31A32" for the stand-in board, "webserial" for the port the operator granted.
EMSCRIPTEN_KEEPALIVE void tessel_set_port(const char* name) { target->Session().port.SetPortName(name); }

// The chip by its model name ("NX31A32"), the memory mode as internal (0) or external (1).
EMSCRIPTEN_KEEPALIVE const char* tessel_detect(int firmware, const char* model, int external, double crystal, int baud) {
    DetectRequest request;
    request.firmware = firmware ? LoaderFirmware::V11E : LoaderFirmware::V11F;
    request.chipType = ChipCodeForModel(model).value_or(0);
    request.memoryMode = external ? kExternalMemory : kInternalMemory;
    request.crystal = crystal;
    request.baud = static_cast<uint32_t>(baud);
    return Reply(DetectChip(*target, request));
}

EMSCRIPTEN_KEEPALIVE const char* tessel_read(int block, int first, int count) {
    return Reply(ReadSectors(*target, Range(block, first, count)));
}

EMSCRIPTEN_KEEPALIVE const char* tessel_erase(int block, int first, int count) {
    return Reply(EraseSectorRange(*target, Range(block, first, count)));
}

EMSCRIPTEN_KEEPALIVE const char* tessel_erase_chip() { return Reply(EraseWholeChip(*target)); }

EMSCRIPTEN_KEEPALIVE const char* tessel_download(const char* file, int block, int start, int changedOnly) {
    return Reply(DownloadImage(*target, {file, ImageFormat::Auto, block, start, changedOnly != 0}));
}

EMSCRIPTEN_KEEPALIVE const char* tessel_compare(const char* file, int block, int start) {
    return Reply(CompareImage(*target, {file, ImageFormat::Auto, block, start, false}));
}

EMSCRIPTEN_KEEPALIVE const char* tessel_save(const char* file, int block, int first, int count, int text) {
    return Reply(SaveSectors(*target, {Range(block, first, count), file, text != 0}));
}

// Stop: the running command ends at its next safe point (between chunks).
EMSCRIPTEN_KEEPALIVE void tessel_stop() { target->Session().flags.stop.Request(); }

// What the page draws, after a change or a command.
EMSCRIPTEN_KEEPALIVE const char* tessel_state() {
    nlohmann::json j;
    j["fields"] = {target->Field(ChipField::FlashSize), target->Field(ChipField::ChipType),
                   target->Field(ChipField::ReMap),     target->Field(ChipField::MemMode),
                   target->Field(ChipField::FwVersion), target->Field(ChipField::IapStatus)};
    j["security"] = target->SecurityLine();
    j["linkUp"] = target->Session().port.IsLinkUp();
    j["baud"] = target->Session().port.GetBaudRate();
    j["progress"] = {{"label", target->ProgressLabel()}, {"range", target->ProgressRange()},
                     {"position", target->ProgressPosition()}, {"visible", target->ProgressVisible()},
                     {"bytesPerStep", target->ProgressStepBytes()}, {"totalBytes", target->ProgressTotalBytes()}};
    j["result"] = target->Result();
    j["details"] = target->Details();
    answer = j.dump();
    return answer.c_str();
}

}  // extern "C"
