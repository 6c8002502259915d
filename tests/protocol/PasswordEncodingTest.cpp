#include <gtest/gtest.h>

#include <string>

#include "protocol/Password.h"
#include "ui/FlashDialogs.h"

namespace tessel {
namespace {

TEST(PasswordEncoding, Latin1CharactersBecomeOneByteEachAndOthersAreRefused) {
    std::string out, error;
    ASSERT_TRUE(PasswordFromUtf8("p\xC3\xA4ssw\xC3\xB6rd", &out, &error)) << error;
    EXPECT_EQ(out, "p\xE4ssw\xF6rd");
    ASSERT_TRUE(PasswordFromUtf8("\xC2\xA0\xC3\xBF" "A", &out, &error)) << error;  // NBSP, y-diaeresis
    EXPECT_EQ(out, "\xA0\xFF" "A");
    ASSERT_TRUE(PasswordFromUtf8("", &out, &error));
    EXPECT_EQ(out, "");

    // Outside Latin-1: refused and named, not turned into "?" or dropped.
    out = "unchanged";
    EXPECT_FALSE(PasswordFromUtf8("pass\xE2\x82\xAC", &out, &error));  // euro sign
    EXPECT_NE(error.find("\xE2\x82\xAC"), std::string::npos) << error;
    EXPECT_EQ(out, "unchanged");
    EXPECT_FALSE(PasswordFromUtf8("\xF0\x9F\x94\x91", &out, &error));  // a four-byte character
    // Not UTF-8 at all: a Latin-1 byte on its own, a cut sequence, an overlong ASCII "/".
    for (const char* bad : {"p\xE4ss", "ab\xC3", "\xC0\xAF"}) {
        EXPECT_FALSE(PasswordFromUtf8(bad, &out, &error)) << bad;
        EXPECT_NE(error.find("UTF-8"), std::string::npos) << error;
    }

    // The length limit counts characters after the conversion: 31 two-byte characters are 62
    // bytes of UTF-8 but 31 bytes on the wire, accepted.
    std::string utf8;
    for (int i = 0; i < 31; ++i) utf8 += "\xC3\xA9";
    PasswordVerifyDialog dialog;
    ASSERT_TRUE(PasswordFromUtf8(utf8, &dialog.password, &error));
    EXPECT_EQ(dialog.password.size(), 31u);
    EXPECT_EQ(dialog.PressOk(), OkOutcome::CloseOk);
    ASSERT_TRUE(PasswordFromUtf8(utf8 + "x", &dialog.password, &error));
    EXPECT_EQ(dialog.PressOk(), OkOutcome::KeepOpen);
}

}  // namespace
}  // namespace tessel
