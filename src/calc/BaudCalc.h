#pragma once
// The target's boot loader clocks its UART from Timer 2 in baud-rate-generator mode, so the
// rates it can produce are fixed by the crystal and a 16-bit reload value. These functions
// pick a standard rate the crystal can make closely enough; they hold no state and know
// nothing of windows, so both communication dialogs and the command line share them.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessel {

// The Baud Rate drop-down list of both dialogs, fastest first; the index is the list position.
inline constexpr std::array<uint32_t, 7> kStandardRates = {38400, 19200, 9600, 4800,
                                                           2400,  1200,  600};
inline constexpr std::array<const char*, 7> kStandardRateTexts = {
    "38400", "19200", "9600", "4800", "2400", "1200", "600"};

// Search candidates, fastest first. The external-memory dialog may also go down to 300,
// which has no place in the standard list.
inline constexpr std::array<uint32_t, 7> kCommSetupCandidates = {38400, 19200, 9600, 4800,
                                                                 2400,  1200,  600};
inline constexpr std::array<uint32_t, 8> kExtMemCandidates = {38400, 19200, 9600, 4800,
                                                              2400,  1200,  600,  300};

// Rates beyond the loader's documented list. A 1.1F loader measures the host's rate itself
// after a reset, so where Timer 2 can make one of these within the same tolerance as the
// listed rates (11.0592 MHz makes both exactly) it may be offered, after the listed ones and
// marked as such; detection falls back to the best listed rate if the loader does not answer.
inline constexpr std::array<uint32_t, 2> kBeyondListRates = {57600, 115200};

// Below this crystal frequency (MHz) 38400 is never offered, even where the arithmetic
// would allow it; only the pre-detection dialog asks for this.
inline constexpr double kLowCrystalLimitMHz = 2.005;

// A produced rate within this many percent of the wanted one is good enough for the loader.
inline constexpr double kMaxRateErrorPercent = 3.0;

// Standard list position of a rate; a rate not in the list maps to position 0.
int positionForRate(uint32_t rate);
// Rate and text of a list position; anything outside 0..6 (also "no selection", -1) is 38400.
uint32_t rateForPosition(int position);
const char* rateTextForPosition(int position);

// truncate(65536 - f*1e6 / (rate*32)). Results that do not fit (absurd crystals, rate 0)
// saturate instead of being undefined.
int32_t reloadForRate(double crystalMHz, uint32_t rate);
// truncate(f*1e6 / ((65536 - reload) * 32)), saturating in the same way.
int32_t rateForReload(double crystalMHz, int32_t reload);
// |produced - wanted| / wanted * 100.
double rateErrorPercent(uint32_t wanted, int32_t produced);

struct BaudChoice {
    uint32_t rate = 0;
    int32_t reload = 0xFFFF;
    // Standard list position of the rate (positionForRate), so 300 gives 0.
    int position = 0;

    bool operator==(const BaudChoice&) const = default;
};

// The fastest candidate whose better neighbouring reload produces it within 3 %.
// Should no candidate get that close, the result is the last candidate looked at, with
// the reload of the last candidate that could be evaluated (0xFFFF if none could).
BaudChoice computeBestRate(double crystalMHz, std::span<const uint32_t> candidates,
                           bool lowCrystalRule);

// The same search restricted to candidates slower than `current`. Nothing when the walk
// reaches the last candidate without finding one slower: the caller then changes nothing.
std::optional<BaudChoice> computeNextRate(double crystalMHz,
                                          std::span<const uint32_t> candidates,
                                          uint32_t current, bool lowCrystalRule = true);

// The rate with the better of its two reloads when that is within kMaxRateErrorPercent.
std::optional<BaudChoice> fitRate(double crystalMHz, uint32_t rate);
// The rates of kBeyondListRates that the crystal makes closely enough, in that order.
std::vector<uint32_t> beyondListRates(double crystalMHz);
bool isBeyondListRate(uint32_t rate);

// The reload as the dialog's reload text shows it: "%04X".
std::string formatReload(int32_t reload);

}  // namespace tessel
