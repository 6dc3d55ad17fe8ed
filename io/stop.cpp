#include "stop.h"

namespace io {

volatile std::sig_atomic_t g_stop_signal = 0;
volatile std::sig_atomic_t g_stop_now = 0;

namespace {

void on_signal(int signo)
{
    if (g_stop_signal != 0) g_stop_now = 1;
    g_stop_signal = signo;
}

}  // namespace

void catch_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace io
