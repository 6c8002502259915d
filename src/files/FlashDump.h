#pragma once
// The hex-dump text that a text save writes and that a print puts on paper, and the splitting
// of the print text into pages. The core never draws: the printing front end hands in a
// callback that measures how tall a piece of text comes out in its page width and font, and
// the pages are chosen from those measurements alone.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessel {

// Bytes shown on one dump line, and the length of a full line with its line feed:
// "0100 - 010F  FF FF FF FF FF FF FF FF - FF FF FF FF FF FF FF FF\n".
inline constexpr size_t kDumpLineBytes = 16;
inline constexpr size_t kDumpLineLength = 63;

// The text file of a save. One line per full 16 bytes at address a (startAddress + 16 x line):
// "%04X - %04X  " with a and a + 15, then "%02X %02X %02X %02X %02X %02X %02X %02X - " and
// "%02X %02X %02X %02X %02X %02X %02X %02X\n". A rest of r < 16 bytes gives one last line
// without a line feed: "%04X - %04X  " (the rest's first and last address), each byte as
// "%02X ", and "- " after the eighth byte when r >= 8.
// highWindow: startAddress is an offset inside the upper 64 KB window of an external flash, and
// every address is written as "1%04X" so that the operator reads the 17-bit address.
// Addresses are written as printf's "%04X" would: at least four digits, more when needed.
std::string FormatSaveText(std::span<const uint8_t> data, uint32_t startAddress, bool highWindow);

// The text of a print: the full lines of FormatSaveText, always in the "%04X - %04X  " form; a
// rest of fewer than 16 bytes is not printed.
std::string FormatPrintText(std::span<const uint8_t> data, uint32_t startAddress);

// Height of `text` drawn with word wrap into the page's width, in the units of pageHeight.
// Expected to grow (never shrink) as characters are added to the end of the text.
using MeasureTextHeight = std::function<int(std::string_view text)>;

// Splits `text` into pages and returns the length of each in order; the lengths add up to
// text.size() (no pages for an empty text). Each page is the longest run of characters from
// the end of the previous page whose measured height is at most pageHeight, found by
// bisection: the whole rest is measured first (it is the last page when it fits), then the
// range between what fits and what does not is halved until the two meet, so a page costs
// about log2 of the rest's length measurements. Every page holds at least one character, so
// the split ends even when a single character is taller than the page.
// preferLineBreaks: a page cut at the largest fitting length usually ends inside a dump line,
// which leaves the start of an address range at the foot of one sheet and its bytes at the
// top of the next, and a reader can no longer match the bytes to their address. So, when the
// page does not end the text and holds a line feed, it is shortened to end just after its
// last line feed. A page without any line feed (one line taller than a sheet) keeps the
// bisection's length, as nothing better is possible.
std::vector<size_t> PaginateText(std::string_view text, int pageHeight, const MeasureTextHeight& measure,
                                 bool preferLineBreaks = true);

}  // namespace tessel
