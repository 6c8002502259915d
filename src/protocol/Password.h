#pragma once
// The boot loader's password: the text frames that verify it and write it. The loader answers
// either with C0h when it accepts; anything else, or silence, is a refusal.

#include <cstdint>
#include <string>

#include "protocol/Primitives.h"

namespace tessel {

// The loader keeps at most this many characters.
inline constexpr size_t kMaxPasswordLength = 31;

inline constexpr const char kPasswordIncorrect[] = "Password is incorrect!";

// Where the password sector lies in block 1, by chip type (0 for an unknown type).
uint16_t PasswordAddress(int chipType);

// 0 accepted; -1 refused or not answered ("Password is incorrect!" has been shown).
int VerifyPassword(LinkContext& c, uint16_t address, const std::string& password);
// 0 written; -1 failed. The stub that owns block 1 must be running.
int WritePassword(LinkContext& c, uint16_t address, const std::string& password);

}  // namespace tessel
