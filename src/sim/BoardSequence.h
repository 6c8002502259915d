#pragma once
// Boards one after another on one line, as an operator swaps them on a production bench.
// When the host has finished with a board (it started the user's code, or the line has been
// quiet for a second after a command), that board is taken away: the line is silent
// for a second, then a fresh board with an erased block 0 takes its place. After the last
// board the line stays silent.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/SimBoard.h"

namespace tessel::sim {

class BoardSequence : public LinePeer {
public:
    // `count` boards made from `config`, whose faults only board `faulty` has (0: every
    // board); `finished` is told each board (numbered from 1) as it is taken away. Each board
    // comes with `block0` in its block 0 (empty: erased).
    BoardSequence(BoardConfig config, int count, int faulty, std::function<void(int, const Board&)> finished,
                  std::vector<uint8_t> block0 = {});

    void OnHostByte(VirtualLine& line, uint8_t byte, uint64_t at, uint32_t hostBaud) override;
    void OnLinesChanged(VirtualLine& line, bool dtr, bool rts, uint64_t at) override;
    uint64_t NextTimer() override;
    void OnTimer(VirtualLine& line, uint64_t at) override;
    // A board's pulled cable is the line's: no later board is ever seen.
    bool Unplugged() const override;

    // The board on the line now, numbered from 1; 0 while none is (between two, or after the last).
    int Current() const;
    // The service ends: the board still on the line is told as finished too.
    void End();

private:
    void TakeAway(uint64_t at);
    std::shared_ptr<Board> Fresh() const;
    uint64_t QuietDeadline() const;

    mutable std::recursive_mutex mutex_;
    BoardConfig config_;
    int count_;
    int faulty_;
    std::function<void(int, const Board&)> finished_;
    std::vector<uint8_t> block0_;
    std::shared_ptr<Board> board_;
    int number_ = 1;
    uint64_t lastHostByte_ = 0;
    uint64_t absentUntil_ = 0;  // the line is silent until then; a fresh board follows
    bool unplugged_ = false;
};

}  // namespace tessel::sim
