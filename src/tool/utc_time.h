// Time stamps as UTC calendar time, worked out arithmetically (no time
// zone, no platform conversion), before 1970 as after.
#pragma once

#include <cstdint>

namespace ringlens::tool {

// "YYYY-MM-DDTHH:MM:SSZ" (20 characters) for seconds since
// 1970-01-01 00:00:00 UTC; years 0 to 9999 (a 32-bit time stamp lies in
// 1901 to 2038).
void formatUtc(int64_t seconds, char (&text)[20]);

}  // namespace ringlens::tool
