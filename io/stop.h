// How a run is stopped, for every program here: the first SIGINT or SIGTERM
// ends it after the exchange in progress, with everything written; a second
// also ends a wait on the line at once (io::Interrupted).
#pragma once

#include <csignal>

namespace io {

// The first stop signal's number; 0 while none came.
extern volatile std::sig_atomic_t g_stop_signal;
// Set by a second stop signal.
extern volatile std::sig_atomic_t g_stop_now;

inline bool stopping()
{
    return g_stop_signal != 0;
}
// Catches SIGINT and SIGTERM into the two flags, without restarting the
// call a signal ends (a wait on the line returns at once).
void catch_stop_signals();

}  // namespace io
