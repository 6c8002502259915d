#include <gtest/gtest.h>

#include <string>

#include "platform/Sha256.h"

namespace tessel {
namespace {

// The standard test vectors: the empty message, "abc" and the 448-bit message, which fills
// one block so that its padding needs a second.
TEST(Sha256, StandardVectors) {
    const struct {
        const char* message;
        const char* digest;
    } kCases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& c : kCases) EXPECT_EQ(Sha256Hex(c.message), c.digest) << '"' << c.message << '"';
}

}  // namespace
}  // namespace tessel
