#include "ConsoleView.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace tessel::cli {

ConsoleView::ConsoleView(MainDialog& window) : window_(window), tty_(isatty(STDERR_FILENO) != 0) {
    window_.SetObserver(this);
}

ConsoleView::~ConsoleView() { window_.SetObserver(nullptr); }

void ConsoleView::EndLine() {
    if (!drawn_) return;
    std::fputc('\n', stderr);
    drawn_ = false;
}

void ConsoleView::OnChanged(Change what) {
    if (what != Change::Progress) return;
    const std::string& label = window_.ProgressLabel();
    if (progressSink) {
        const int range = window_.ProgressRange();
        const int percent = range > 0 && window_.ProgressVisible()
                                ? static_cast<int>(static_cast<long long>(std::clamp(window_.ProgressPosition(), 0, range)) *
                                                   100 / range)
                                : -1;
        if (label == label_ && percent == lastPercent_) return;
        label_ = label;
        lastPercent_ = percent;
        progressSink(label, percent);
        return;
    }
    if (label != label_) {
        EndLine();
        label_ = label;
        lastPercent_ = -1;
        // Without a terminal, one line per label keeps a log readable.
        if (!tty_ && !label.empty()) std::fprintf(stderr, "%s\n", label.c_str());
    }
    const int range = window_.ProgressRange();
    if (!tty_ || range <= 0 || !window_.ProgressVisible()) return;
    const int position = std::clamp(window_.ProgressPosition(), 0, range);
    const int percent = static_cast<int>(static_cast<long long>(position) * 100 / range);
    if (percent == lastPercent_) return;  // redraw only when the figure changes
    lastPercent_ = percent;
    const int width = 40;
    const int filled = percent * width / 100;
    std::fprintf(stderr, "\r%-12s [%.*s%*s] %3d%%", label_.c_str(), filled,
                 "########################################", width - filled, "", percent);
    std::fflush(stderr);
    drawn_ = true;
}

void ConsoleView::PrintSummary() {
    EndLine();
    const std::pair<const char*, ChipField> rows[] = {
        {"Chip Type:", ChipField::ChipType}, {"Flash Size:", ChipField::FlashSize},
        {"ReMap:", ChipField::ReMap},       {"Mem Mode:", ChipField::MemMode},
        {"Fw Version:", ChipField::FwVersion}};
    for (const auto& [label, field] : rows) std::printf("%-12s %s\n", label, window_.Field(field).c_str());
    std::printf("%s\n", window_.SecurityLine().c_str());
    std::printf("IAP Status: %s\n", window_.Field(ChipField::IapStatus).c_str());
}

}  // namespace tessel::cli
