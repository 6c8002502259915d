#include "TerminalOperator.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace tessel::cli {

namespace {
// The system's texts carry their line breaks and trailing blanks for message boxes; on a
// terminal one trailing newline is enough.
std::string Trimmed(const std::string& text) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    return t;
}
}  // namespace

void TerminalOperator::Line(const std::string& text) {
    if (lineSink) lineSink(text);
    else std::fprintf(stderr, "%s\n", text.c_str());
}

void TerminalOperator::ShowMessage(const std::string& text) {
    if (beforeOutput) beforeOutput();
    last_ = Trimmed(text);
    Line(last_);
}

bool TerminalOperator::AskYesNo(const std::string& text) {
    if (beforeOutput) beforeOutput();
    const std::string q = Trimmed(text);
    if (assumeYes) {
        Line(q + " [y/N] yes (--yes)");
        return true;
    }
    // Boards programmed side by side never ask: their questions would interleave.
    if (lineSink || !isatty(STDIN_FILENO)) {
        Line(q + " [y/N] no (no terminal; use --yes)");
        return false;
    }
    std::fprintf(stderr, "%s [y/N] ", q.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

DialogResult TerminalOperator::RunDialog(DialogModel& model) {
    return fillDialog ? fillDialog(model) : DialogResult::Cancel;
}

void TerminalOperator::DebugTrace(const std::string& line) {
    if (verbose) Line("trace: " + Trimmed(line));
}

}  // namespace tessel::cli
