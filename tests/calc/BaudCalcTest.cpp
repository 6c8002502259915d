#include "calc/BaudCalc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace tessel {
namespace {

// The best rate for a crystal (from rate 0), and the next rate down from the current one. The
// low-crystal rule holds only for the communication setup, not for the external-memory search.
TEST(BaudCalc, BestRateForCommonCrystals) {
    const struct {
        double crystalMHz;
        uint32_t current;
        uint32_t rate;
        int32_t reload;
        const char* reloadText;
        bool extMem = false;
    } table[] = {
        {11.0592, 0, 38400, 65527, "FFF7"}, {16.0, 0, 38400, 65523, "FFF3"},
        // 38400 is barred below 2.005 MHz; 19200 and 9600 miss by 8.51 % and 7.0 %.
        {2.0, 0, 4800, 65523, "FFF3"},      {1.0, 0, 2400, 65523, "FFF3"},
        // Both neighbours miss 38400 by the same 2.86 %: the faster reload wins the tie.
        {21.4866, 0, 38400, 65519, "FFEF"},
        {11.0592, 38400, 19200, 65518, "FFEE"},
        // A typed, non-standard rate: the next standard rate below it.
        {11.0592, 10000, 9600, 65500, "FFDC"},
        // Above the fastest candidate, 38400 itself is the next one down.
        {11.0592, 50000, 38400, 65527, "FFF7"},
        // At 1.25 MHz reload 65535 makes 39062 baud (1.7 %), so only the rule keeps 38400 out.
        {1.25, 0, 19200, 65534, "FFFE"},
        {1.25, 0, 38400, 65535, "FFFF", true},
        // At 1.0 MHz the external-memory search drops 38400 for the reload limit instead.
        {1.0, 0, 2400, 65523, "FFF3", true},
    };
    for (const auto& e : table) {
        SCOPED_TRACE(testing::Message() << e.crystalMHz << " MHz from " << e.current);
        const std::optional<BaudChoice> choice =
            e.current  ? computeNextRate(e.crystalMHz, kCommSetupCandidates, e.current)
            : e.extMem ? computeBestRate(e.crystalMHz, kExtMemCandidates, false)
                       : computeBestRate(e.crystalMHz, kCommSetupCandidates, true);
        ASSERT_TRUE(choice.has_value());
        EXPECT_EQ(choice->rate, e.rate);
        EXPECT_EQ(choice->reload, e.reload);
        EXPECT_EQ(choice->position, positionForRate(e.rate));
        EXPECT_EQ(formatReload(choice->reload), e.reloadText);
    }
}

TEST(BaudCalc, NextBaudChainsDownToSixHundredThenStops) {
    std::vector<uint32_t> seen;
    uint32_t current = computeBestRate(11.0592, kCommSetupCandidates, true).rate;
    while (const std::optional<BaudChoice> next = computeNextRate(11.0592, kCommSetupCandidates, current)) {
        ASSERT_LT(next->rate, current);
        seen.push_back(next->rate);
        current = next->rate;
    }
    EXPECT_EQ(seen, (std::vector<uint32_t>{19200, 9600, 4800, 2400, 1200, 600}));
    // Nothing slower than 600 exists, and a typed rate at or below it finds nothing either.
    for (uint32_t slow : {600u, 300u, 0u}) EXPECT_FALSE(computeNextRate(11.0592, kCommSetupCandidates, slow)) << slow;
}

TEST(BaudCalc, ListMappingsAndFallbacks) {
    for (int position = 0; position < 7; ++position) {
        EXPECT_EQ(positionForRate(rateForPosition(position)), position);
        EXPECT_EQ(std::to_string(rateForPosition(position)), rateTextForPosition(position));
    }
    for (const uint32_t offList : {300u, 0u, 57600u, 38401u}) {
        EXPECT_EQ(positionForRate(offList), 0) << offList;
    }
    for (const int outside : {-1, 7, 100}) {
        EXPECT_EQ(rateForPosition(outside), 38400u) << outside;
        EXPECT_STREQ(rateTextForPosition(outside), "38400") << outside;
    }
    // Only the external-memory search can end on 300 (for a crystal far below the
    // validated range); the drop-down list has no place for it.
    const BaudChoice slowest = computeBestRate(0.1, kExtMemCandidates, false);
    EXPECT_EQ(slowest.rate, 300u);
    EXPECT_EQ(slowest.position, 0);
}

// Beyond the documented list a rate is offered only where Timer 2 makes it within the same
// 3 % as the listed ones: 11.0592 and 22.1184 MHz make both exactly, 24 MHz makes 57600 with
// r + 1 (0.16 %) but 115200 only 7 % off, 12 MHz neither.
TEST(BaudCalc, RatesBeyondTheListOnlyWhereTheCrystalMakesThem) {
    const struct {
        double crystal;
        std::vector<uint32_t> rates;
    } rows[] = {{11.0592, {57600, 115200}}, {22.1184, {57600, 115200}}, {24.0, {57600}}, {12.0, {}}, {1.0, {}}};
    for (const auto& row : rows) EXPECT_EQ(beyondListRates(row.crystal), row.rates) << row.crystal;
    const auto fit = fitRate(11.0592, 115200);
    ASSERT_TRUE(fit);
    EXPECT_EQ(fit->reload, 65533);
    EXPECT_EQ(rateForReload(11.0592, fit->reload), 115200);
    EXPECT_TRUE(isBeyondListRate(57600));
    EXPECT_FALSE(isBeyondListRate(38400));
}

TEST(BaudCalc, ProducedRatesAndErrorsAndInputsOutsideTheValidatedRangeStayDefined) {
    // 16 MHz: truncation lands on the worse reload (35714 baud, 6.99 %); r + 1 makes 38461.
    EXPECT_EQ(reloadForRate(16.0, 38400), 65522);
    EXPECT_EQ(rateForReload(16.0, 65522), 35714);
    EXPECT_EQ(rateForReload(16.0, 65523), 38461);
    EXPECT_NEAR(rateErrorPercent(38400, 35714), 6.9948, 1e-4);
    // The error is measured on the wanted rate, from either side.
    EXPECT_DOUBLE_EQ(rateErrorPercent(4800, 4807), rateErrorPercent(4800, 4793));
    // Every candidate hits the reload limit: the reload is never replaced.
    const BaudChoice tooSlow = computeBestRate(0.01, kCommSetupCandidates, true);
    EXPECT_EQ(tooSlow.rate, 600u);
    EXPECT_EQ(tooSlow.reload, 0xFFFF);
    // No candidate reached at all.
    EXPECT_EQ(computeBestRate(11.0592, {}, true).rate, 0u);
    // Division by zero and results beyond int32 saturate rather than trap.
    EXPECT_EQ(reloadForRate(11.0592, 0), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(rateForReload(11.0592, 65536), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(rateForReload(1e12, 0), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(formatReload(0x12), "0012");
}

}  // namespace
}  // namespace tessel
