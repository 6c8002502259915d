#pragma once
// The event stream as a person reads it. On a terminal each operation is a bar that is
// redrawn in place, as wide as the terminal allows, and left standing at its end with the time
// it took; in a pipe, a log or a dumb terminal each operation prints a line when it starts and
// when it ends, and long ones a line with the percentage every few seconds. Messages,
// questions, advice and a failed command's result go to stderr; the data asked for and a
// successful result go to stdout (to stderr as well when stdout carries JSON or a file).

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Events.h"

namespace tessel::cli {

class ConsoleView : public EventView {
public:
    // `quiet`: only the data, errors and the result. `verbose`: the traces, and the texts the
    // window would show in its boxes. `dataToStderr`: stdout belongs to a machine.
    ConsoleView(bool quiet, bool verbose, bool dataToStderr);
    // For tests: the terminal decision and its width (0: unknown) made by the caller.
    ConsoleView(bool quiet, bool verbose, std::FILE* out, std::FILE* err, bool terminal, int columns = 0);
    ~ConsoleView() override;

    void PhaseStarted(const Phase& p) override;
    void PhaseProgress(const Phase& p) override;
    void PhaseEnded(const Phase& p) override;
    void Label(const std::string& text) override;
    void Message(const std::string& text) override;
    void Question(const std::string& text, bool answer, AnswerSource source) override;
    void Notice(const std::string& text, int waitSeconds) override;
    void StopWaiting() override;
    void Error(const std::string& text) override;
    void Trace(const std::string& text) override;
    void Chip(const ChipReport& chip) override;
    void Output(const std::string& text) override;
    void Result(const CommandResult& r) override;

    // What the bar shows after the label: "2048/4096 bytes  1.2 KB/s  2 s left".
    static std::string Figures(const Phase& p, bool finished);
    // "write failed at 0040h: read back 00h, expected 5Ah".
    static std::string FailureLine(const Failure& f);

private:
    void EndLine();
    void SayErrors();
    void DrawBar(const Phase& p, bool finished);

    bool quiet_;
    bool verbose_;
    std::FILE* out_;
    std::FILE* err_;
    bool tty_;
    int columns_;
    bool drawn_ = false;
    std::vector<std::string> pending_;  // errors not said yet, in case the result line ends with one
    std::chrono::steady_clock::time_point lastLine_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread countdown_;
    bool counting_ = false;
};

}  // namespace tessel::cli
