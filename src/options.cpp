// The command line: one pass over the arguments through the option table, then
// a fixed precedence decides what the run does.
#include "options.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <string_view>

#include "serial.h"

options_record options;

const char hubflash_version[] = "3.00";

const char cli_usage[] =
    "hubflash - Corvane firmware updater\n"
    "\n"
    "Usage: hubflash --fw <filename> --port <device> [--bootloader] [--force] [--no-status]\n"
    "       hubflash --port <device> --exit-bootloader\n"
    "       hubflash --auto [--prompt]\n"
    "       hubflash --version\n"
    "       hubflash --help\n";

const char cli_help[] =
    "\n"
    "       --fw <filename> The name of te firmware file to use.\n"
    "       --port <device> The serial device (such as /dev/ttyUSB0 or COM1) of the\n"
    "               Corvane hub to update, or use 'all' to\n"
    "               find all hubs and update them.\n"
    "       --bootloader Automatically switch the hub to bootloader mode.\n"
    "       --exit_bootloader Force hub out of bootloader mode.\n"
    "       --no-status Don't display status while upload is in progress.\n"
    "       --force Force the hub to update, regardless of version number.\n";

namespace {

constexpr char missing_port_message[] =
    "ERROR: Missing serial port name e.g. COM1 or /dev/ttyUSB0\n";
constexpr char missing_firmware_message[] = "ERROR: Missing firmware filename\n";

// What the walk over the arguments learns beyond the record's own fields.
struct parse_state {
    bool help = false;
    bool version = false;
    bool automatic = false;
    bool exit_bootloader = false;
    bool info = false;
    bool list = false;
    bool fw_given = false;
    bool port_given = false;
    size_t port_length = 0; // of the last --port argument, which may be longer than its field
    bool argument_missing = false;
    int counted = 0;
};

using text_field = std::span<char> (*)(options_record&);

std::span<char> fw_path_field(options_record& o)
{
    return o.fw_path;
}
std::span<char> port_field(options_record& o)
{
    return o.port;
}

struct option_entry {
    std::string_view name;
    // Counted options may not share the line with --help or --version.
    bool counted;
    bool parse_state::*seen;               // fact for the precedence, or null
    bool options_record::*flag;            // flag of the record to set, or null
    text_field argument;                   // field that takes the next argument, or null
    size_t parse_state::*length = nullptr; // where the argument's full length goes, or null
};

// Looked up in order; the first equal name wins.
constexpr option_entry option_table[] = {
    {"--help", true, &parse_state::help, nullptr, nullptr},
    {"--version", true, &parse_state::version, nullptr, nullptr},
    {"--force", false, nullptr, &options_record::force, nullptr},
    {"--bootloader", false, nullptr, &options_record::bootloader, nullptr},
    {"--exit-bootloader", false, &parse_state::exit_bootloader, nullptr, nullptr},
    {"--auto", false, &parse_state::automatic, nullptr, nullptr},
    {"--prompt", false, nullptr, &options_record::prompt, nullptr},
    {"--no-status", false, nullptr, &options_record::no_status, nullptr},
    {"--tx-rate", false, nullptr, &options_record::tx_rate, nullptr},
    {"--basic-status", false, nullptr, &options_record::basic_status, nullptr},
    {"--fw", true, &parse_state::fw_given, nullptr, fw_path_field},
    {"--port", true, &parse_state::port_given, nullptr, port_field, &parse_state::port_length},
    // Field tools: not counted, so they never turn --help or --version into usage.
    {"--trace", false, nullptr, &options_record::trace, nullptr},
    {"--json", false, nullptr, &options_record::json, nullptr},
    {"--parallel", false, nullptr, &options_record::parallel, nullptr},
    {"--info", false, &parse_state::info, nullptr, nullptr},
    {"--list", false, &parse_state::list, nullptr, nullptr},
};

const option_entry* find_option(std::string_view argument)
{
    for (const option_entry& entry : option_table)
        if (entry.name == argument)
            return &entry;
    return nullptr;
}

// The field always keeps its last byte zero, so an over-long text is cut and
// stays terminated; a shorter replacement leaves nothing of the old one behind.
void copy_cut(std::span<char> field, std::string_view text)
{
    std::fill(field.begin(), field.end(), '\0');
    text = text.substr(0, field.size() - 1);
    std::copy(text.begin(), text.end(), field.begin());
}

void walk_arguments(int argc, char** argv, parse_state& state)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr)
            continue;
        const option_entry* entry = find_option(argv[i]);
        if (entry == nullptr)
            continue; // stray words and unknown options are ignored
        if (entry->argument != nullptr) {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                state.argument_missing = true;
                return;
            }
            const std::string_view text(argv[++i]);
            copy_cut(entry->argument(options), text);
            if (entry->length != nullptr)
                state.*(entry->length) = text.size();
        }
        if (entry->seen != nullptr)
            state.*(entry->seen) = true;
        if (entry->flag != nullptr)
            options.*(entry->flag) = true;
        if (entry->counted)
            ++state.counted;
    }
}

bool print_usage()
{
    std::fputs(cli_usage, stdout);
    return false;
}

// The error goes to stderr before the usage goes to stdout, so a terminal shows
// them in that order.
bool refuse(const char* message)
{
    std::fflush(stdout);
    std::fputs(message, stderr);
    return print_usage();
}

bool print_help()
{
    std::fputs(cli_usage, stdout);
    std::fputs(cli_help, stdout);
    return false;
}

bool print_version()
{
    std::printf("hubflash %s\n", hubflash_version);
    return false;
}

bool choose(action_kind action)
{
    options.action = action;
    return true;
}

// A cut name could open some other device, so an over-long one is refused.
bool port_name_fits(const parse_state& state)
{
    const size_t longest = serial_max_name_length();
    if (state.port_length <= longest)
        return true;
    std::fflush(stdout);
    std::fprintf(stderr, "ERROR: Serial port name longer than %u characters\n",
                 static_cast<unsigned>(longest));
    print_usage();
    return false;
}

// The order of these tests is the precedence between the options.
bool decide(const parse_state& state)
{
    if (state.argument_missing)
        return print_usage();
    if ((state.help || state.version) && state.counted >= 2)
        return print_usage();
    if (state.help)
        return print_help();
    if (state.version)
        return print_version();
    if (state.info) {
        if (!state.fw_given)
            return refuse(missing_firmware_message);
        return choose(ACTION_INFO);
    }
    if (state.list)
        return choose(ACTION_LIST);
    if (state.automatic)
        return choose(ACTION_UPDATE_AUTO);
    if (state.exit_bootloader) {
        if (!state.port_given)
            return refuse(missing_port_message);
        return port_name_fits(state) && choose(ACTION_EXIT_BOOTLOADER);
    }
    if (!state.fw_given)
        return refuse(missing_firmware_message);
    if (!state.port_given)
        return refuse(missing_port_message);
    return port_name_fits(state) && choose(ACTION_UPDATE_MANUAL);
}

} // namespace

bool options_load(int argc, char** argv)
{
    options = options_record{};
    if (argc < 2 || argv == nullptr)
        return print_usage();
    parse_state state;
    walk_arguments(argc, argv, state);
    return decide(state);
}
