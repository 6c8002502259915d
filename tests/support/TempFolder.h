#pragma once
// Scratch folders for tests.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace tessel::test {

inline std::string TempDir() {
    char tmpl[] = "/tmp/tessel-test-XXXXXX";
    return mkdtemp(tmpl);
}

// A scratch folder that goes with the object, also when an assertion ends the test early.
struct TempFolder : std::string {
    TempFolder() : std::string(TempDir()) {}
    ~TempFolder() { std::filesystem::remove_all(std::string(*this)); }
};

}  // namespace tessel::test
