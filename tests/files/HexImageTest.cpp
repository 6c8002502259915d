#include "files/HexImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "support/TempFolder.h"

namespace tessel {
namespace {

constexpr const char* kEnd = ":00000001FF\n";

// A well-formed record, for cases whose point is not the checksum; the literal lines in the
// tests below pin the checksum rule itself.
std::string Rec(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> b = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                              static_cast<uint8_t>(address), type};
    b.insert(b.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t x : b) sum += x;
    b.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    std::string s = ":";
    char hex[3];
    for (uint8_t x : b) {
        std::snprintf(hex, sizeof hex, "%02X", x);
        s += hex;
    }
    return s + "\n";
}

struct Converted {
    bool ok;
    std::vector<uint8_t> image;
    std::string error;
};

Converted Convert(const std::string& text) {
    Converted c;
    c.image = {0x55};  // must not survive either outcome
    c.ok = ConvertHexToImage(text, "prog.hex", &c.image, &c.error);
    return c;
}

std::vector<uint8_t> Ffs(size_t n) { return std::vector<uint8_t>(n, 0xFF); }

TEST(HexFileKind, FollowsTheFileNamesOwnLastExtension) {
    for (const char* hex : {"prog.hex", "PROG.HEX", "prog.Hex", "/home/op/v1.2/prog.hex", "my.prog.hex"})
        EXPECT_TRUE(IsHexFile(hex)) << hex;
    for (const char* other :
         {"v1.2/prog.bin", "v1.2/prog", "dir.hex/prog", "dir.hex/", "prog.hex.bak", "prog.hexx", "prog", ""})
        EXPECT_FALSE(IsHexFile(other)) << other;
}

// An image of `size` erased bytes with `bytes` placed from `at`.
std::vector<uint8_t> Placed(size_t size, std::initializer_list<std::pair<size_t, std::vector<uint8_t>>> parts) {
    std::vector<uint8_t> v = Ffs(size);
    for (const auto& [at, bytes] : parts) std::copy(bytes.begin(), bytes.end(), v.begin() + static_cast<long>(at));
    return v;
}

// Accepted files give the image up to their highest byte, with the gaps erased; a malformed
// line is refused by its number and reason, and leaves no image.
TEST(HexConversion, AcceptedFilesGiveTheImageAndMalformedLinesAreRefusedNamingTheLine) {
    const std::string good = ":0100000005FA\n";
    const struct {
        const char* why;
        std::string text;
        std::vector<uint8_t> image;
        std::string error = {};  // the line and the reason; empty: accepted
    } cases[] = {
        {"lower-case digits", ":04001000abcdef5a2b\n:00000001ff\n", Placed(0x14, {{0x10, {0xAB, 0xCD, 0xEF, 0x5A}}})},
        {"only the end record", kEnd, {}},
        {"high, middle, then low", std::string(":020020000102DB\n:020010000304E7\n:0100000005FA\n") + kEnd,
         Placed(0x22, {{0, {5}}, {0x10, {3, 4}}, {0x20, {1, 2}}})},
        {"up to FFFFh", Rec(0, 0xFFF0, std::vector<uint8_t>(16, 0x42)) + kEnd,
         Placed(0x10000, {{0xFFF0, std::vector<uint8_t>(16, 0x42)}})},
        {"CR LF, blank lines and trailing blanks",
         "\r\n:020100001234B7 \t\r\n\r\n   \n\t\n:0100000005FA\t\r\n:00000001FF\r\n",
         Placed(0x102, {{0, {5}}, {0x100, {0x12, 0x34}}})},
        {"no line end after the end record", ":0100000005FA\n:00000001FF", {5}},
        // Two files joined end to end must not lose their second half; blank lines may follow.
        {"blank lines after the end record", good + kEnd + "\r\n \n\x1a", {5}},
        {"a record after the end record", good + kEnd + "\n:0100000009F6\n", {}, "4: a record after the end-of-file record on line 2"},
        {"text after the end record", good + kEnd + "garbage\n", {}, "3: text after the end-of-file record on line 2"},
        {"the same byte twice", Rec(0, 0x10, {1, 2, 3}) + Rec(0, 0x11, {2, 3, 4}) + kEnd,
         Placed(0x14, {{0x10, {1, 2, 3, 4}}})},
        // Zero upper parts and start addresses change nothing.
        {"zero extended and start records",
         std::string(":020000040000FA\n:020000020000FC\n:0400000300000100F8\n:0400000500000100F6\n") +
             ":020100001234B7\n" + kEnd,
         Placed(0x102, {{0x100, {0x12, 0x34}}})},
        {"clash", Rec(0, 0x10, {1, 2, 3}) + Rec(0, 0x00, {9}) + Rec(0, 0x12, {7}) + kEnd, {},
         "3: address 0012h already holds 03h, this record gives 07h"},
        // An FFh written over an FFh gap is not a clash, but over data it is.
        {"data over FFh", Rec(0, 0x00, {0xFF}) + Rec(0, 0x00, {0x00}) + kEnd, {},
         "2: address 0000h already holds FFh, this record gives 00h"},
        {"no end record", ":020100001234B7\n" + good, {}, "2: no end-of-file record (the file is truncated)"},
        {"empty file", "", {}, "1: no end-of-file record (the file is truncated)"},
        // A type-01 record that carries data is not an end.
        {"end record with data", good + Rec(1, 0, {0}), {}, "2: end-of-file record with a byte count of 1"},
        {"checksum", good + ":020100001234B8\n" + kEnd, {}, "2: checksum is B8h, the record's bytes need B7h"},
        // Extended records place data at its full address (segment x 16 + offset, or the upper
        // 16 bits); anything past 64 KB is refused by its address, never folded onto low offsets.
        {"segment 0010h", Rec(2, 0, {0x00, 0x10}) + good + Rec(2, 0, {0, 0}) + Rec(0, 1, {7}) + kEnd,
         Placed(0x101, {{1, {7}}, {0x100, {5}}})},
        {"linear 0001h", ":020000040001F9\n" + good + kEnd, {}, "2: data runs past FFFFh (1 bytes from 10000h)"},
        {"segment 0FFFh", Rec(2, 0, {0x0F, 0xFF}) + Rec(0, 0x10, {1}) + kEnd, {},
         "2: data runs past FFFFh (1 bytes from 10000h)"},
        {"no colon", good + "0100000005FA\n" + kEnd, {}, "2: the line does not start with ':'"},
        {"letter g", good + good + ":01000000g5FA\n" + kEnd, {}, "3: 'g' at column 10 is not a hex digit"},
        {"inner blank", ":01000000 05FA\n" + std::string(kEnd), {}, "1: a blank at column 10 is not a hex digit"},
        {"control byte", std::string(":0100\x01") + "00005FA\n" + kEnd, {},
         "1: byte 01h at column 6 is not a hex digit"},
        {"odd digits", good + ":0100000005FA0\n" + kEnd, {}, "2: odd number of hex digits (13)"},
        {"too short", ":00000001\n" + std::string(kEnd), {}, "1: the record is too short"},
        {"count too big", ":0200000005F9\n" + std::string(kEnd), {},
         "1: the byte count says 2 data bytes, the line holds 1"},
        {"count too small", ":00000000050AF1\n" + std::string(kEnd), {},
         "1: the byte count says 0 data bytes, the line holds 2"},
        {"type 06", good + Rec(6, 0, {}) + kEnd, {}, "2: unknown record type 06h"},
        {"past FFFF", Rec(0, 0xFFF0, std::vector<uint8_t>(17, 0)) + kEnd, {},
         "1: data runs past FFFFh (17 bytes from FFF0h)"},
        {"short linear", Rec(4, 0, {0}) + kEnd, {},
         "1: an extended address record needs 2 data bytes, this one has 1"},
        {"short start", Rec(5, 0, {0, 0}) + kEnd, {},
         "1: a start address record needs 4 data bytes, this one has 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const Converted got = Convert(c.text);
        EXPECT_EQ(got.ok, c.error.empty()) << got.error;
        EXPECT_EQ(got.image, c.image);
        EXPECT_EQ(got.error, c.error.empty() ? "" : "prog.hex: line " + c.error);
    }
}

TEST(HexWriter, ExactTextWithLinearAddressRecordsAtEachSixtyFourKilobytes) {
    std::vector<uint8_t> data(17);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(FormatIntelHex(data, 0),
              ":10000000000102030405060708090A0B0C0D0E0F78\n"
              ":0100100010DF\n"
              ":00000001FF\n");
    EXPECT_EQ(FormatIntelHex({}, 0x1234), ":00000001FF\n");
    data.resize(16);
    EXPECT_EQ(FormatIntelHex(data, 0xFFF8),
              ":08FFF8000001020304050607E5\n"
              ":020000040001F9\n"
              ":0800000008090A0B0C0D0E0F9C\n"
              ":00000001FF\n");
    // Data that starts above the first page announces its page before the first record.
    EXPECT_EQ(FormatIntelHex(std::vector<uint8_t>{0x10}, 0x10010),
              ":020000040001F9\n"
              ":0100100010DF\n"
              ":00000001FF\n");
    // What it writes converts back: an offset as leading FFh, since images start at offset 0,
    // and a full 64 KB image exactly.
    std::mt19937 rng(7);
    std::vector<uint8_t> random(1000);
    for (uint8_t& b : random) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> full = random;
    full.resize(0x10000, 0x3C);
    for (const auto& [bytes, first] : {std::pair{random, 0u}, std::pair{random, 0xFC00u}, std::pair{full, 0u}}) {
        SCOPED_TRACE(first);
        const Converted c = Convert(FormatIntelHex(bytes, first));
        ASSERT_TRUE(c.ok) << c.error;
        std::vector<uint8_t> want = Ffs(first);
        for (uint8_t b : bytes) want.push_back(b);
        EXPECT_EQ(c.image, want);
    }
}

class HexFileTest : public testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& content) {
        const std::string path = dir_ + "/" + name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        return path;
    }
    static std::string ReadAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    test::TempFolder dir_;
};

TEST_F(HexFileTest, TheContentDecidesTheKindAndANameThatSaysHexMustHoldHex) {
    const std::string hexText = std::string(":020100001234B7\n") + kEnd;
    std::vector<uint8_t> image;
    std::string error;

    // HEX whatever the name: toolchains name it .ihx or .ihex, backups .hex.bak; leading
    // blank lines do not hide it.
    for (const char* name : {"PROG.HEX", "prog.ihx", "prog.ihex", "prog.hex.bak", "prog"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(ReadImageFile(Write(name, "\n  \r\n" + hexText), &image, &error), ImageReadStatus::Ok) << error;
        ASSERT_EQ(image.size(), 0x102u);
        EXPECT_EQ(image[0x100], 0x12);
    }
    // The operator can insist: the same text as raw bytes.
    ASSERT_EQ(ReadImageFile(Write("prog.ihx", hexText), &image, &error, ImageFormat::Binary), ImageReadStatus::Ok);
    EXPECT_EQ(std::string(image.begin(), image.end()), hexText);
    // Binary content is raw bytes, NULs included, unless the name promises HEX (refused below).
    const std::string binary("\x00\xFF\x02\n\x00", 5);
    ASSERT_EQ(ReadImageFile(Write("prog.bin", binary), &image, &error), ImageReadStatus::Ok);
    EXPECT_EQ(std::string(image.begin(), image.end()), binary);
}

// What a file defines, and what a written one reads back as.
TEST_F(HexFileTest, RecordsTellWhichBytesTheyDefineAndWrittenFilesReadBack) {
    // Two areas far apart, as a block-0 backup holds them.
    const std::string text = Rec(0, 0x0000, {1, 2}) + Rec(0, 0x2000, {3}) + kEnd;
    ImageData image;
    std::string error;
    ASSERT_EQ(ReadImageFile(Write("backup.hex", text), &image, &error), ImageReadStatus::Ok) << error;
    ASSERT_EQ(image.bytes.size(), 0x2001u);
    EXPECT_FALSE(image.Dense());
    EXPECT_EQ(image.DefinedCount(), 3u);
    for (const auto& [at, defined] : {std::pair{0, true}, {1, true}, {2, false}, {0x1FFF, false}, {0x2000, true}})
        EXPECT_EQ(image.IsDefined(static_cast<size_t>(at)), defined) << at;
    EXPECT_FALSE(image.AnyDefined(2, 0x1FFE));
    EXPECT_TRUE(image.AnyDefined(2, 0x1FFF));

    // Written back as HEX, the gaps stay gaps and the file reads back the same.
    const std::string again = dir_ + "/again.hex";
    ASSERT_TRUE(WriteIntelHexFile(again, image, &error)) << error;
    EXPECT_EQ(ReadAll(again), text);

    // Plain bytes from an address: the file replaces a longer one (what the text reads back as
    // is HexWriter's round trip).
    const std::vector<uint8_t> data = {0xDE, 0xAD, 0xBE, 0xEF};
    const std::string path = Write("out.hex", "old content that must go away, much longer than the new text...");
    ASSERT_TRUE(WriteIntelHexFile(path, data, 0x0010, &error)) << error;
    EXPECT_EQ(ReadAll(path), FormatIntelHex(data, 0x0010));
    const std::string nowhere = dir_ + "/no-such-folder/out.hex";
    EXPECT_FALSE(WriteIntelHexFile(nowhere, data, 0, &error));
    EXPECT_EQ(error, nowhere + ": No such file or directory");
}

// What cannot be an image is refused, naming the file and why, and leaves no image: what is no
// regular file (neither a FIFO without a writer nor an endless device is waited on or read),
// what fits no area (HEX text may be longer than its image, but not without bound: the size
// alone decides), and what the name or the operator says is HEX but is not.
TEST_F(HexFileTest, OnlyRegularFilesOfAPossibleSizeAreRead) {
    using enum ImageFormat;
    using enum ImageReadStatus;
    const std::string fifo = dir_ + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = Write("big.bin", std::string(0x10001, '\xA5'));
    const std::string huge = Write("huge.hex", ":");
    ASSERT_EQ(truncate(huge.c_str(), static_cast<off_t>(kMaxHexTextBytes + 1)), 0);
    const std::string binary("\x00\xFF\x02\n\x00", 5);
    const std::string tooBig = ": 65537 bytes is larger than any image (at most 65536 bytes of binary)";
    const struct {
        std::string path;
        ImageFormat format;
        ImageReadStatus status;
        std::string error;  // after the path
    } refused[] = {
        {dir_ + "/none.hex", Auto, CantOpen, ": No such file or directory"},
        {dir_, Auto, CantOpen, ": is a folder, not an image file"},
        {fifo, Auto, CantOpen, ": is a FIFO, not an image file"},
        {"/dev/zero", Auto, CantOpen, ": is a device, not an image file"},
        {big, Auto, TooLarge, tooBig},
        {big, Binary, TooLarge, tooBig},
        {huge, Auto, TooLarge,
         ": " + std::to_string(kMaxHexTextBytes + 1) + " bytes is larger than any image (at most " +
             std::to_string(kMaxHexTextBytes) + " bytes of HEX text)"},
        {Write("firmware.hex", binary), Auto, BadHex,
         ": the name says Intel HEX, but the file does not start with a ':' record"},
        {Write("data.bin", binary), Hex, BadHex, ": line 1: the line does not start with ':'"},
        // Text that starts like HEX but is not, never programmed as text.
        {Write("notes.txt", ":this is not a record\n"), Auto, BadHex, ": line 1: 't' at column 2 is not a hex digit"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.path);
        ImageData image;
        image.bytes = {0x55};
        std::string error;
        EXPECT_EQ(ReadImageFile(c.path, &image, &error, c.format), c.status);
        EXPECT_TRUE(image.bytes.empty());
        EXPECT_EQ(error, c.path + c.error);
    }
}

}  // namespace
// What a file that is not HEX plainly is: only binary may be firmware.
TEST(ImageContent, TextObjectFilesAndEmptyFilesAreToldFromBinary) {
    const struct {
        std::string bytes;
        ContentKind kind;
    } cases[] = {
        {"", ContentKind::Empty},
        {"# Title\r\n\tindented \xC3\xA9t\xC3\xA9 \xE2\x82\xAC\n", ContentKind::Text},
        {std::string("\x7F" "ELF\x01\x01", 6), ContentKind::Elf},
        {"\nS00600004844521B\nS1130000285F245F2212226A000424290008237C2A\n", ContentKind::SRecord},
        {"Some notes\nS1130000\n", ContentKind::Text},
        {std::string("\x02\x00\x30", 3), ContentKind::Binary},        // an 8051 long jump
        {"caf\xE9", ContentKind::Binary},                             // Latin-1: a UTF-8 sequence cut short
        {"\xED\xA0\x80", ContentKind::Binary},                        // a surrogate
        {"\xC0\xAF", ContentKind::Binary},                             // an over-long form
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> bytes(c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(ClassifyContent(bytes), c.kind) << testing::PrintToString(c.bytes);
    }
}

}  // namespace tessel
