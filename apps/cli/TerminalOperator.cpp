#include "TerminalOperator.h"
#include "Interrupt.h"

#include <cstdio>
#include <iostream>

#include "platform/Console.h"

namespace tessel::cli {

namespace {
std::string Trimmed(const std::string& text) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    return t;
}
}  // namespace

void TerminalOperator::ShowMessage(const std::string& text, MessageKind) {
    last_ = Trimmed(text);
    events_.Message(text);
}

void TerminalOperator::ShowError(const std::string& text) {
    last_ = Trimmed(text);
    events_.Error(last_);
}

void TerminalOperator::PromptReset(const std::string&, unsigned waitMs) {
    const int seconds = static_cast<int>(waitMs / 1000);
    events_.Notice("reset the board now (it must start in its boot loader); waiting up to " + std::to_string(seconds) +
                       " s for its loader",
                   seconds);
}

bool TerminalOperator::AskYesNo(const std::string& text) {
    if (assumeYes) {
        events_.Question(text, true, AnswerSource::Option);
        return true;
    }
    if (!mayAsk || !console::IsTerminal(console::Stream::Input)) {
        events_.Question(text, false, AnswerSource::NoTerminal);
        return false;
    }
    events_.StopWaiting();
    std::fprintf(stderr, "%s [y/N] ", Trimmed(text).c_str());
    std::fflush(stderr);
    std::string answer;
    const bool yes = WaitForInputLine() && std::getline(std::cin, answer) &&
                     (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes");
    events_.Question(text, yes, AnswerSource::Terminal);
    return yes;
}

void TerminalOperator::DebugTrace(const std::string& line) {
    if (verbose) events_.Trace(Trimmed(line));
}

}  // namespace tessel::cli
