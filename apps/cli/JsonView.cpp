#include "JsonView.h"

namespace tessel::cli {

namespace {

using nlohmann::json;

// Machines get the texts without the line breaks and blanks meant for message boxes.
std::string Trimmed(const std::string& text) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    return t;
}

json PhaseObject(const char* event, const Phase& p) {
    return {{"event", event},
            {"phase", p.label},
            {"done", p.done},
            {"steps", p.steps},
            {"unit", p.stepBytes ? "bytes" : "sectors"},
            {"step_size", p.stepBytes ? p.stepBytes : 1}};
}

}  // namespace

void JsonView::Emit(const json& j) {
    json tagged = j;
    if (!port_.empty()) tagged["port"] = port_;
    // Texts from the chip or a file may hold any byte; a line must still parse.
    const std::string line = tagged.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::unique_lock<std::mutex> held;
    if (lock_) held = std::unique_lock<std::mutex>(*lock_);
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
}

json JsonView::FailureObject(const Failure& f) {
    json j = {{"operation", f.step}, {"address", f.address}, {"reason", f.reason}};
    if (f.got) j["chip_byte"] = *f.got;
    if (f.expected) j["expected_byte"] = *f.expected;
    return j;
}

void JsonView::PhaseStarted(const Phase& p) { Emit(PhaseObject("phase_start", p)); }

void JsonView::PhaseProgress(const Phase& p) {
    json j = PhaseObject("progress", p);
    j["percent"] = p.Percent();
    Emit(j);
}

void JsonView::PhaseEnded(const Phase& p) {
    json j = PhaseObject("phase_end", p);
    j["ok"] = p.ok;
    j["seconds"] = p.seconds;
    if (p.failure) j["failure"] = FailureObject(*p.failure);
    Emit(j);
}

void JsonView::Label(const std::string& text) { Emit({{"event", "label"}, {"text", text}}); }

void JsonView::Message(const std::string& text) { Emit({{"event", "message"}, {"text", Trimmed(text)}}); }

void JsonView::Question(const std::string& text, bool answer, AnswerSource source) {
    const char* by = source == AnswerSource::Option ? "option" : source == AnswerSource::Terminal ? "terminal" : "no-terminal";
    Emit({{"event", "question"}, {"text", Trimmed(text)}, {"answer", answer}, {"answered_by", by}});
}

void JsonView::Status(const std::string& text) { Emit({{"event", "status"}, {"text", text}}); }

void JsonView::Notice(const std::string& text, int waitSeconds) {
    json j = {{"event", "notice"}, {"text", text}};
    if (waitSeconds > 0) j["wait_seconds"] = waitSeconds;
    Emit(j);
}

void JsonView::Error(const std::string& text) { Emit({{"event", "error"}, {"text", text}}); }

void JsonView::Chip(const ChipReport& c) {
    json j = {{"event", "chip"},
          {"port", c.port},
          {"model", c.model},
          {"model_source", c.modelSource},
          {"firmware", c.firmware},
          {"flash_size", c.flashSize},
          {"remap", c.remap},
          {"mem_mode", c.memMode},
          {"security", c.security},
          {"lock_status", c.lockStatus},
          {"baud", c.baud}};
    if (c.doubleClock) j["double_clock"] = *c.doubleClock;
    Emit(j);
}

void JsonView::Output(const std::string& text) { Emit({{"event", "output"}, {"text", text}}); }

void JsonView::Result(const CommandResult& r) {
    json j = r.fields;
    j["event"] = "result";
    j["command"] = r.command;
    j["ok"] = r.ok;
    j["exit"] = r.exit;
    j["summary"] = r.summary;
    if (!r.status.empty()) j["status"] = r.status;
    Emit(j);
}

}  // namespace tessel::cli
