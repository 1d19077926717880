// Stop signals during an upload. That a closed output pipe ends no update is
// checked end to end (tests/e2e/test_signals.py), where main sets it up.
#include "interrupt.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

using handler = void (*)(int);

TEST(InterruptGuard, RecordsTheFirstStopSignalAndRestoresTheUsualEffect)
{
    // A signal ignored before the guard (a shell's background job) stays ignored.
    const struct {
        int first, second;
        handler first_usual;
        int code;
    } cases[] = {
        {SIGINT, SIGTERM, SIG_DFL, 130},
        {SIGTERM, SIGINT, SIG_DFL, 143},
        {SIGINT, SIGTERM, SIG_IGN, 143},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << " then " << c.second);
        std::signal(c.first, c.first_usual);
        std::signal(c.second, SIG_DFL);
        {
            interrupt_guard guard;
            EXPECT_EQ(interrupt_exit_code(), 0);
            std::raise(c.first);
            std::raise(c.second);
            EXPECT_EQ(interrupt_exit_code(), c.code);
        }
        EXPECT_EQ(interrupt_exit_code(), 0);
        EXPECT_EQ(std::signal(c.first, SIG_DFL), c.first_usual);
        EXPECT_EQ(std::signal(c.second, SIG_DFL), SIG_DFL);
    }
}

} // namespace
