// Which action the command line chooses, and what the record keeps of it. The
// texts printed for a run that ends at the command line are checked end to end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

bool load(std::vector<std::string> args)
{
    args.insert(args.begin(), "hubflash");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return options_load(static_cast<int>(args.size()), argv.data());
}

// From the first test that decides: a missing argument, --help/--version,
// --info, --list, --auto, --exit-bootloader, then the manual update.
TEST(Options, PrecedenceDecidesTheAction)
{
    const struct {
        std::vector<std::string> args;
        int32_t action; // ACTION_NONE: the run ends at the command line
    } cases[] = {
        {{"--fw", "a.ufw", "--port", "COM1"}, ACTION_UPDATE_MANUAL},
        {{"--port", "--help", "--fw", "--version", "--bootloader"}, ACTION_UPDATE_MANUAL},
        {{"--auto", "--fw"}, ACTION_NONE}, // argument missing
        {{"--help", "--auto", "--trace", "--list"}, ACTION_NONE},
        {{"--version", "--info", "--fw", "a.ufw"}, ACTION_NONE},
        {{"--info", "--fw", "a.ufw"}, ACTION_INFO},
        {{"--info", "--port", "COM1"}, ACTION_NONE}, // no image to describe
        {{"--list", "--info"}, ACTION_NONE},         // --info wins, and lacks --fw
        {{"--info", "--fw", "a", "--list", "--auto", "--port", "P", "--exit-bootloader"},
         ACTION_INFO},
        {{"--list", "--fw", "a.ufw", "--port", "COM1"}, ACTION_LIST},
        {{"--auto", "--list"}, ACTION_LIST},
        {{"--port", "COM1", "--exit-bootloader", "--list"}, ACTION_LIST},
        {{"--auto"}, ACTION_UPDATE_AUTO},
        {{"--port", "P", "--exit-bootloader", "--auto", "--fw", "a"}, ACTION_UPDATE_AUTO},
        {{"--port", "P", "--exit-bootloader", "--fw", "a.ufw"}, ACTION_EXIT_BOOTLOADER},
        {{"junk", "--exit-bootloader", "more", "--port", "P"}, ACTION_EXIT_BOOTLOADER},
        {{"--exit-bootloader", "--fw", "a.ufw"}, ACTION_NONE},
        {{"--Info", "--fw", "a.ufw"}, ACTION_NONE}, // exact names only
        {{"-list"}, ACTION_NONE},
        {{"--exit_bootloader", "--port", "P"}, ACTION_NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(load(c.args), c.action != ACTION_NONE);
        EXPECT_EQ(options.action, c.action);
    }
    EXPECT_FALSE(options_load(0, nullptr));
}

TEST(Options, ArgumentsAreTakenWholeOrCutAndTheLastOneCounts)
{
    // The word after --fw is its argument even when it looks like an option.
    ASSERT_TRUE(load({"--fw", "--port", "--port", "COM1", "--force"}));
    EXPECT_STREQ(options.fw_path, "--port");
    EXPECT_TRUE(options.force);
    const std::string path(2000, 'f');
    ASSERT_TRUE(load({"--fw", path, "--port", "COM1"}));
    EXPECT_EQ(options.fw_path, path.substr(0, 1023));
    EXPECT_FALSE(options.force) << "every load starts afresh";
    ASSERT_TRUE(load({"--fw", path, "--port", "COM2", "--fw", "short.ufw", "--port", "COM3"}));
    EXPECT_EQ(options.fw_path + std::string(" ") + options.port, "short.ufw COM3");
    // An empty argument still counts as given.
    ASSERT_TRUE(load({"--exit-bootloader", "--port", ""}));
}

} // namespace
