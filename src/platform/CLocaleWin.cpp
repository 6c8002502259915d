#include "platform/CLocale.h"

#include <clocale>
#include <locale.h>
#include <string>

namespace tessel {

namespace {
// The C runtime has no uselocale: the calling thread is given a locale of its own, set to
// C, and both the locale and the thread's mode are put back afterwards.
struct Previous {
    int mode;
    std::string locale;
};
}  // namespace

CLocaleScope::CLocaleScope() {
    const int mode = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
    const char* current = std::setlocale(LC_ALL, nullptr);
    if (mode == -1 || current == nullptr) return;
    auto* previous = new Previous{mode, current};
    if (std::setlocale(LC_ALL, "C") == nullptr) {
        _configthreadlocale(mode);
        delete previous;
        return;
    }
    previous_ = previous;
}

CLocaleScope::~CLocaleScope() {
    auto* previous = static_cast<Previous*>(previous_);
    if (previous == nullptr) return;
    std::setlocale(LC_ALL, previous->locale.c_str());
    _configthreadlocale(previous->mode);
    delete previous;
}

}  // namespace tessel
