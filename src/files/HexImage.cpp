#include "files/HexImage.h"

#include "platform/SafeFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace tessel {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

// Record types.
constexpr uint8_t kData = 0x00;
constexpr uint8_t kEndOfFile = 0x01;
constexpr uint8_t kExtendedSegment = 0x02;
constexpr uint8_t kStartSegment = 0x03;
constexpr uint8_t kExtendedLinear = 0x04;
constexpr uint8_t kStartLinear = 0x05;

// Byte count, two address bytes, type and checksum around the data.
constexpr size_t kRecordOverhead = 5;
constexpr size_t kMaxRecordBytes = kRecordOverhead + 255;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Numbers in messages are written the way the operator reads a listing: "3Ah", "0100h".
// An address past 64 KB takes as many digits as it needs ("10000h").
std::string HexNumber(uint32_t value, int digits) {
    while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
    std::string s(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) s[static_cast<size_t>(i)] = kDigits[value & 0xF];
    return s + "h";
}

std::string DescribeCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u > 0x20 && u < 0x7F) return std::string("'") + c + "'";
    if (u == ' ') return "a blank";
    return "byte " + HexNumber(u, 2);
}

bool IsTrailingBlank(char c) { return c == '\r' || c == ' ' || c == '\t'; }

class HexConverter {
public:
    HexConverter() : bytes_(kMaxHexImageBytes, 0xFF), filled_(kMaxHexImageBytes, false) {}

    // Empty when the line was taken; otherwise the reason it was refused.
    std::string TakeLine(std::string_view line) {
        while (!line.empty() && IsTrailingBlank(line.back())) line.remove_suffix(1);
        if (line.empty()) return {};
        if (line.front() != ':') return "the line does not start with ':'";

        const std::string_view digits = line.substr(1);
        for (size_t i = 0; i < digits.size(); ++i) {
            if (HexValue(digits[i]) < 0)
                return DescribeCharacter(digits[i]) + " at column " + std::to_string(i + 2) +
                       " is not a hex digit";
        }
        if (digits.size() % 2 != 0) return "odd number of hex digits (" + std::to_string(digits.size()) + ")";
        const size_t lineBytes = digits.size() / 2;
        if (lineBytes < kRecordOverhead) return "the record is too short";
        const size_t count = static_cast<size_t>(HexValue(digits[0]) * 16 + HexValue(digits[1]));
        if (lineBytes != count + kRecordOverhead)
            return "the byte count says " + std::to_string(count) + " data bytes, the line holds " +
                   std::to_string(lineBytes - kRecordOverhead);

        // The length test above bounds lineBytes to kMaxRecordBytes.
        std::array<uint8_t, kMaxRecordBytes> rec{};
        unsigned sum = 0;
        for (size_t i = 0; i < lineBytes; ++i) {
            rec[i] = static_cast<uint8_t>(HexValue(digits[2 * i]) * 16 + HexValue(digits[2 * i + 1]));
            if (i + 1 < lineBytes) sum += rec[i];
        }
        const uint8_t given = rec[lineBytes - 1];
        const auto needed = static_cast<uint8_t>(0x100 - (sum & 0xFF));
        if (given != needed)
            return "checksum is " + HexNumber(given, 2) + ", the record's bytes need " + HexNumber(needed, 2);

        const uint32_t address = (uint32_t{rec[1]} << 8) | rec[2];
        const uint8_t type = rec[3];
        const uint8_t* data = rec.data() + 4;
        switch (type) {
            case kData: return TakeData(address, data, count);
            case kEndOfFile:
                if (count != 0) return "end-of-file record with a byte count of " + std::to_string(count);
                ended_ = true;
                return {};
            case kExtendedSegment:
            case kExtendedLinear: {
                if (count != 2)
                    return "an extended address record needs 2 data bytes, this one has " + std::to_string(count);
                const uint32_t value = (uint32_t{data[0]} << 8) | data[1];
                // The data records that follow lie at their full address: a segment's base is
                // its value times 16, a linear record gives the upper 16 bits. Whether they land
                // inside 64 KB is judged byte by byte, never by wrapping them onto low offsets.
                base_ = type == kExtendedSegment ? value << 4 : value << 16;
                return {};
            }
            case kStartSegment:
            case kStartLinear:
                // Where a program starts is for the chip's reset, not for the image.
                if (count != 4)
                    return "a start address record needs 4 data bytes, this one has " + std::to_string(count);
                return {};
            default: return "unknown record type " + HexNumber(type, 2);
        }
    }

    bool Ended() const { return ended_; }

    void MoveImageTo(std::vector<uint8_t>* image) {
        bytes_.resize(end_);
        *image = std::move(bytes_);
    }
    void MoveDefinedTo(std::vector<bool>* defined) {
        filled_.resize(end_);
        *defined = std::move(filled_);
    }

private:
    std::string TakeData(uint32_t offset, const uint8_t* data, size_t count) {
        const uint64_t address = uint64_t{base_} + offset;
        if (address + count > kMaxHexImageBytes)
            return "data runs past FFFFh (" + std::to_string(count) + " bytes from " +
                   HexNumber(static_cast<uint32_t>(address), 4) + ")";
        for (size_t i = 0; i < count; ++i) {
            const size_t at = static_cast<size_t>(address) + i;
            // Two different bytes for one address mean the file is not one program.
            if (filled_[at] && bytes_[at] != data[i])
                return "address " + HexNumber(static_cast<uint32_t>(at), 4) + " already holds " +
                       HexNumber(bytes_[at], 2) + ", this record gives " + HexNumber(data[i], 2);
            bytes_[at] = data[i];
            filled_[at] = true;
        }
        end_ = std::max<size_t>(end_, static_cast<size_t>(address + count));
        return {};
    }

    std::vector<uint8_t> bytes_;
    uint32_t base_ = 0;
    std::vector<bool> filled_;
    size_t end_ = 0;
    bool ended_ = false;
};

std::string LineError(const std::string& displayName, size_t line, const std::string& reason) {
    return displayName + ": line " + std::to_string(line) + ": " + reason;
}


void AppendByte(std::string& out, uint8_t b) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
}

void AppendRecord(std::string& out, uint8_t type, uint16_t address, std::span<const uint8_t> data) {
    const auto count = static_cast<uint8_t>(data.size());
    unsigned sum = count + (address >> 8) + (address & 0xFF) + type;
    out += ':';
    AppendByte(out, count);
    AppendByte(out, static_cast<uint8_t>(address >> 8));
    AppendByte(out, static_cast<uint8_t>(address & 0xFF));
    AppendByte(out, type);
    for (uint8_t b : data) {
        AppendByte(out, b);
        sum += b;
    }
    AppendByte(out, static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    out += '\n';
}

}  // namespace

bool HasExtension(const std::string& path, std::string_view wanted) {
    // extension() looks at the last component only and treats a leading dot as part of the name.
    const std::string ext = std::filesystem::path(path).extension().string();
    if (ext.size() != wanted.size()) return false;
    for (size_t i = 0; i < ext.size(); ++i) {
        char c = ext[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != wanted[i]) return false;
    }
    return true;
}

bool IsHexFile(const std::string& path) { return HasExtension(path, ".hex"); }

namespace {

bool Convert(std::string_view text, const std::string& displayName, std::vector<uint8_t>* image,
             std::vector<bool>* defined, std::string* error) {
    image->clear();
    if (defined) defined->clear();
    HexConverter converter;
    size_t lineNumber = 0;
    size_t endLine = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t nl = text.find('\n', pos);
        const size_t stop = nl == std::string_view::npos ? text.size() : nl;
        ++lineNumber;
        const std::string_view line = text.substr(pos, stop - pos);
        pos = stop + 1;
        if (endLine != 0) {
            // Two files joined end to end would otherwise lose their second half unnoticed.
            // Blank lines, and the end-of-text mark some old editors add, are no content.
            if (line.find_first_not_of(" \t\r\f\v\x1a") == std::string_view::npos) continue;
            *error = LineError(displayName, lineNumber,
                               std::string(line.find(':') == std::string_view::npos ? "text" : "a record") +
                                   " after the end-of-file record on line " + std::to_string(endLine));
            return false;
        }
        const std::string reason = converter.TakeLine(line);
        if (!reason.empty()) {
            *error = LineError(displayName, lineNumber, reason);
            return false;
        }
        if (converter.Ended()) endLine = lineNumber;
    }
    if (!converter.Ended()) {
        // Programming the part that arrived would leave the chip with half a program.
        *error = LineError(displayName, std::max<size_t>(lineNumber, 1),
                           "no end-of-file record (the file is truncated)");
        return false;
    }
    if (defined) converter.MoveDefinedTo(defined);
    converter.MoveImageTo(image);
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string Bytes(uint64_t n) { return std::to_string(n) + " bytes"; }

}  // namespace

bool ImageData::AnyDefined(size_t from, size_t n) const {
    if (from >= bytes.size()) return false;
    const size_t to = std::min(bytes.size(), from + n);
    if (defined.empty()) return to > from;
    for (size_t k = from; k < to; ++k)
        if (defined[k]) return true;
    return false;
}

size_t ImageData::DefinedCount() const {
    if (defined.empty()) return bytes.size();
    return static_cast<size_t>(std::count(defined.begin(), defined.end(), true));
}

namespace {
// The length of the UTF-8 sequence at `at`, or 0 when it is not a valid one.
size_t Utf8Length(std::span<const uint8_t> b, size_t at) {
    const uint8_t c = b[at];
    size_t n = 0;
    uint32_t min = 0;
    if (c >= 0xC2 && c <= 0xDF) n = 2, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, min = 0x10000;
    else return 0;
    if (at + n > b.size()) return 0;
    uint32_t cp = c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        if ((b[at + k] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (b[at + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}
}  // namespace

namespace {
// A Motorola S-record file: its first non-blank line is 'S', a record type digit and hex digits.
bool LooksLikeSRecord(std::string_view text) {
    const size_t at = text.find_first_not_of(" \t\r\n\f\v");
    if (at == std::string_view::npos || text[at] != 'S') return false;
    const size_t end = std::min(text.find_first_of("\r\n", at), text.size());
    const std::string_view line = text.substr(at + 1, end - at - 1);
    return line.size() >= 5 && line[0] >= '0' && line[0] <= '9' &&
           std::all_of(line.begin(), line.end(), [](char c) { return HexValue(c) >= 0; });
}
}  // namespace

ContentKind ClassifyContent(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return ContentKind::Empty;
    if (LooksLikeSRecord(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())))
        return ContentKind::SRecord;
    if (bytes.size() >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F')
        return ContentKind::Elf;
    for (size_t at = 0; at < bytes.size();) {
        const uint8_t c = bytes[at];
        if (c >= 0x80) {
            const size_t n = Utf8Length(bytes, at);
            if (n == 0) return ContentKind::Binary;
            at += n;
            continue;
        }
        const bool printable = (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
        if (!printable) return ContentKind::Binary;
        ++at;
    }
    return ContentKind::Text;
}

const char* DescribeContent(ContentKind kind) {
    switch (kind) {
        case ContentKind::Empty: return "is empty";
        case ContentKind::Text: return "is text";
        case ContentKind::Elf: return "is an ELF object file";
        case ContentKind::SRecord: return "is a Motorola S-record file";
        case ContentKind::Binary: break;
    }
    return "is binary";
}

bool LooksLikeHex(std::string_view text) {
    for (char c : text) {
        if (IsBlank(c)) continue;
        return c == ':';
    }
    return false;
}

bool ConvertHexToImage(std::string_view text, const std::string& displayName, std::vector<uint8_t>* image,
                       std::string* error) {
    return Convert(text, displayName, image, nullptr, error);
}

bool ConvertHexToImage(std::string_view text, const std::string& displayName, ImageData* image,
                       std::string* error) {
    return Convert(text, displayName, &image->bytes, &image->defined, error);
}

ImageReadStatus ReadImageFile(const std::string& path, ImageData* image, std::string* error, ImageFormat format) {
    image->bytes.clear();
    image->defined.clear();
    const uint64_t limit = format == ImageFormat::Binary ? kMaxBinaryImageBytes : kMaxHexTextBytes;
    WholeFile file = ReadWholeFile(path, limit);
    switch (file.status) {
        case WholeFile::Status::Read: break;
        case WholeFile::Status::CantOpen:
            *error = file.error;
            return ImageReadStatus::CantOpen;
        case WholeFile::Status::NotRegular:
            *error = path + ": is " + file.kind + ", not an image file";
            return ImageReadStatus::CantOpen;
        case WholeFile::Status::TooLarge:
            *error = path + ": " + Bytes(file.size) + " is larger than any image (at most " +
                     (format == ImageFormat::Binary ? Bytes(kMaxBinaryImageBytes) + " of binary"
                                                    : Bytes(kMaxHexTextBytes) + " of HEX text") +
                     ")";
            return ImageReadStatus::TooLarge;
    }
    std::vector<uint8_t> bytes = std::move(file.bytes);

    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (format != ImageFormat::Binary && LooksLikeSRecord(text)) {
        *error = path + ": Motorola S-record files are not supported: convert to Intel HEX";
        return ImageReadStatus::NotFirmware;
    }
    bool hex = format == ImageFormat::Hex;
    if (format == ImageFormat::Auto) {
        // The name decides where it says something: a binary file may well begin with 3Ah.
        hex = !HasExtension(path, ".bin") && LooksLikeHex(text);
        if (!hex && IsHexFile(path)) {
            // Programming a file the operator believes to be HEX as raw bytes would put
            // something else on the chip than what they meant.
            *error = path + ": the name says Intel HEX, but the file does not start with a ':' record";
            return ImageReadStatus::BadHex;
        }
    }
    if (!hex && format == ImageFormat::Auto) {
        if (const ContentKind kind = ClassifyContent(bytes); kind != ContentKind::Binary) {
            *error = path + ": the file " + DescribeContent(kind) + ", not a firmware image";
            return ImageReadStatus::NotFirmware;
        }
    }
    if (!hex) {
        if (bytes.size() > kMaxBinaryImageBytes) {
            *error = path + ": " + Bytes(bytes.size()) + " is larger than any image (at most " +
                     Bytes(kMaxBinaryImageBytes) + " of binary)";
            return ImageReadStatus::TooLarge;
        }
        image->bytes = std::move(bytes);
        return ImageReadStatus::Ok;
    }
    return ConvertHexToImage(text, path, image, error) ? ImageReadStatus::Ok : ImageReadStatus::BadHex;
}

ImageReadStatus ReadImageFile(const std::string& path, std::vector<uint8_t>* image, std::string* error,
                              ImageFormat format) {
    ImageData data;
    const ImageReadStatus status = ReadImageFile(path, &data, error, format);
    *image = std::move(data.bytes);
    return status;
}

std::string FormatIntelHex(std::span<const uint8_t> data, uint32_t firstAddress) {
    constexpr size_t kPerRecord = 16;
    std::string out;
    out.reserve(data.size() / kPerRecord * 44 + 64);
    uint64_t address = firstAddress;
    uint32_t page = 0;  // the upper address that readers assume before any type-04 record
    size_t i = 0;
    while (i < data.size()) {
        const auto upper = static_cast<uint32_t>((address >> 16) & 0xFFFF);
        if (upper != page) {
            const std::array<uint8_t, 2> value{static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)};
            AppendRecord(out, kExtendedLinear, 0, value);
            page = upper;
        }
        const auto low = static_cast<uint16_t>(address & 0xFFFF);
        const size_t n = std::min({kPerRecord, data.size() - i, size_t{0x10000} - low});
        AppendRecord(out, kData, low, data.subspan(i, n));
        i += n;
        address += n;
    }
    out += ":00000001FF\n";
    return out;
}

namespace {
bool WriteText(const std::string& path, const std::string& text, std::string* error) {
    return WriteFileSafely(path, text, error, FileMode::KeepExisting);
}
}  // namespace

bool WriteIntelHexFile(const std::string& path, std::span<const uint8_t> data, uint32_t firstAddress,
                       std::string* error) {
    return WriteText(path, FormatIntelHex(data, firstAddress), error);
}

std::string FormatIntelHex(const ImageData& image) {
    if (image.Dense()) return FormatIntelHex(image.bytes, 0);
    std::string out;
    const std::span<const uint8_t> all(image.bytes);
    size_t at = 0;
    while (at < image.bytes.size()) {
        if (!image.IsDefined(at)) {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < image.bytes.size() && image.IsDefined(end)) ++end;
        std::string run = FormatIntelHex(all.subspan(at, end - at), static_cast<uint32_t>(at));
        run.resize(run.size() - std::strlen(":00000001FF\n"));
        out += run;
        at = end;
    }
    out += ":00000001FF\n";
    return out;
}

bool WriteIntelHexFile(const std::string& path, const ImageData& image, std::string* error) {
    return WriteText(path, FormatIntelHex(image), error);
}

}  // namespace tessel
