// Stop signals during an upload; their exit codes are checked end to end.
#include "interrupt.h"

#include <gtest/gtest.h>

#include <csignal>
#include <tuple>

namespace {

using handler = void (*)(int);

// The first signal decides the exit code; one ignored before the guard (a
// shell's background job) stays ignored.
TEST(InterruptGuard, RecordsTheFirstStopSignalAndRestoresTheUsualEffect)
{
    const std::tuple<int, int, handler, int> cases[] = {{SIGINT, SIGTERM, SIG_DFL, 130},
                                                        {SIGTERM, SIGINT, SIG_DFL, 143},
                                                        {SIGINT, SIGTERM, SIG_IGN, 143}};
    for (const auto& [first, second, first_usual, code] : cases) {
        SCOPED_TRACE(testing::Message() << first << " then " << second);
        std::signal(first, first_usual);
        std::signal(second, SIG_DFL);
        {
            interrupt_guard guard;
            EXPECT_EQ(interrupt_exit_code(), 0);
            std::raise(first);
            std::raise(second);
            EXPECT_EQ(interrupt_exit_code(), code);
        }
        EXPECT_EQ(interrupt_exit_code(), 0);
        EXPECT_EQ(std::signal(first, SIG_DFL), first_usual);
        EXPECT_EQ(std::signal(second, SIG_DFL), SIG_DFL);
    }
}

} // namespace
