#include "sim/BoardSequence.h"

#include <algorithm>

namespace tessel::sim {

namespace {

constexpr uint64_t kQuietUs = 1'000'000;   // the host is done with a board that answered
constexpr uint64_t kSwapUs = 1'000'000;    // no board on the line while the operator swaps

}  // namespace

BoardSequence::BoardSequence(BoardConfig config, int count, int faulty, std::function<void(int, const Board&)> finished,
                             std::vector<uint8_t> block0)
    : config_(std::move(config)), count_(count), faulty_(faulty), finished_(std::move(finished)),
      block0_(std::move(block0)) {
    if (count_ > 0) board_ = Fresh();
}

std::shared_ptr<Board> BoardSequence::Fresh() const {
    BoardConfig config = config_;
    if (faulty_ != 0 && faulty_ != number_) config.faults = Faults{};
    auto board = std::make_shared<Board>(config);
    // A new board from the line: nothing of the user's in block 0, unless the bench says what
    // every board comes with.
    board->SetBlock(0, block0_.empty() ? std::vector<uint8_t>(board->Block(0).size(), 0xFF) : block0_);
    return board;
}

int BoardSequence::Current() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return board_ ? number_ : 0;
}

void BoardSequence::End() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (board_ && finished_) finished_(number_, *board_);
    board_.reset();
    absentUntil_ = 0;
    number_ = count_;
}

// The host has had a session with the board (a command, not only the baud-detect string,
// which a probe or an attempt cut short also sends) and has said nothing since for a second.
uint64_t BoardSequence::QuietDeadline() const {
    if (!board_ || board_->CommandsReceived() == 0) return UINT64_MAX;
    return lastHostByte_ + kQuietUs;
}

void BoardSequence::TakeAway(uint64_t at) {
    if (finished_) finished_(number_, *board_);
    board_.reset();
    absentUntil_ = at + kSwapUs;
}

void BoardSequence::OnHostByte(VirtualLine& line, uint8_t byte, uint64_t at, uint32_t hostBaud) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    lastHostByte_ = at;
    if (!board_) return;  // nobody there to hear it
    board_->OnHostByte(line, byte, at, hostBaud);
    unplugged_ = unplugged_ || board_->Unplugged();
    if (board_->CurrentMode() == Mode::UserCode) TakeAway(at);
}

bool BoardSequence::Unplugged() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return unplugged_;
}

void BoardSequence::OnLinesChanged(VirtualLine& line, bool dtr, bool rts, uint64_t at) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (board_) board_->OnLinesChanged(line, dtr, rts, at);
}

uint64_t BoardSequence::NextTimer() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!board_) return absentUntil_ && number_ < count_ ? absentUntil_ : UINT64_MAX;
    return std::min(board_->NextTimer(), QuietDeadline());
}

void BoardSequence::OnTimer(VirtualLine& line, uint64_t at) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!board_) {
        if (absentUntil_ && at >= absentUntil_ && number_ < count_) {
            ++number_;
            absentUntil_ = 0;
            board_ = Fresh();
        }
        return;
    }
    if (at >= QuietDeadline()) {
        TakeAway(at);
        return;
    }
    if (board_->NextTimer() <= at) board_->OnTimer(line, at);
}

}  // namespace tessel::sim
