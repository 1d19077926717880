// Sleep precision on Windows: by default every Sleep lasts at least one 15.6 ms
// scheduler tick. The hub protocol pauses 1 ms after each upload line and polls
// the port every millisecond or two, so the program asks for 1 ms ticks once
// per run (Windows resets the request when the process ends).
#include "timer.h"

#include <mutex>

#include <windows.h>
// timeapi.h needs the types of windows.h.
#include <timeapi.h>

void timer_fine_sleeps()
{
    static std::once_flag asked;
    std::call_once(asked, [] { timeBeginPeriod(1); });
}
