// Stop signals during an upload, and writes to a pipe nobody reads any more.
#include "interrupt.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

#include <unistd.h>

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

TEST(InterruptInit, WritingToAClosedPipeFailsInsteadOfEndingTheProcess)
{
    std::signal(SIGPIPE, SIG_DFL);
    interrupt_init();
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    EXPECT_EQ(write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(ends[1]);
}

} // namespace
