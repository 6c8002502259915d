#include "device/ChipCatalogue.h"

#include <gtest/gtest.h>

#include <string>

namespace tessel {
namespace {

struct GeometryCase {
    int code;
    const char* model;
    ChipFamily family;
    const char* flashSize;
    BlockGeometry block0;
    BlockGeometry block1;
    int32_t bslSectors;
    int32_t bslFirst;
    int32_t bslLast;
    std::optional<uint16_t> bslEntry;
};

class ChipGeometry : public testing::TestWithParam<GeometryCase> {};

TEST_P(ChipGeometry, MatchesTheCatalogue) {
    const GeometryCase& c = GetParam();
    SCOPED_TRACE(c.code);
    const ChipInfo& chip = LookupChip(c.code);
    EXPECT_STREQ(chip.model, c.model);
    EXPECT_EQ(chip.family, c.family);
    EXPECT_EQ(FamilyOf(c.code), c.family);
    EXPECT_STREQ(chip.flashSizeText, c.flashSize);
    EXPECT_EQ(chip.block[0], c.block0);
    EXPECT_EQ(chip.block[1], c.block1);
    EXPECT_EQ(chip.bslSectorCount, c.bslSectors);
    EXPECT_EQ(chip.bslFirstAddress, c.bslFirst);
    EXPECT_EQ(chip.bslLastAddress, c.bslLast);
    EXPECT_EQ(chip.bslEntryAddress, c.bslEntry);
}

constexpr BlockGeometry G(int32_t n, int32_t size, int32_t start) {
    return {n, size, n * size, n, start};
}

INSTANTIATE_TEST_SUITE_P(
    AllCodes, ChipGeometry,
    testing::Values(
        GeometryCase{1, "NX31A16", ChipFamily::A, "16+4 KB", G(128, 128, 0), G(64, 64, 0xF000), 16, 0xF000, 0xF3FF,
                     0xF080},
        GeometryCase{2, "NX31A32", ChipFamily::A, "32+4 KB", G(256, 128, 0), G(64, 64, 0xF000), 16, 0xF000, 0xF3FF,
                     0xF080},
        GeometryCase{3, "NX31H64D", ChipFamily::HL64D, "64+8 KB", G(512, 128, 0), G(64, 128, 0), 9, 0, 0x047F, 0x02CA},
        GeometryCase{4, "NX31L64D", ChipFamily::HL64D, "64+8 KB", G(512, 128, 0), G(64, 128, 0), 9, 0, 0x047F, 0x02CA},
        GeometryCase{5, "NX31H32B", ChipFamily::HL32B, "32+8 KB", G(256, 128, 0), G(64, 128, 0xE000), 9, 0xE000, 0xE47F,
                     0xE2CA},
        GeometryCase{6, "NX31L32B", ChipFamily::HL32B, "32+8 KB", G(256, 128, 0), G(64, 128, 0xE000), 9, 0xE000, 0xE47F,
                     0xE2CA},
        // Codes that detection never sets still get the last row's geometry and no loader.
        GeometryCase{0, "????????", ChipFamily::Unknown, "????????", G(512, 128, 0), G(64, 64, 0xF000), 0, 0, -1, {}},
        GeometryCase{7, "????????", ChipFamily::Unknown, "????????", G(512, 128, 0), G(64, 64, 0xF000), 0, 0, -1, {}}));

TEST(ChipCatalogue, ListsTheSixModelsInCodeOrderAndTheirNamesMapBackAndWhichNeedABlockSelect) {
    const auto chips = AllChips();
    ASSERT_EQ(chips.size(), 6u);
    for (size_t i = 0; i < chips.size(); ++i) {
        EXPECT_EQ(chips[i].code, static_cast<int>(i) + 1);
        EXPECT_EQ(ChipCodeForModel(chips[i].model), chips[i].code);
        EXPECT_EQ(static_cast<int>(ChipCodeOf(chips[i].code)), chips[i].code);
    }
    EXPECT_EQ(ChipCodeForModel("nx31a32"), 2);
    for (const char* bad : {"", "NX31A3", "NX31A32 ", "NX40F128", "????????"})
        EXPECT_EQ(ChipCodeForModel(bad), std::nullopt) << bad;
    EXPECT_STREQ(FamilyName(ChipFamily::HL64D), "H/L64D");
    EXPECT_STREQ(FamilyName(ChipFamily::HL32B), "H/L32B");
    // Block select is needed on the 64D always, on the 32B in internal memory mode only.
    const struct {
        ChipFamily family;
        bool hl, selectInternal, selectExternal;
    } families[] = {{ChipFamily::A, false, false, false}, {ChipFamily::HL64D, true, true, true},
                    {ChipFamily::HL32B, true, true, false}, {ChipFamily::Unknown, false, false, false}};
    for (const auto& f : families) {
        EXPECT_EQ(IsHLFamily(f.family), f.hl) << FamilyName(f.family);
        EXPECT_EQ(NeedsBlockSelect(f.family, kInternalMemory), f.selectInternal) << FamilyName(f.family);
        EXPECT_EQ(NeedsBlockSelect(f.family, kExternalMemory), f.selectExternal) << FamilyName(f.family);
    }
}

TEST(ChipCatalogue, BslWindowsHaveTheirExactEdgesInBlock1Only) {
    struct Edge {
        ChipFamily family;
        int block;
        int32_t address;
        bool inside;
    } edges[] = {
        // The first address past each window, and block 0's same addresses, are the session's
        // rows (DeviceSessionTest); these are the other edges.
        {ChipFamily::A, 1, 0xEFFF, false},     {ChipFamily::A, 1, 0xF000, true},     {ChipFamily::A, 1, 0xF3FF, true},
        {ChipFamily::HL32B, 1, 0xDFFF, false}, {ChipFamily::HL32B, 1, 0xE000, true}, {ChipFamily::HL32B, 1, 0xE47F, true},
        {ChipFamily::HL64D, 1, 0x0000, true},  {ChipFamily::HL64D, 1, 0x047F, true}, {ChipFamily::HL64D, 1, -1, false},
        // Block 0 of an H/L64D shares block 1's addresses, but there they are user flash.
        {ChipFamily::HL64D, 0, 0x0400, false}, {ChipFamily::Unknown, 1, 0xF000, false},
    };
    for (const Edge& e : edges)
        EXPECT_EQ(InBslWindow(e.family, e.block, e.address), e.inside)
            << FamilyName(e.family) << " block " << e.block << " " << std::hex << e.address;
}

TEST(RemapTexts, FollowStatusBits1And0PerFamilyAndIgnoreTheOthers) {
    const char* a[] = {"0 KByte", "1 KByte", "2 KByte", "4 KByte"};
    const char* hl[] = {"8 KByte", "0 KByte", "Block1 Invisible", "Block1 Invisible"};
    for (unsigned bits = 0; bits < 4; ++bits) {
        EXPECT_STREQ(RemapText(ChipFamily::A, bits), a[bits]) << bits;
        EXPECT_STREQ(RemapText(ChipFamily::HL32B, bits), hl[bits]) << bits;
        EXPECT_STREQ(RemapText(ChipFamily::Unknown, bits), "") << bits;
    }
    // The other bits of the status byte are the lock status and the double clock.
    EXPECT_STREQ(RemapText(ChipFamily::A, 0xFD), "1 KByte");
}

}  // namespace
}  // namespace tessel
