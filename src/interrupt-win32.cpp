// Windows side of stop requests: a console's Ctrl-C and Ctrl-Break reach a
// process only through SetConsoleCtrlHandler, whose handler runs on a thread
// of its own, so it only sets an atomic flag.
#include "interrupt.h"

#include <atomic>
#include <mutex>

#include <windows.h>

namespace {

// The exit code of the first recorded request, as a POSIX shell reports SIGINT and SIGTERM.
std::atomic<int> recorded_code{0};

BOOL WINAPI record_stop_request(DWORD event)
{
    const int code = event == CTRL_C_EVENT ? 130 : event == CTRL_BREAK_EVENT ? 143 : 0;
    if (code == 0)
        return FALSE; // closing the console, logging off, shutting down: the usual effect
    int none = 0;
    recorded_code.compare_exchange_strong(none, code);
    return TRUE;
}

std::mutex guard_lock;
int guard_depth = 0; // guards alive

} // namespace

// Writing to a closed pipe is an ordinary write error on Windows.
void interrupt_init() {}

// A process started to ignore Ctrl-C (SetConsoleCtrlHandler(NULL, TRUE) is
// inherited) gets no CTRL_C_EVENT at any handler, so it stays ignored.
interrupt_guard::interrupt_guard()
{
    const std::lock_guard lock(guard_lock);
    if (guard_depth++ > 0)
        return;
    SetConsoleCtrlHandler(record_stop_request, TRUE);
}

interrupt_guard::~interrupt_guard()
{
    const std::lock_guard lock(guard_lock);
    if (--guard_depth > 0)
        return;
    SetConsoleCtrlHandler(record_stop_request, FALSE);
    recorded_code = 0;
}

int interrupt_exit_code()
{
    return recorded_code.load();
}
