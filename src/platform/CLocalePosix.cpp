#include "platform/CLocale.h"

#include <clocale>
#include <locale.h>

namespace tessel {

CLocaleScope::CLocaleScope() {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (cLocale != static_cast<locale_t>(0)) {
        previous_ = uselocale(cLocale);
    }
}

CLocaleScope::~CLocaleScope() {
    if (previous_ != nullptr) {
        uselocale(static_cast<locale_t>(previous_));
    }
}

}  // namespace tessel
