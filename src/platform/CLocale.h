#pragma once
// The GUI toolkit switches the process to the user's locale, where "%f" and strtod would use a
// decimal comma. What must read the same whatever locale wrote it formats and parses its
// numbers under a CLocaleScope: the C locale, for the calling thread only, while it lives.

namespace tessel {

class CLocaleScope {
public:
    CLocaleScope();
    ~CLocaleScope();
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    void* previous_ = nullptr;  // the thread's locale before, when it was switched
};

}  // namespace tessel
