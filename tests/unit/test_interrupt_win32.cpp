// Ctrl-C during an upload under Windows (Wine delivers CTRL_C_EVENT but no Ctrl-Break).
#include "interrupt.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

// The console handler runs on a thread of its own, so the request arrives a little later.
int exit_code_within_two_seconds()
{
    for (int waited = 0; waited < 2000 && interrupt_exit_code() == 0; waited += 10)
        Sleep(10);
    return interrupt_exit_code();
}

// Called only when the guard lets Ctrl-C through: Wine would end the test with exit code 0.
BOOL WINAPI survive_ctrl_c(DWORD)
{
    return TRUE;
}

TEST(InterruptGuard, RecordsCtrlCUntilItEnds)
{
    // A console of the test's own: Ctrl-C reaches every process on a console.
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    ASSERT_TRUE(SetConsoleCtrlHandler(survive_ctrl_c, TRUE));
    {
        interrupt_guard guard;
        ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
        EXPECT_EQ(exit_code_within_two_seconds(), 130);
    }
    EXPECT_EQ(interrupt_exit_code(), 0);
}

} // namespace
