#include "platform/CalendarTime.h"

namespace tessel {

// The C runtime's own calls take their arguments the other way round from POSIX's _r ones.
std::tm LocalTimeOf(std::time_t t) {
    std::tm tm{};
    localtime_s(&tm, &t);
    return tm;
}

std::tm UtcTimeOf(std::time_t t) {
    std::tm tm{};
    gmtime_s(&tm, &t);
    return tm;
}

}  // namespace tessel
