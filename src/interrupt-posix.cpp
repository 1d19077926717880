// POSIX side of stop requests: signals are caught with sigaction, and a
// handler may do nothing but set a lock-free flag (async-signal safety).
#include "interrupt.h"

#include <atomic>
#include <csignal>
#include <iterator>
#include <mutex>

namespace {

// The exit code of the first recorded request; the handler may run on any thread.
std::atomic<int> recorded_code{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

constexpr int stop_signals[] = {SIGINT, SIGTERM};
struct sigaction usual_actions[std::size(stop_signals)];
std::mutex guard_lock;
int guard_depth = 0; // guards alive

extern "C" void record_stop_request(int signal_number)
{
    // The shell's convention for a process ended by a signal: 128 + its number.
    int none = 0;
    recorded_code.compare_exchange_strong(none, 128 + signal_number);
}

} // namespace

void interrupt_init()
{
    std::signal(SIGPIPE, SIG_IGN);
}

interrupt_guard::interrupt_guard()
{
    const std::lock_guard lock(guard_lock);
    if (guard_depth++ > 0)
        return;
    struct sigaction recording {};
    recording.sa_handler = record_stop_request;
    recording.sa_flags = SA_RESTART;
    sigemptyset(&recording.sa_mask);
    for (size_t i = 0; i < std::size(stop_signals); ++i) {
        sigaction(stop_signals[i], nullptr, &usual_actions[i]);
        // A request the process was started to ignore (a shell's background job) stays ignored.
        if (usual_actions[i].sa_handler != SIG_IGN)
            sigaction(stop_signals[i], &recording, nullptr);
    }
}

interrupt_guard::~interrupt_guard()
{
    const std::lock_guard lock(guard_lock);
    if (--guard_depth > 0)
        return;
    for (size_t i = 0; i < std::size(stop_signals); ++i)
        sigaction(stop_signals[i], &usual_actions[i], nullptr);
    recorded_code = 0;
}

int interrupt_exit_code()
{
    return recorded_code.load();
}
