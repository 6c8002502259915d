#pragma once
// The operator at a terminal: messages and questions go to the event stream, questions are
// answered by --yes or asked when standard input is a terminal (No otherwise, the safe answer
// of every question the tool asks). No dialog opens: the commands take requests.

#include <string>

#include "Events.h"
#include "platform/Operator.h"

namespace tessel::cli {

class TerminalOperator : public Operator {
public:
    explicit TerminalOperator(EventStream& events) : events_(events) {}

    bool assumeYes = false;
    bool verbose = false;  // debug traces to stderr
    // False when several boards share the terminal: their questions would interleave, so
    // nothing is asked there.
    bool mayAsk = true;

    // The window's message texts reach the terminal only with --verbose, as what they are;
    // the command's own result line says how it ended.
    void ShowMessage(const std::string& text, MessageKind kind) override;
    void ShowError(const std::string& text) override;
    // The window's box asks for a click a terminal does not have: the command line says what
    // to do instead, and how long the wait is.
    void PromptReset(const std::string& text, unsigned waitMs) override;
    // A notice: not the command's failure, and shown without -v.
    void ShowNote(const std::string& text) override { events_.Notice(text); }
    bool AskYesNo(const std::string& text) override;
    DialogResult RunDialog(DialogModel&) override { return DialogResult::Cancel; }
    void DebugTrace(const std::string& line) override;

    // The last message shown since the command itself began, for the result line.
    const std::string& LastMessage() const { return last_; }
    void ForgetLastMessage() { last_.clear(); }

private:
    EventStream& events_;
    std::string last_;
};

}  // namespace tessel::cli
