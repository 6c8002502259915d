#include "platform/CalendarTime.h"

namespace tessel {

std::tm LocalTimeOf(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

std::tm UtcTimeOf(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

}  // namespace tessel
