#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string_view>

namespace hubsim {

namespace {

constexpr uint32_t max_restart_ms = 24999; // the host waits 25 s for a restarting hub
constexpr uint32_t max_duration_ms = 600000;

bool fail(const std::string& message)
{
    std::fprintf(stderr, "hubsim: %s\n", message.c_str());
    return false;
}

bool parse_unsigned(std::string_view text, int base, uint64_t limit, uint64_t& out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(copy.c_str(), &end, base);
    if (errno != 0 || end != copy.c_str() + copy.size() || value > limit)
        return false;
    out = value;
    return true;
}

std::vector<std::string_view> split_commas(std::string_view text)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        parts.push_back(
            text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
        if (comma == std::string_view::npos)
            return parts;
        start = comma + 1;
    }
}

// "3,7,10-12" -> {3, 7, 10, 11, 12}
bool parse_ordinal_set(std::string_view text, std::set<uint64_t>& out)
{
    constexpr uint64_t limit = 1'000'000'000;
    for (std::string_view part : split_commas(text)) {
        const size_t dash = part.find('-');
        uint64_t first = 0, last = 0;
        if (dash == std::string_view::npos) {
            if (!parse_unsigned(part, 10, limit, first))
                return false;
            last = first;
        } else if (!parse_unsigned(part.substr(0, dash), 10, limit, first)
                   || !parse_unsigned(part.substr(dash + 1), 10, limit, last) || last < first
                   || last - first > 100000) {
            return false;
        }
        for (uint64_t n = first; n <= last; ++n)
            out.insert(n);
    }
    return true;
}

bool parse_list(std::string_view text, int base, uint64_t limit, std::vector<uint64_t>& out)
{
    out.clear();
    for (std::string_view part : split_commas(text)) {
        uint64_t value = 0;
        if (!parse_unsigned(part, base, limit, value))
            return false;
        out.push_back(value);
    }
    return true;
}

bool parse_rate(std::string_view text, double& out)
{
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !(value >= 0.0 && value <= 1.0))
        return false;
    out = value;
    return true;
}

// Per-board values given as a list; the last one repeats for later boards.
struct BoardLists {
    std::vector<uint64_t> device_types{0x0101}, fw{305}, serials{1234};
    std::set<uint64_t> silent, absent;
    std::optional<uint64_t> count;
};

using Handler = std::function<bool(std::string_view value)>;

struct OptionSpec {
    const char* name;
    bool takes_value;
    Handler handler;
};

bool set_duration(std::string_view value, uint64_t limit, uint32_t& out)
{
    uint64_t parsed = 0;
    if (!parse_unsigned(value, 10, limit, parsed))
        return false;
    out = static_cast<uint32_t>(parsed);
    return true;
}

bool set_dead_board(std::string_view value, FaultPlan& faults)
{
    const size_t colon = value.find(':');
    uint64_t board = 0, after = 0;
    if (colon == std::string_view::npos || !parse_unsigned(value.substr(0, colon), 10, 7, board)
        || board < 1 || !parse_unsigned(value.substr(colon + 1), 10, 1'000'000'000, after))
        return false;
    faults.dead_after[static_cast<int>(board)] = after;
    return true;
}

std::vector<OptionSpec> option_table(Config& c, BoardLists& b)
{
    auto flag = [](bool& target) { return [&target](std::string_view) { return target = true; }; };
    auto text = [](std::string& target) {
        return [&target](std::string_view v) {
            target = std::string(v);
            return !target.empty();
        };
    };
    auto optional_text = [](std::optional<std::string>& target) {
        return [&target](std::string_view v) {
            target = std::string(v);
            return true;
        };
    };
    auto duration = [](uint32_t& target, uint64_t limit) {
        return [&target, limit](std::string_view v) { return set_duration(v, limit, target); };
    };
    auto ordinals = [](std::set<uint64_t>& target) {
        return [&target](std::string_view v) { return parse_ordinal_set(v, target); };
    };
    FaultPlan& f = c.faults;
    return {
        {"--link", true, text(c.link)},
        {"--link-rename", false, flag(c.link_rename)},
        {"--ready-file", true, text(c.ready_file)},
        {"--report", true, text(c.report_file)},
        {"--flash-dir", true, text(c.flash_dir)},
        {"--log", true, text(c.log_file)},
        {"--exit-after", true,
         [&c](std::string_view v) {
             uint32_t ms = 0;
             if (!set_duration(v, 86'400'000, ms))
                 return false;
             c.exit_after_ms = ms;
             return true;
         }},
        {"--hwid", true,
         [&c](std::string_view v) {
             uint64_t code = 0;
             if (v.size() != 4 || !parse_unsigned(v, 16, 0xFFFF, code))
                 return false;
             c.hwid = static_cast<uint16_t>(code);
             return true;
         }},
        {"--boards", true,
         [&b](std::string_view v) {
             uint64_t n = 0;
             if (!parse_unsigned(v, 10, 7, n) || n < 1)
                 return false;
             b.count = n;
             return true;
         }},
        {"--device-type", true,
         [&b](std::string_view v) { return parse_list(v, 16, 0xFFFF, b.device_types); }},
        {"--fw", true, [&b](std::string_view v) { return parse_list(v, 10, 0xFFFF, b.fw); }},
        {"--serial", true,
         [&b](std::string_view v) { return parse_list(v, 10, 0x7FFFFFFF, b.serials); }},
        {"--mode", true,
         [&c](std::string_view v) {
             c.start_in_bootloader = v == "bootloader";
             return v == "bootloader" || v == "normal";
         }},
        {"--silent", true, [&b](std::string_view v) { return parse_ordinal_set(v, b.silent); }},
        {"--absent", true, [&b](std::string_view v) { return parse_ordinal_set(v, b.absent); }},
        {"--wake-ms", true, duration(c.wake_ms, max_duration_ms)},
        {"--announce-ms", true,
         [&c](std::string_view v) {
             return set_duration(v, max_duration_ms, c.announce_ms) && c.announce_ms > 0;
         }},
        {"--restart-ms", true, duration(c.restart_ms, max_restart_ms)},
        {"--boot-delay-ms", true, duration(c.boot_delay_ms, max_duration_ms)},
        {"--identity-sn", true, optional_text(c.identity_sn)},
        {"--identity-fw", true, optional_text(c.identity_fw)},
        {"--identity-line", true, optional_text(c.identity_line)},
        {"--untagged-acks", false, flag(c.untagged_acks)},
        {"--flash-fill", true,
         [&c](std::string_view v) {
             uint64_t fill = 0;
             if (v.size() != 2 || !parse_unsigned(v, 16, 0xFF, fill))
                 return false;
             c.flash_fill = static_cast<uint8_t>(fill);
             return true;
         }},
        {"--no-pacing", false,
         [&c](std::string_view) {
             c.pacing = false;
             return true;
         }},
        {"--line-delay-ms", true, duration(c.line_delay_ms, max_duration_ms)},
        {"--per-open-counter", false, flag(c.per_open_counter)},
        {"--busy-wait", false, flag(c.busy_wait)},
        {"--lose-ack", true, ordinals(f.lose_ack)},
        {"--lose-ack-rate", true,
         [&f](std::string_view v) { return parse_rate(v, f.lose_ack_rate); }},
        {"--nak", true, ordinals(f.nak)},
        {"--nak-rate", true, [&f](std::string_view v) { return parse_rate(v, f.nak_rate); }},
        {"--seed", true,
         [&f](std::string_view v) { return parse_unsigned(v, 10, UINT64_MAX, f.seed); }},
        {"--bad-checksum", true, ordinals(f.bad_checksum)},
        {"--wrong-crc", true, ordinals(f.wrong_crc)},
        {"--vanish-after", true, ordinals(f.vanish_after)},
        {"--vanish-ms", true, duration(f.vanish_ms, max_duration_ms)},
        {"--vanish-unacked", false, flag(f.vanish_unacked)},
        {"--vanish-on", true, optional_text(f.vanish_on)},
        {"--flaky-line", true,
         [&f](std::string_view v) {
             uint64_t address = 0;
             if (!parse_unsigned(v, 16, 0xFFFFFF, address))
                 return false;
             f.flaky_address = static_cast<uint32_t>(address);
             return true;
         }},
        {"--dead-board", true, [&f](std::string_view v) { return set_dead_board(v, f); }},
        {"--keep-announcing", false, flag(f.keep_announcing)},
        {"--prefix-replies", false, flag(f.prefix_replies)},
        {"--lf-only", false, flag(f.lf_only)},
        {"--upper-checksum", false, flag(f.upper_checksum)},
    };
}

uint64_t default_board_count(uint16_t hwid)
{
    if (hwid == 0x1050)
        return 3;
    if (hwid == 0x1080)
        return 4;
    return 2;
}

uint64_t nth_or_last(const std::vector<uint64_t>& values, size_t index)
{
    return index < values.size() ? values[index] : values.back();
}

void build_boards(const BoardLists& lists, Config& c)
{
    const uint64_t count = lists.count.value_or(default_board_count(c.hwid));
    c.boards.clear();
    for (size_t i = 0; i < count; ++i) {
        BoardConfig board;
        board.device_type = static_cast<uint16_t>(nth_or_last(lists.device_types, i));
        board.fw_version = static_cast<int>(nth_or_last(lists.fw, i));
        board.serial = static_cast<uint32_t>(nth_or_last(lists.serials, i));
        board.silent = lists.silent.count(i + 1) != 0;
        board.absent = lists.absent.count(i + 1) != 0;
        c.boards.push_back(board);
    }
}

} // namespace

bool parse_command_line(int argc, char** argv, Config& config)
{
    BoardLists lists;
    const std::vector<OptionSpec> table = option_table(config, lists);
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        const OptionSpec* rule = nullptr;
        for (const OptionSpec& candidate : table)
            if (name == candidate.name)
                rule = &candidate;
        if (rule == nullptr)
            return fail("unknown option " + std::string(name) + " (see tools/hubsim/README.md)");
        std::string_view value;
        if (rule->takes_value) {
            if (i + 1 >= argc)
                return fail("option " + std::string(name) + " needs a value");
            value = argv[++i];
        }
        if (!rule->handler(value))
            return fail("bad value '" + std::string(value) + "' for " + std::string(name));
    }
    if (config.link.empty())
        return fail("--link PATH is required");
    build_boards(lists, config);
    for (const auto& [board, after] : config.faults.dead_after)
        if (static_cast<size_t>(board) > config.boards.size())
            return fail("--dead-board names a board the hub lacks");
    return true;
}

} // namespace hubsim
