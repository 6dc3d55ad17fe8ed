// Host time stamp: the 7-byte local time stamp the host makes for records.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

// The host's declarations keep default visibility, as the host's own headers
// have them, whatever the plug-in's own code is built with.
#pragma GCC visibility push(default)

// Byte-aligned, 7 bytes; its inner layout belongs to the host.
struct ttime_t {
    unsigned char bytes[7];
};
static_assert(sizeof(ttime_t) == 7 && alignof(ttime_t) == 1, "time stamp is 7 packed bytes");

ttime_t get_ttime(boost::posix_time::ptime t);

#pragma GCC visibility pop
