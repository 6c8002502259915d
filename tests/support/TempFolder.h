#pragma once
// Scratch folders for tests.

#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/Paths.h"

namespace tessel::test {

inline std::string TempDir() {
    std::string why;
    std::string folder = MakePrivateTempDir("tessel-test-", &why);
    if (folder.empty()) throw std::runtime_error("no scratch folder: " + why);
    return folder;
}

// A scratch folder that goes with the object, also when an assertion ends the test early.
struct TempFolder : std::string {
    TempFolder() : std::string(TempDir()) {}
    ~TempFolder() { std::filesystem::remove_all(std::string(*this)); }
};

}  // namespace tessel::test
