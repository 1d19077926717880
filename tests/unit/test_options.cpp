#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

bool load(std::vector<std::string> args) {
    args.insert(args.begin(), "hubflash");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return options_load(static_cast<int>(args.size()), argv.data());
}

template <size_t N> bool zero_from(const char (&field)[N], size_t start) {
    for (size_t i = start; i < N; ++i)
        if (field[i] != '\0') return false;
    return true;
}

// Port names are never cut: the end-to-end tests of the command line check their limit.
TEST(Options, OverLongFirmwarePathIsCutAndStaysTerminated) {
    const std::string path(2000, 'f');
    ASSERT_TRUE(load({"--fw", path, "--port", "COM1"}));
    EXPECT_EQ(std::string(options.fw_path), path.substr(0, 1023));
    EXPECT_EQ(options.fw_path[1023], '\0');

    ASSERT_TRUE(load({"--fw", std::string(1023, 'a'), "--port", "COM1"}));
    EXPECT_EQ(std::string(options.fw_path), std::string(1023, 'a'));
}

TEST(Options, RepeatedArgumentReplacesTheWholeField) {
    ASSERT_TRUE(load({"--fw", std::string(1500, 'x'), "--port", std::string(80, 'y'), "--fw",
                      "short.ufw", "--port", "COM3"}));
    EXPECT_STREQ(options.fw_path, "short.ufw");
    EXPECT_STREQ(options.port, "COM3");
    EXPECT_TRUE(zero_from(options.fw_path, 9));
    EXPECT_TRUE(zero_from(options.port, 4));
}

TEST(Options, EachFlagSetsItsOwnField) {
    struct flag_case {
        const char* name;
        bool options_record::*field;
    };
    const flag_case cases[] = {
        {"--prompt", &options_record::prompt},         {"--force", &options_record::force},
        {"--bootloader", &options_record::bootloader}, {"--no-status", &options_record::no_status},
        {"--basic-status", &options_record::basic_status}, {"--tx-rate", &options_record::tx_rate},
    };
    for (const flag_case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(load({"--fw", "a.ufw", c.name, "--port", "COM1"}));
        EXPECT_EQ(options.action, ACTION_UPDATE_MANUAL);
        for (const flag_case& other : cases) EXPECT_EQ(options.*(other.field), &other == &c);
    }
}

TEST(Options, EveryLoadStartsFromAClearedRecord) {
    ASSERT_TRUE(load({"--fw", "a.ufw", "--port", "COM1", "--prompt", "--force", "--bootloader",
                      "--no-status", "--basic-status", "--tx-rate"}));
    ASSERT_TRUE(load({"--port", "COM2", "--exit-bootloader"}));
    EXPECT_EQ(options.action, ACTION_EXIT_BOOTLOADER);
    EXPECT_STREQ(options.port, "COM2");
    EXPECT_TRUE(zero_from(options.fw_path, 0));
    EXPECT_FALSE(options.prompt || options.force || options.bootloader || options.no_status ||
                 options.basic_status || options.tx_rate);

    EXPECT_FALSE(load({"--version"}));
    EXPECT_EQ(options.action, ACTION_NONE);
    EXPECT_TRUE(zero_from(options.port, 0));
}

TEST(Options, ArgumentsAreTakenAsTheyStand) {
    // The word after --fw is its argument even when it looks like an option.
    ASSERT_TRUE(load({"--fw", "--port", "--port", "COM1"}));
    EXPECT_EQ(options.action, ACTION_UPDATE_MANUAL);
    EXPECT_STREQ(options.fw_path, "--port");
    EXPECT_STREQ(options.port, "COM1");

    // "all" is an ordinary port name, and an empty argument still counts as given.
    ASSERT_TRUE(load({"--port", "all", "--exit-bootloader"}));
    EXPECT_STREQ(options.port, "all");
    ASSERT_TRUE(load({"--exit-bootloader", "--port", ""}));
    EXPECT_EQ(options.action, ACTION_EXIT_BOOTLOADER);

    // The automatic update keeps path and port although it does not use them.
    ASSERT_TRUE(load({"--fw", "a.ufw", "--auto", "--port", "COM4"}));
    EXPECT_EQ(options.action, ACTION_UPDATE_AUTO);
    EXPECT_STREQ(options.fw_path, "a.ufw");
    EXPECT_STREQ(options.port, "COM4");
}

TEST(Options, NoArgumentsAtAll) {
    char name[] = "hubflash";
    char* argv[] = {name, nullptr};
    EXPECT_FALSE(options_load(1, argv));
    EXPECT_FALSE(options_load(0, argv + 1));
    EXPECT_EQ(options.action, ACTION_NONE);
}

// The field tools sit between --version and --auto in the precedence, and do
// not count against --help or --version.
TEST(Options, FieldToolsTakeTheirPlaceInThePrecedence) {
    struct precedence_case {
        std::vector<std::string> args;
        bool runs;
        int32_t action;
    };
    const precedence_case cases[] = {
        {{"--info", "--fw", "a.ufw"}, true, ACTION_INFO},
        {{"--info"}, false, ACTION_NONE},                       // no image to describe
        {{"--info", "--port", "COM1"}, false, ACTION_NONE},     // a port is no image
        {{"--list"}, true, ACTION_LIST},
        {{"--list", "--fw", "a.ufw", "--port", "COM1"}, true, ACTION_LIST},
        {{"--info", "--fw", "a.ufw", "--list"}, true, ACTION_INFO},
        {{"--list", "--info"}, false, ACTION_NONE},             // --info wins, and lacks --fw
        {{"--auto", "--list"}, true, ACTION_LIST},
        {{"--auto", "--info", "--fw", "a.ufw"}, true, ACTION_INFO},
        {{"--port", "COM1", "--exit-bootloader", "--list"}, true, ACTION_LIST},
        {{"--help", "--list"}, false, ACTION_NONE},
        {{"--version", "--info", "--fw", "a.ufw"}, false, ACTION_NONE},
        {{"--info", "--fw"}, false, ACTION_NONE},               // argument missing
        {{"--Info", "--fw", "a.ufw"}, false, ACTION_NONE},      // exact names only
        {{"-list"}, false, ACTION_NONE},
    };
    for (const precedence_case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        EXPECT_EQ(load(c.args), c.runs);
        EXPECT_EQ(options.action, c.action);
    }
}

TEST(Options, TraceIsAFlagBesideAnyAction) {
    ASSERT_TRUE(load({"--fw", "a.ufw", "--trace", "--port", "COM1"}));
    EXPECT_EQ(options.action, ACTION_UPDATE_MANUAL);
    EXPECT_TRUE(options.trace);
    ASSERT_TRUE(load({"--trace", "--auto"}));
    EXPECT_EQ(options.action, ACTION_UPDATE_AUTO);
    EXPECT_TRUE(options.trace);
    ASSERT_TRUE(load({"--auto"}));
    EXPECT_FALSE(options.trace); // cleared on every load
    // Not counted: --help beside it still prints the help.
    EXPECT_FALSE(load({"--help", "--trace"}));
    EXPECT_FALSE(load({"--trace"}));
    EXPECT_EQ(options.action, ACTION_NONE);
}

} // namespace
