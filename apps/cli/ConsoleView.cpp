#include "ConsoleView.h"

#include <unistd.h>

#include <cstdio>

namespace tessel::cli {

ConsoleView::ConsoleView() : tty_(isatty(STDERR_FILENO) != 0) {}

void ConsoleView::Draw() {
    if (!tty_ || range_ <= 0) return;
    const int width = 40;
    const int filled = std::min(width, position_ * width / range_);
    std::fprintf(stderr, "\r%-12s [%.*s%*s] %3d%%", label_.c_str(), filled,
                 "########################################", width - filled, "",
                 position_ * 100 / range_);
    std::fflush(stderr);
    drawn_ = true;
}

void ConsoleView::setProgressLabel(const std::string& text) {
    if (text == label_) return;
    if (drawn_) {
        std::fputc('\n', stderr);
        drawn_ = false;
    }
    label_ = text;
    // Without a terminal, one line per label keeps a log readable.
    if (!tty_ && !text.empty()) std::fprintf(stderr, "%s\n", text.c_str());
}

void ConsoleView::setProgressRange(int upper) {
    range_ = upper;
    position_ = 0;
}

void ConsoleView::stepProgress() {
    ++position_;
    Draw();
}

void ConsoleView::resetProgress() { position_ = 0; }

std::string ConsoleView::Field(ChipField field) const {
    auto it = fields_.find(field);
    return it == fields_.end() ? "" : it->second;
}

void ConsoleView::resetChipInfo() {
    fields_.clear();
    security_ = "SECURITY : UNKNOWN";
}

bool ConsoleView::ButtonEnabled(IapButton button) const {
    auto it = buttons_.find(button);
    return it != buttons_.end() && it->second;
}

void ConsoleView::PrintSummary() const {
    if (drawn_) std::fputc('\n', stderr);
    const std::pair<const char*, ChipField> rows[] = {
        {"Chip Type:", ChipField::ChipType}, {"Flash Size:", ChipField::FlashSize},
        {"ReMap:", ChipField::ReMap},       {"Mem Mode:", ChipField::MemMode},
        {"Fw Version:", ChipField::FwVersion}};
    for (const auto& [label, field] : rows) std::printf("%-12s %s\n", label, Field(field).c_str());
    std::printf("%s\n", security_.c_str());
    std::printf("IAP Status: %s\n", Field(ChipField::IapStatus).c_str());
}

}  // namespace tessel::cli
