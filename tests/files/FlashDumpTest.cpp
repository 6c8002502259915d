#include "files/FlashDump.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

namespace tessel {
namespace {

std::vector<uint8_t> Counting(size_t count, uint8_t first = 0) {
    std::vector<uint8_t> data(count);
    for (size_t i = 0; i < count; ++i) data[i] = static_cast<uint8_t>(first + i);
    return data;
}

// --- the dump text ---------------------------------------------------------------------------

TEST(FlashDumpText, LinesAreExactWithUpperCaseDigitsTheRestHasNoLineFeedAndPrintsAreWholeLines) {
    const std::string full = "0200 - 020F  00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E 0F\n";
    const struct {
        std::vector<uint8_t> data;
        uint32_t start;
        std::string text;
        bool high = false;  // a high window's addresses, with their seventeenth bit
    } cases[] = {
        // Below eight bytes there is no separator; after exactly eight it still follows.
        {Counting(21), 0x0200, full + "0210 - 0214  10 11 12 13 14 "},
        {Counting(24), 0x0200, full + "0210 - 0217  10 11 12 13 14 15 16 17 - "},
        // With no full line before it, the rest starts at the start address.
        {Counting(9), 0x0008, "0008 - 0010  00 01 02 03 04 05 06 07 - 08 "},
        // The last line of block 1 ends at FFFFh, not past it.
        {Counting(16, 0xF0), 0xFFF0, "FFF0 - FFFF  F0 F1 F2 F3 F4 F5 F6 F7 - F8 F9 FA FB FC FD FE FF\n"},
        {std::vector<uint8_t>(21, 0xFF), 0xF010,
         "1F010 - 1F01F  FF FF FF FF FF FF FF FF - FF FF FF FF FF FF FF FF\n1F020 - 1F024  FF FF FF FF FF ", true},
        {{}, 0x0100, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatSaveText(c.data, c.start, c.high), c.text);
    EXPECT_EQ(full.size(), kDumpLineLength);

    // The printed text: the full lines only.
    const std::vector<uint8_t> data = Counting(53);
    EXPECT_EQ(FormatPrintText(data, 0x0400), FormatSaveText(std::span(data).first(48), 0x0400, false));
    EXPECT_EQ(FormatPrintText(Counting(15), 0x0400), "");
}

// --- pages ------------------------------------------------------------------------------------

// A page of fixed-width characters: each line feed ends a row, a row longer than `columns`
// wraps onto further rows; the height is rows x lineHeight. Counts its calls.
struct FakePage {
    size_t columns;
    int lineHeight;
    mutable int calls = 0;

    int Height(std::string_view text) const {
        ++calls;
        int rows = 0;
        while (!text.empty()) {
            const size_t end = text.find('\n');
            const size_t rowText = end == std::string_view::npos ? text.size() : end;
            rows += rowText == 0 ? 1 : static_cast<int>((rowText + columns - 1) / columns);
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        }
        return rows * lineHeight;
    }
    MeasureTextHeight Measure() const {
        return [this](std::string_view text) { return Height(text); };
    }
};

std::string DumpOfLines(size_t lines) { return FormatPrintText(Counting(lines * 16), 0x0000); }

// The largest fitting prefix by trying every length: what the bisection has to agree with.
std::vector<size_t> LinearPages(std::string_view text, int pageHeight, const FakePage& page, bool preferLineBreaks) {
    std::vector<size_t> pages;
    size_t position = 0;
    while (position < text.size()) {
        const std::string_view rest = text.substr(position);
        size_t length = 0;
        for (size_t k = 1; k <= rest.size(); ++k)
            if (page.Height(rest.substr(0, k)) <= pageHeight) length = k;
        if (length == 0) length = 1;
        if (preferLineBreaks && length < rest.size()) {
            const size_t feed = rest.substr(0, length).rfind('\n');
            if (feed != std::string_view::npos) length = feed + 1;
        }
        pages.push_back(length);
        position += length;
    }
    return pages;
}

void ExpectCoversExactly(const std::vector<size_t>& pages, std::string_view text) {
    EXPECT_EQ(std::accumulate(pages.begin(), pages.end(), size_t{0}), text.size());
    for (size_t length : pages) EXPECT_GT(length, 0u);
}

TEST(FlashDumpPages, AgreesWithTheLargestFittingPrefixFoundByTrying) {
    // Mixed line lengths, empty lines and a final line without a line feed; a page exactly as
    // tall as the sheet fits, and a line longer than a page is cut where the search cut it.
    const std::string text = "short\n\nA line long enough to wrap over a few rows of the page\nx\n" +
                             std::string(70, 'z') + "\nend";
    for (size_t columns : {7u, 13u, 30u}) {
        for (int height = 1; height <= 12; ++height) {
            for (bool prefer : {true, false}) {
                const FakePage page{columns, 1};
                EXPECT_EQ(PaginateText(text, height, page.Measure(), prefer), LinearPages(text, height, page, prefer))
                    << "columns " << columns << ", height " << height << ", prefer " << prefer;
            }
        }
    }
}

// When the whole rest fits, one measurement ends the search; a page smaller than one line
// still moves on, a character at a time.
TEST(FlashDumpPages, MeasurementsAreFewTheLastPageIsWholeAndATinyPageStillEnds) {
    const FakePage page{40, 10};
    EXPECT_EQ(PaginateText("ab\ncd", 100, page.Measure()), std::vector<size_t>{5});
    EXPECT_EQ(page.calls, 1);
    EXPECT_TRUE(PaginateText("", 100, page.Measure()).empty());
    EXPECT_EQ(page.calls, 1);
    const std::string two = DumpOfLines(2);
    for (bool prefer : {true, false})
        EXPECT_EQ(PaginateText(two, 5, page.Measure(), prefer), std::vector<size_t>(two.size(), 1));
    EXPECT_EQ(PaginateText("abc", 0, page.Measure()), (std::vector<size_t>{1, 1, 1}));

    // Over a full 64 KB dump, as a print of an external window gives, the measurements per
    // page grow with the logarithm of what is left.
    const std::string text = DumpOfLines(4096);
    const FakePage wide{70, 12};
    // Every measured piece starts where its page starts, so the calls can be told apart by page.
    std::map<size_t, size_t> callsAt;
    const auto pages = PaginateText(text, 12 * 60, [&](std::string_view piece) {
        ++callsAt[static_cast<size_t>(piece.data() - text.data())];
        return wide.Height(piece);
    });
    ExpectCoversExactly(pages, text);
    ASSERT_EQ(pages.size(), (4096 + 59) / 60);
    size_t position = 0;
    for (size_t length : pages) {
        const double rest = static_cast<double>(text.size() - position);
        EXPECT_LE(static_cast<double>(callsAt[position]), 2 * std::log2(rest) + 4) << "page at " << position;
        callsAt.erase(position);
        position += length;
    }
    EXPECT_TRUE(callsAt.empty()) << "a measurement did not start at a page start";
}

}  // namespace
}  // namespace tessel
