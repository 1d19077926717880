// Sleep precision on POSIX systems: nanosleep already wakes within about a
// millisecond of its deadline, so there is nothing to ask for.
#include "timer.h"

void timer_fine_sleeps() {}
