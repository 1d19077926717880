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

bool zero_from(const char* field, size_t start, size_t size)
{
    for (size_t i = start; i < size; ++i)
        if (field[i] != '\0')
            return false;
    return true;
}

// The precedence between the options, from the first test that decides:
// a missing argument, --help/--version (alone among the counted options),
// --info, --list, --auto, --exit-bootloader, then the manual update.
TEST(Options, PrecedenceDecidesTheAction)
{
    struct precedence_case {
        std::vector<std::string> args;
        bool runs;
        int32_t action;
    };
    const precedence_case cases[] = {
        {{"--fw", "a.ufw", "--port", "COM1"}, true, ACTION_UPDATE_MANUAL},
        {{"--port", "--help", "--fw", "--version", "--bootloader"}, true, ACTION_UPDATE_MANUAL},
        {{"--fw", "a.ufw"}, false, ACTION_NONE},
        {{"--port", "COM1"}, false, ACTION_NONE},
        {{"--help", "--port"}, false, ACTION_NONE}, // argument missing
        {{"--auto", "--fw"}, false, ACTION_NONE},
        {{"--info", "--fw"}, false, ACTION_NONE},
        {{"--help", "--auto", "--trace", "--list"}, false, ACTION_NONE},
        {{"--version", "--info", "--fw", "a.ufw"}, false, ACTION_NONE},
        {{"--info", "--fw", "a.ufw"}, true, ACTION_INFO},
        {{"--info"}, false, ACTION_NONE},                   // no image to describe
        {{"--info", "--port", "COM1"}, false, ACTION_NONE}, // a port is no image
        {{"--list", "--info"}, false, ACTION_NONE},         // --info wins, and lacks --fw
        {{"--info", "--fw", "a.ufw", "--list", "--auto", "--port", "P", "--exit-bootloader"},
         true,
         ACTION_INFO},
        {{"--list", "--fw", "a.ufw", "--port", "COM1"}, true, ACTION_LIST},
        {{"--auto", "--list"}, true, ACTION_LIST},
        {{"--port", "COM1", "--exit-bootloader", "--list"}, true, ACTION_LIST},
        {{"--auto"}, true, ACTION_UPDATE_AUTO},
        {{"--port", "P", "--exit-bootloader", "--prompt", "--auto", "--fw", "a.ufw"},
         true,
         ACTION_UPDATE_AUTO},
        {{"--port", "P", "--exit-bootloader", "--fw", "a.ufw"}, true, ACTION_EXIT_BOOTLOADER},
        {{"junk", "--exit-bootloader", "more", "--port", "P"}, true, ACTION_EXIT_BOOTLOADER},
        {{"--exit-bootloader", "--fw", "a.ufw"}, false, ACTION_NONE},
        {{"--Info", "--fw", "a.ufw"}, false, ACTION_NONE}, // exact names only
        {{"-list"}, false, ACTION_NONE},
        {{"--exit_bootloader", "--port", "P"}, false, ACTION_NONE},
        {{"--trace"}, false, ACTION_NONE},
    };
    for (const precedence_case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        EXPECT_EQ(load(c.args), c.runs);
        EXPECT_EQ(options.action, c.action);
    }
    EXPECT_FALSE(options_load(0, nullptr));
}

TEST(Options, FlagsAndFieldsAreClearedOnEveryLoad)
{
    struct flag_case {
        const char* name;
        bool options_record::*field;
    };
    const flag_case cases[] = {
        {"--prompt", &options_record::prompt},
        {"--force", &options_record::force},
        {"--bootloader", &options_record::bootloader},
        {"--no-status", &options_record::no_status},
        {"--basic-status", &options_record::basic_status},
        {"--tx-rate", &options_record::tx_rate},
        {"--trace", &options_record::trace},
    };
    for (const flag_case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(load({"--fw", "a.ufw", c.name, "--port", "COM1"}));
        for (const flag_case& other : cases)
            EXPECT_EQ(options.*(other.field), &other == &c);
    }
    ASSERT_TRUE(load({"--port", "COM2", "--exit-bootloader"}));
    EXPECT_TRUE(zero_from(options.fw_path, 0, sizeof options.fw_path));
    EXPECT_FALSE(options.trace);
}

TEST(Options, ArgumentsAreTakenWholeOrCutAndRepeatsReplaceThem)
{
    // The word after --fw is its argument even when it looks like an option.
    ASSERT_TRUE(load({"--fw", "--port", "--port", "COM1"}));
    EXPECT_STREQ(options.fw_path, "--port");
    EXPECT_STREQ(options.port, "COM1");
    const std::string path(2000, 'f');
    ASSERT_TRUE(load({"--fw", path, "--port", "COM1"}));
    EXPECT_EQ(std::string(options.fw_path), path.substr(0, 1023));
    ASSERT_TRUE(load({"--fw", std::string(1500, 'x'), "--port", std::string(80, 'y'), "--fw",
                      "short.ufw", "--port", "COM3"}));
    EXPECT_STREQ(options.fw_path, "short.ufw");
    EXPECT_TRUE(zero_from(options.fw_path, 9, sizeof options.fw_path));
    EXPECT_TRUE(zero_from(options.port, 4, sizeof options.port));
    // "all" is an ordinary port name, and an empty argument still counts as given.
    ASSERT_TRUE(load({"--port", "all", "--exit-bootloader"}));
    EXPECT_STREQ(options.port, "all");
    ASSERT_TRUE(load({"--exit-bootloader", "--port", ""}));
    // The automatic update keeps path and port although it does not use them.
    ASSERT_TRUE(load({"--fw", "a.ufw", "--auto", "--port", "COM4"}));
    EXPECT_STREQ(options.fw_path, "a.ufw");
    EXPECT_STREQ(options.port, "COM4");
}

} // namespace
