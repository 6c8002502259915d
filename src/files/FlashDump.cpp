#include "files/FlashDump.h"

namespace tessel {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

// printf's "%0<minDigits>X": leading zeros up to minDigits, and every digit a wider value needs.
void AppendHex(std::string& out, uint32_t value, int minDigits) {
    char digits[8];
    int n = 0;
    do {
        digits[n++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    for (int i = n; i < minDigits; ++i) out += '0';
    while (n > 0) out += digits[--n];
}

void AppendAddress(std::string& out, uint32_t address, bool highWindow) {
    if (highWindow) out += '1';
    AppendHex(out, address, 4);
}

// "%04X - %04X  "
void AppendRange(std::string& out, uint32_t first, uint32_t last, bool highWindow) {
    AppendAddress(out, first, highWindow);
    out += " - ";
    AppendAddress(out, last, highWindow);
    out += "  ";
}

void AppendFullLines(std::string& out, std::span<const uint8_t> data, uint32_t startAddress, bool highWindow) {
    const size_t lines = data.size() / kDumpLineBytes;
    for (size_t line = 0; line < lines; ++line) {
        const uint32_t address = startAddress + static_cast<uint32_t>(line * kDumpLineBytes);
        AppendRange(out, address, address + static_cast<uint32_t>(kDumpLineBytes - 1), highWindow);
        const uint8_t* bytes = data.data() + line * kDumpLineBytes;
        for (size_t i = 0; i < kDumpLineBytes; ++i) {
            AppendHex(out, bytes[i], 2);
            if (i == 7)
                out += " - ";
            else if (i + 1 < kDumpLineBytes)
                out += ' ';
        }
        out += '\n';
    }
}

}  // namespace

std::string FormatSaveText(std::span<const uint8_t> data, uint32_t startAddress, bool highWindow) {
    std::string out;
    out.reserve((data.size() / kDumpLineBytes + 1) * kDumpLineLength);
    AppendFullLines(out, data, startAddress, highWindow);

    const size_t full = data.size() - data.size() % kDumpLineBytes;
    const std::span<const uint8_t> rest = data.subspan(full);
    if (rest.empty()) return out;
    const uint32_t restStart = startAddress + static_cast<uint32_t>(full);
    AppendRange(out, restStart, restStart + static_cast<uint32_t>(rest.size() - 1), highWindow);
    for (size_t i = 0; i < rest.size(); ++i) {
        AppendHex(out, rest[i], 2);
        out += ' ';
        if (i == 7) out += "- ";
    }
    return out;
}

std::string FormatPrintText(std::span<const uint8_t> data, uint32_t startAddress) {
    std::string out;
    out.reserve(data.size() / kDumpLineBytes * kDumpLineLength);
    AppendFullLines(out, data, startAddress, false);
    return out;
}

std::vector<size_t> PaginateText(std::string_view text, int pageHeight, const MeasureTextHeight& measure,
                                 bool preferLineBreaks) {
    std::vector<size_t> pages;
    size_t position = 0;
    while (position < text.size()) {
        const std::string_view rest = text.substr(position);
        size_t length = rest.size();
        if (measure(rest) > pageHeight) {
            // Invariant: `fits` characters fit (none trivially), `tooMany` do not; for a measure
            // that grows with the text, the largest fitting length lies in [fits, tooMany).
            size_t fits = 0;
            size_t tooMany = rest.size();
            while (tooMany - fits > 1) {
                const size_t middle = fits + (tooMany - fits) / 2;
                if (measure(rest.substr(0, middle)) <= pageHeight)
                    fits = middle;
                else
                    tooMany = middle;
            }
            length = fits > 0 ? fits : 1;
            if (preferLineBreaks) {
                const size_t lastFeed = rest.substr(0, length).rfind('\n');
                if (lastFeed != std::string_view::npos) length = lastFeed + 1;
            }
        }
        pages.push_back(length);
        position += length;
    }
    return pages;
}

}  // namespace tessel
