#pragma once
// A moment as a calendar date and time of day, for file names, logs and the window's clock.

#include <ctime>

namespace tessel {

// `t` in the local time zone.
std::tm LocalTimeOf(std::time_t t);
// `t` in UTC.
std::tm UtcTimeOf(std::time_t t);

}  // namespace tessel
