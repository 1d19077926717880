// One monotonic millisecond clock for every time limit in the program. The
// time of day is not used: setting the system clock during an update must not
// stretch a 25 s wait into an hour or cut it to nothing.
#include "timer.h"

#include <chrono>
#include <exception>
#include <thread>

namespace {

using monotonic = std::chrono::steady_clock;

} // namespace

int32_t get_absolute_time()
{
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(monotonic::now().time_since_epoch());
    // Keep the low 32 bits; readers only ever look at differences.
    return static_cast<int32_t>(static_cast<uint32_t>(ms.count()));
}

int32_t time_difference(int32_t later, int32_t earlier)
{
    // Unsigned subtraction wraps without overflow; read back as signed it is
    // the elapsed time even when the clock value changed sign meanwhile.
    return static_cast<int32_t>(static_cast<uint32_t>(later) - static_cast<uint32_t>(earlier));
}

namespace {

// A sleep may end early (signals, coarse timers), so sleep again until the deadline.
void sleep_until(monotonic::time_point deadline)
{
    timer_fine_sleeps();
    while (monotonic::now() < deadline)
        std::this_thread::sleep_until(deadline);
}

// A sleeping thread wakes some 40 to 60 us after its deadline on a busy
// machine, and the upload pays that after every line. So the last stretch
// before the deadline reads the clock instead of sleeping: at most
// `spin_tail` of processor time per pause, about 1 % of a core while lines go out.
constexpr auto spin_tail = std::chrono::microseconds(80);

} // namespace

// The deadline is taken from the clock itself, not from a reading cut to whole
// microseconds, which could end the wait up to a microsecond short.
void wait_ms(int32_t ms)
{
    if (ms > 0)
        sleep_until(monotonic::now() + std::chrono::milliseconds(ms));
}

int64_t get_time_us()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               monotonic::now().time_since_epoch())
        .count();
}

void wait_until_us(int64_t deadline_us)
{
    const monotonic::time_point deadline{std::chrono::microseconds(deadline_us)};
    sleep_until(deadline - spin_tail);
    while (monotonic::now() < deadline) {
    }
}

void string_list_init(string_list& list)
{
    list.bytes.assign(1, '\0');
}

void string_list_add(string_list& list, std::string_view s)
{
    // A name is a C string: whatever follows a NUL inside it would read as
    // further names, or, right after a leading NUL, as the end of the list.
    s = s.substr(0, s.find('\0'));
    if (s.empty())
        return;
    if (list.bytes.empty())
        list.bytes.assign(1, '\0');
    try {
        // Reserving first is the only step that can fail, so a failure leaves the list as it was.
        list.bytes.reserve(list.bytes.size() + s.size() + 1);
    } catch (const std::exception&) {
        return;
    }
    list.bytes.insert(list.bytes.size() - 1, s);
    list.bytes.push_back('\0');
}

void string_list_free(string_list& list)
{
    std::string().swap(list.bytes);
}
