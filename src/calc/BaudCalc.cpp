#include "calc/BaudCalc.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace tessel {

namespace {

constexpr double kReloadSpan = 65536.0;  // Timer 2 counts up from the reload to overflow.
constexpr double kClocksPerBit = 32.0;

// The search feeds these functions the operator's crystal, which the dialogs validate but the
// command line may not; a quotient that leaves the int32 range must not turn into undefined
// behaviour on conversion.
int32_t TruncateSaturating(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

double Quotient(double numerator, double denominator) {
    if (denominator == 0.0) {
        if (numerator == 0.0) {
            return 0.0;
        }
        return numerator > 0.0 ? std::numeric_limits<double>::infinity()
                               : -std::numeric_limits<double>::infinity();
    }
    return numerator / denominator;
}

// The error and reload of the better of the two reloads around a rate; nothing when the
// upper one is no 16-bit reload (at 65536 the timer would never be reloaded).
std::optional<std::pair<double, int32_t>> NearestReload(double crystalMHz, uint32_t rate) {
    const int32_t r = reloadForRate(crystalMHz, rate);
    if (int64_t{r} + 1 >= 0x10000) {
        return std::nullopt;
    }
    const double e0 = rateErrorPercent(rate, rateForReload(crystalMHz, r));
    const double e1 = rateErrorPercent(rate, rateForReload(crystalMHz, r + 1));
    // On a tie r + 1 wins.
    return e0 < e1 ? std::pair{e0, r} : std::pair{e1, r + 1};
}

// One walk serves both buttons: Next Baud is the Compute walk with every candidate at or
// above the current rate left out.
std::optional<BaudChoice> Walk(double crystalMHz, std::span<const uint32_t> candidates,
                               bool lowCrystalRule, std::optional<uint32_t> slowerThan) {
    uint32_t rate = 0;
    int32_t bestReload = 0xFFFF;
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (lowCrystalRule && crystalMHz < kLowCrystalLimitMHz && i == 0) {
            continue;
        }
        if (slowerThan && candidates[i] >= *slowerThan) {
            if (i + 1 == candidates.size()) {
                return std::nullopt;
            }
            continue;
        }
        rate = candidates[i];
        const auto fit = NearestReload(crystalMHz, rate);
        if (!fit) {
            continue;
        }
        bestReload = fit->second;
        if (fit->first <= kMaxRateErrorPercent) {
            break;
        }
    }
    return BaudChoice{rate, bestReload, positionForRate(rate)};
}

}  // namespace

int positionForRate(uint32_t rate) {
    for (size_t i = 0; i < kStandardRates.size(); ++i) {
        if (kStandardRates[i] == rate) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

uint32_t rateForPosition(int position) {
    if (position < 0 || position >= static_cast<int>(kStandardRates.size())) {
        return kStandardRates[0];
    }
    return kStandardRates[static_cast<size_t>(position)];
}

const char* rateTextForPosition(int position) {
    if (position < 0 || position >= static_cast<int>(kStandardRateTexts.size())) {
        return kStandardRateTexts[0];
    }
    return kStandardRateTexts[static_cast<size_t>(position)];
}

int32_t reloadForRate(double crystalMHz, uint32_t rate) {
    const double clocks = crystalMHz * 1000000.0;
    return TruncateSaturating(kReloadSpan - Quotient(clocks, static_cast<double>(rate) * kClocksPerBit));
}

int32_t rateForReload(double crystalMHz, int32_t reload) {
    const double clocks = crystalMHz * 1000000.0;
    return TruncateSaturating(
        Quotient(clocks, (kReloadSpan - static_cast<double>(reload)) * kClocksPerBit));
}

double rateErrorPercent(uint32_t wanted, int32_t produced) {
    const int64_t difference = int64_t{produced} - int64_t{wanted};
    const double magnitude = static_cast<double>(difference < 0 ? -difference : difference);
    return Quotient(magnitude, static_cast<double>(wanted)) * 100.0;
}

BaudChoice computeBestRate(double crystalMHz, std::span<const uint32_t> candidates,
                           bool lowCrystalRule) {
    // Without a lower bound the walk never gives up early.
    return *Walk(crystalMHz, candidates, lowCrystalRule, std::nullopt);
}

std::optional<BaudChoice> computeNextRate(double crystalMHz,
                                          std::span<const uint32_t> candidates,
                                          uint32_t current, bool lowCrystalRule) {
    return Walk(crystalMHz, candidates, lowCrystalRule, current);
}

std::optional<BaudChoice> fitRate(double crystalMHz, uint32_t rate) {
    const auto fit = NearestReload(crystalMHz, rate);
    if (!fit || fit->first > kMaxRateErrorPercent || fit->second < 0) {
        return std::nullopt;
    }
    return BaudChoice{rate, fit->second, positionForRate(rate)};
}

std::vector<uint32_t> beyondListRates(double crystalMHz) {
    std::vector<uint32_t> rates;
    for (const uint32_t rate : kBeyondListRates) {
        if (fitRate(crystalMHz, rate)) {
            rates.push_back(rate);
        }
    }
    return rates;
}

bool isBeyondListRate(uint32_t rate) {
    for (const uint32_t r : kBeyondListRates) {
        if (r == rate) {
            return true;
        }
    }
    return false;
}

std::string formatReload(int32_t reload) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(reload));
    return text;
}

}  // namespace tessel
