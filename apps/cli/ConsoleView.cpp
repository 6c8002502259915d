#include "ConsoleView.h"

#include <algorithm>
#include <cmath>

#include "platform/Console.h"

namespace tessel::cli {

namespace {

constexpr int kBarWidth = 30;
constexpr int kNarrowestBar = 10;
constexpr int kLabelWidth = 12;
// Where the terminal does not say how wide it is.
constexpr int kDefaultColumns = 80;
// A line every so often keeps a log alive without drowning it.
constexpr double kPipeLineSeconds = 5.0;

std::string Format(const char* fmt, auto... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string Amount(long long n, bool bytes) {
    if (!bytes) return Format("%lld sector%s", n, n == 1 ? "" : "s");
    return Format("%lld bytes", n);
}

std::string Rate(double bytesPerSecond) {
    if (bytesPerSecond >= 1024) return Format("%.1f KB/s", bytesPerSecond / 1024);
    return Format("%.0f B/s", bytesPerSecond);
}

std::string Hex4(uint32_t a) { return Format(a > 0xFFFF ? "%05Xh" : "%04Xh", static_cast<unsigned>(a)); }

// The system's texts carry their line breaks and trailing blanks for message boxes; on a
// terminal one trailing newline is enough.
std::string Trimmed(const std::string& text) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    return t;
}

}  // namespace

ConsoleView::ConsoleView(bool quiet, bool verbose, bool dataToStderr)
    : ConsoleView(quiet, verbose, dataToStderr ? stderr : stdout, stderr, console::CanRedraw(console::Stream::Error),
                  console::Columns(console::Stream::Error)) {}

ConsoleView::ConsoleView(bool quiet, bool verbose, std::FILE* out, std::FILE* err, bool terminal, int columns)
    : quiet_(quiet), verbose_(verbose), out_(out), err_(err), tty_(terminal),
      columns_(columns > 0 ? columns : kDefaultColumns) {}

ConsoleView::~ConsoleView() {
    StopWaiting();
    SayErrors();
}

void ConsoleView::EndLine() {
    if (!drawn_) return;
    std::fputc('\n', err_);
    drawn_ = false;
}

std::string ConsoleView::Figures(const Phase& p, bool finished) {
    const bool bytes = p.stepBytes != 0;
    const long long total = p.Total();
    const long long done = p.Done();
    if (finished && p.ok) return Format("%s in %.1f s", Amount(total, bytes).c_str(), p.seconds);
    if (finished) return Format("stopped at %lld of %s after %.1f s", done, Amount(total, bytes).c_str(), p.seconds);
    std::string s = Format("%lld/%s", done, Amount(total, bytes).c_str());
    if (p.seconds > 0.2 && done > 0) {
        const double rate = static_cast<double>(done) / p.seconds;
        s += "  " + (bytes ? Rate(rate) : Format("%.1f sectors/s", rate));
        s += Format("  %.0f s left", std::ceil(static_cast<double>(total - done) / rate));
    }
    return s;
}

std::string ConsoleView::FailureLine(const Failure& f) {
    if (f.step == "compare" && f.got && f.expected)
        return Format("compare: differs at %s (file %02Xh, chip %02Xh)", Hex4(f.address).c_str(), *f.expected,
                      *f.got);
    return f.step + " failed at " + Hex4(f.address) + ": " + f.reason;
}

void ConsoleView::DrawBar(const Phase& p, bool finished) {
    const int percent = std::clamp(p.Percent(), 0, 100);
    const std::string figures = Figures(p, finished);
    // One column short of the width: a line that fills the last column wraps on some terminals,
    // and every redraw would then start a new line.
    const int width = columns_ - 1;
    std::string label = p.label;
    if (label.size() < kLabelWidth) label.resize(kLabelWidth, ' ');
    const int fixed = static_cast<int>(label.size()) + static_cast<int>(sizeof " [] 100%  ") - 1;
    const int bar = std::clamp(width - fixed - static_cast<int>(figures.size()), kNarrowestBar, kBarWidth);
    const int filled = percent * bar / 100;
    std::string line = label + " [" + std::string(filled, '#') + std::string(bar - filled, ' ') + "] " +
                       Format("%3d%%", percent) + "  " + figures;
    if (static_cast<int>(line.size()) > width) line.resize(static_cast<size_t>(std::max(width, 0)));
    std::fprintf(err_, "\r%s\033[K", line.c_str());
    if (finished) {
        std::fputc('\n', err_);
        drawn_ = false;
    } else {
        drawn_ = true;
    }
    std::fflush(err_);
}

void ConsoleView::PhaseStarted(const Phase& p) {
    SayErrors();
    if (quiet_) return;
    EndLine();
    lastLine_ = std::chrono::steady_clock::now();
    if (tty_) {
        DrawBar(p, false);
        return;
    }
    const bool bytes = p.stepBytes != 0;
    std::fprintf(err_, "%s: %s\n", p.label.c_str(), Amount(p.Total(), bytes).c_str());
    std::fflush(err_);
}

void ConsoleView::PhaseProgress(const Phase& p) {
    SayErrors();
    if (quiet_) return;
    if (tty_) {
        DrawBar(p, false);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (std::chrono::duration<double>(now - lastLine_).count() < kPipeLineSeconds) return;
    lastLine_ = now;
    std::fprintf(err_, "%s: %d%%\n", p.label.c_str(), p.Percent());
    std::fflush(err_);
}

void ConsoleView::PhaseEnded(const Phase& p) {
    SayErrors();
    // The detail behind the fixed failure text comes right after that text; it is an error,
    // shown even when quiet.
    if (p.failure) {
        EndLine();
        std::fprintf(err_, "%s\n", FailureLine(*p.failure).c_str());
    }
    if (!quiet_) {
        if (tty_) {
            DrawBar(p, true);
        } else if (p.ok) {
            std::fprintf(err_, "%s: done, %s\n", p.label.c_str(), Figures(p, true).c_str());
        } else {
            std::fprintf(err_, "%s: %d%%, %s\n", p.label.c_str(), p.Percent(), Figures(p, true).c_str());
        }
    }
    std::fflush(err_);
}

void ConsoleView::Label(const std::string& text) {
    SayErrors();
    if (quiet_ || !verbose_) return;
    EndLine();
    std::fprintf(err_, "%s\n", text.c_str());
}

// The window's message boxes are the window's: the command line says what happened in its
// result line, and shows the boxes' texts only to whoever asked for the details.
void ConsoleView::Message(const std::string& text) {
    SayErrors();
    if (!verbose_ || quiet_) return;
    EndLine();
    std::fprintf(err_, "%s\n", Trimmed(text).c_str());
    std::fflush(err_);
}

void ConsoleView::Question(const std::string& text, bool answer, AnswerSource source) {
    SayErrors();
    // A question put to the terminal has been printed by whoever asked it.
    if (quiet_ || source == AnswerSource::Terminal) return;
    EndLine();
    std::fprintf(err_, "%s [y/N] %s\n", Trimmed(text).c_str(),
                 source == AnswerSource::Option ? (answer ? "yes (--yes)" : "no")
                                                : "no (no terminal; use --yes)");
    std::fflush(err_);
}

void ConsoleView::Notice(const std::string& text, int waitSeconds) {
    SayErrors();
    if (quiet_) return;
    EndLine();
    std::fprintf(err_, "%s\n", text.c_str());
    std::fflush(err_);
    if (waitSeconds <= 0 || !tty_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    counting_ = true;
    countdown_ = std::thread([this, waitSeconds] {
        std::unique_lock<std::mutex> held(mutex_);
        for (int left = waitSeconds; left > 0 && counting_; --left) {
            std::fprintf(err_, "\rwaiting: %2d s left\033[K", left);
            std::fflush(err_);
            wake_.wait_for(held, std::chrono::seconds(1), [this] { return !counting_; });
        }
        std::fprintf(err_, "\r\033[K");
        std::fflush(err_);
    });
}

void ConsoleView::StopWaiting() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!countdown_.joinable()) return;
        counting_ = false;
    }
    wake_.notify_all();
    countdown_.join();
}

// Held until anything else is said: an error that the result line ends with is said once, there.
void ConsoleView::Error(const std::string& text) {
    EndLine();
    pending_.push_back(text);
}

void ConsoleView::SayErrors() {
    if (pending_.empty()) return;
    EndLine();
    for (const std::string& e : pending_) std::fprintf(err_, "tessel: %s\n", e.c_str());
    pending_.clear();
    std::fflush(err_);
}

void ConsoleView::Trace(const std::string& text) {
    SayErrors();
    EndLine();
    std::fprintf(err_, "trace: %s\n", text.c_str());
    std::fflush(err_);
}

void ConsoleView::Chip(const ChipReport& chip) {
    SayErrors();
    if (!chip.show) return;
    EndLine();
    const std::string model = chip.model + ModelNote(chip.modelSource);
    const std::pair<const char*, const std::string*> rows[] = {
        {"Chip Type:", &model},   {"Flash Size:", &chip.flashSize}, {"ReMap:", &chip.remap},
        {"Mem Mode:", &chip.memMode},  {"Fw Version:", &chip.firmware}};
    for (const auto& [label, value] : rows) std::fprintf(out_, "%-12s %s\n", label, value->c_str());
    std::fprintf(out_, "%s\n", chip.security.c_str());
    if (chip.doubleClock) std::fprintf(out_, "Double Clock: %s\n", *chip.doubleClock ? "ON" : "OFF");
    std::fflush(out_);
}

void ConsoleView::Output(const std::string& text) {
    SayErrors();
    EndLine();
    std::fputs(text.c_str(), out_);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', out_);
    std::fflush(out_);
}

void ConsoleView::Result(const CommandResult& r) {
    EndLine();
    std::fflush(err_);
    // A failure is said where the errors are, and an error the result ends with only there.
    std::FILE* to = r.ok ? out_ : err_;
    std::erase_if(pending_, [&](const std::string& e) {
        const std::string tail = ": " + e;
        return r.summary.size() > tail.size() && r.summary.ends_with(tail);
    });
    SayErrors();
    if (!r.status.empty() && !quiet_) std::fprintf(to, "IAP Status: %s\n", r.status.c_str());
    if (!r.summary.empty()) std::fprintf(to, "%s\n", r.summary.c_str());
    std::fflush(to);
}

}  // namespace tessel::cli
