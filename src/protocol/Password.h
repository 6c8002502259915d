#pragma once
// The boot loader's password: the text frames that verify it and write it. The loader answers
// either with C0h when it accepts; anything else, or silence, is a refusal.

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Primitives.h"

namespace tessel {

// The loader keeps at most this many characters.
inline constexpr size_t kMaxPasswordLength = 31;

inline constexpr const char kPasswordIncorrect[] = "Password is incorrect!";

// The loader compares bytes, one per character: both front ends send a password as Latin-1.
// Converts UTF-8 text to it; a character outside Latin-1 (or bytes that are no UTF-8) is
// refused with *error saying which, rather than changed into another password. The length
// limit applies to the result.
bool PasswordFromUtf8(std::string_view utf8, std::string* latin1, std::string* error);

// Where the password sector lies in block 1, by chip type (0 for an unknown type).
uint16_t PasswordAddress(int chipType);

// 0 accepted; -1 refused or not answered ("Password is incorrect!" has been shown, unless the
// device vanished: the port has said that instead).
int VerifyPassword(LinkContext& c, uint16_t address, const std::string& password);
// 0 written; -1 failed. The stub that owns block 1 must be running.
int WritePassword(LinkContext& c, uint16_t address, const std::string& password);

}  // namespace tessel
