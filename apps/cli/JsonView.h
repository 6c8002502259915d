#pragma once
// The event stream for machines: one JSON object per line on stdout, each with an "event"
// field, the last one the result. The README lists every event and its fields.

#include <cstdio>
#include <mutex>
#include <string>

#include "Events.h"

namespace tessel::cli {

class JsonView : public EventView {
public:
    explicit JsonView(std::FILE* out = stdout) : out_(out) {}
    // One board of several: every object names its port, and the boards' lines are written
    // whole under `lock`.
    JsonView(std::FILE* out, std::string port, std::mutex* lock) : out_(out), port_(std::move(port)), lock_(lock) {}

    void PhaseStarted(const Phase& p) override;
    void PhaseProgress(const Phase& p) override;
    void PhaseEnded(const Phase& p) override;
    void Label(const std::string& text) override;
    void Message(const std::string& text) override;
    void Question(const std::string& text, bool answer, AnswerSource source) override;
    void Status(const std::string& text) override;
    void Notice(const std::string& text, int waitSeconds) override;
    void Error(const std::string& text) override;
    void Chip(const ChipReport& chip) override;
    void Output(const std::string& text) override;
    void Result(const CommandResult& r) override;

    static nlohmann::json FailureObject(const Failure& f);

private:
    void Emit(const nlohmann::json& j);
    std::FILE* out_;
    std::string port_;
    std::mutex* lock_ = nullptr;
};

}  // namespace tessel::cli
