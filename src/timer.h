// The program's one clock, its waits, and the packed string list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Milliseconds of a monotonic clock, wrapping in 32 bits. Only differences
// between two readings taken within about 24 days of each other mean anything.
int32_t get_absolute_time();
// Milliseconds from clock value `earlier` to `later`, correct across the 32-bit
// wrap (as long as less than about 24 days lie between them).
int32_t time_difference(int32_t later, int32_t earlier);
// The three below only read the clock through get_absolute_time, so a test
// that takes the clock's place moves them along with it.
// Milliseconds since clock value `start`.
inline int32_t time_elapsed(int32_t start)
{
    return time_difference(get_absolute_time(), start);
}
// True once at least `duration` ms have passed since `start` (at once for duration <= 0).
inline bool time_reached(int32_t start, int32_t duration)
{
    return duration <= 0 || time_elapsed(start) >= duration;
}
// Milliseconds left of `duration` from `start`; 0 once it has passed.
inline int32_t time_remaining(int32_t start, int32_t duration)
{
    const int32_t left = duration - time_elapsed(start);
    return left > 0 ? left : 0;
}
// Sleep until `ms` milliseconds have passed (about 1 ms precision).
void wait_ms(int32_t ms);
// Microseconds of the same monotonic clock, in 64 bits: for deadlines that
// must hold to well under a millisecond, such as the pause after an upload line.
int64_t get_time_us();
// Sleeps until get_time_us() reaches `deadline_us`; never returns before it.
void wait_until_us(int64_t deadline_us);
// Ask the system for sleeps of about 1 ms precision for the rest of the run.
// Windows rounds every sleep up to its 15.6 ms tick by default, which would
// turn the 1 ms pause after each upload line into 15 ms; Linux adds up to its
// timer slack to every sleep. Cheap to call again.
void timer_fine_sleeps();

// Strings stored back to back in one buffer, each followed by a NUL, with one
// more NUL after the last: the list holding P and QR is "P\0QR\0\0". An empty
// list is a single NUL; its length is bytes.size().
struct string_list {
    std::string bytes;
};
void string_list_init(string_list& list);
// Appends a copy of s. The empty string cannot be stored (it would read as the
// end of the list), so it is not added.
void string_list_add(string_list& list, std::string_view s);
void string_list_free(string_list& list);
