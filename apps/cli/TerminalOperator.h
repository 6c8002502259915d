#pragma once
// The operator at a terminal: messages are printed, questions are answered by --yes or asked
// when standard input is a terminal (No otherwise, the safe answer of every question the
// tool asks), and dialogs are filled by the sub-command from its options.

#include <functional>
#include <string>

#include "platform/Operator.h"

namespace tessel::cli {

class TerminalOperator : public Operator {
public:
    bool assumeYes = false;
    bool verbose = false;  // debug traces to stderr
    // Fills a dialog model from the command line; unset: every dialog is cancelled.
    std::function<DialogResult(DialogModel&)> fillDialog;
    // Called before any text is printed, so that a progress bar drawn in place ends first.
    std::function<void()> beforeOutput;
    // Set when several boards share the terminal: every line goes there instead of stderr.
    std::function<void(const std::string&)> lineSink;

    void ShowMessage(const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    DialogResult RunDialog(DialogModel& model) override;
    void DebugTrace(const std::string& line) override;

    // The last message shown, for the exit summary.
    const std::string& LastMessage() const { return last_; }

private:
    void Line(const std::string& text);
    std::string last_;
};

}  // namespace tessel::cli
