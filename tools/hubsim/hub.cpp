#include "hub.h"

#include <cstdio>
#include <utility>

namespace hubsim {

namespace {

constexpr size_t max_kept_violations = 1000;
constexpr Nanos nanos_per_ms = 1'000'000;

std::string format(const char* pattern, unsigned value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

uint64_t splitmix64(uint64_t& state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// "%04d" of the number it stands for, or none: the host writes versions that way.
std::optional<int> parse_finish_version(std::string_view text)
{
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    const bool negative = text[0] == '-';
    long value = 0;
    for (size_t i = negative ? 1 : 0; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    if (value > 0x7FFFFFFF || (negative && text.size() == 1))
        return std::nullopt;
    const int version = static_cast<int>(negative ? -value : value);
    char canonical[16];
    std::snprintf(canonical, sizeof canonical, "%04d", version);
    if (text != canonical)
        return std::nullopt;
    return version;
}

} // namespace

const Hub::CommandRow Hub::command_table[] = {
    {"!STOP_PING", false, Kind::stop_ping, "stop_ping", &Hub::on_stop_ping},
    {";", true, Kind::upload_line, "upload_line", &Hub::on_upload_line},
    {"!PART_CRC=", true, Kind::part_crc, "part_crc", &Hub::on_part_crc},
    {"!FINISH ", true, Kind::finish, "finish", &Hub::on_finish},
    {"!REBOOT_BOOT", false, Kind::reboot_boot, "reboot_boot", &Hub::on_reboot_boot},
    {"!REBOOT_NORMAL", false, Kind::reboot_normal, "reboot_normal", &Hub::on_reboot_normal},
    {"", true, Kind::unknown, "unknown", &Hub::on_unknown}, // matches anything: keep last
};

Hub::Hub(const Config& config, Nanos now, LogFn log)
    : config_(config), log_(std::move(log)), random_state_(config.faults.seed)
{
    style_.prefix = config.faults.prefix_replies;
    style_.lf_only = config.faults.lf_only;
    style_.upper_checksum = config.faults.upper_checksum;
    for (size_t i = 0; i < config.boards.size(); ++i) {
        boards_.emplace_back(static_cast<int>(i + 1), config.boards[i], config.flash_fill);
        if (config.start_in_bootloader)
            boards_.back().enter_bootloader(now);
    }
    for (const char* name : {"stop_ping", "upload_line", "part_crc", "finish", "reboot_boot",
                             "reboot_normal", "unknown", "id", "dverify", "boot_mode", "blank"})
        commands_[name] = 0;
}

const Hub::CommandRow& Hub::classify(std::string_view command)
{
    for (const CommandRow& row : command_table) {
        if (row.is_prefix ? command.substr(0, row.text.size()) == row.text : command == row.text)
            return row;
    }
    return command_table[std::size(command_table) - 1];
}

void Hub::on_line(std::string_view raw, Nanos first_byte, Nanos read_at, Nanos now)
{
    check_pause(raw, read_at);
    const HostLine line = parse_host_line(raw);
    for (const std::string& problem : line.problems)
        violation(problem + ": " + escape_bytes(raw));
    if (line.framed)
        handle_framed(line, raw, first_byte, now);
    else
        handle_plain(line, now);
}

void Hub::on_overlong_line(std::string_view head)
{
    violation("line longer than 1024 bytes: " + escape_bytes(head) + "...");
}

void Hub::on_partial_line_dropped(std::string_view bytes)
{
    if (log_)
        log_("host closed the port in the middle of a line: " + escape_bytes(bytes));
}

void Hub::handle_plain(const HostLine& line, Nanos now)
{
    if (!line.plain)
        return;
    switch (*line.plain) {
    case PlainKind::id:
        ++commands_["id"];
        if (hub_in_normal_firmware())
            send({identity_line()});
        break;
    case PlainKind::dverify:
        ++commands_["dverify"];
        break;
    case PlainKind::blank:
        ++commands_["blank"];
        break;
    case PlainKind::boot_mode:
        ++commands_["boot_mode"];
        if (hub_in_normal_firmware() && !restart_pending_) {
            restart_pending_ = true;
            vanish_ = VanishRequest{now + Nanos{config_.boot_delay_ms} * nanos_per_ms,
                                    Nanos{config_.restart_ms} * nanos_per_ms, true};
        }
        break;
    }
}

void Hub::handle_framed(const HostLine& line, std::string_view raw, Nanos first_byte, Nanos now)
{
    check_counter(line, raw);
    if (!line.addressed)
        return;
    const CommandRow& row = classify(line.command);
    ++commands_[row.count_name];
    uint64_t ordinal = 0;
    if (row.kind == Kind::upload_line) {
        ordinal = ++upload_ordinal_;
        if (!first_upload_)
            first_upload_ = first_byte;
        silence_dead_boards(ordinal);
    } else if (row.kind == Kind::part_crc) {
        ordinal = ++crc_ordinal_;
    }
    if (line.destination < 1 || line.destination > 7) {
        violation("destination outside 01 to 07: " + escape_bytes(raw));
        return;
    }
    if (row.kind != Kind::upload_line)
        flaky_run_ = 0;
    if (vanishes_on(line.command)) {
        vanish_ = fault_vanish(now);
        return;
    }
    const bool vanish_fault =
        row.kind == Kind::upload_line && config_.faults.vanish_after.count(ordinal);
    const size_t queued = output_.size();
    if (static_cast<size_t>(line.destination) <= boards_.size()) {
        Board& board = boards_[static_cast<size_t>(line.destination) - 1];
        if (listens(board, row.kind)) {
            if (!line.intact)
                reply(board, '?', "");
            else
                (this->*row.handler)(board, Received{line, raw, ordinal, now});
        }
    }
    // Without an acknowledgement on its way the port vanishes at once.
    const bool acked = output_.size() > queued && output_.back().vanish_after;
    if (vanish_fault && !acked)
        vanish_ = fault_vanish(now);
}

// The one command that makes the port vanish; it is neither carried out nor answered.
bool Hub::vanishes_on(std::string_view command)
{
    const auto& prefix = config_.faults.vanish_on;
    if (!prefix || vanished_on_command_ || !command.starts_with(*prefix))
        return false;
    vanished_on_command_ = true;
    return true;
}

// A board needs 1 ms after its acknowledgement of an upload line has left
// before it can take the next line. Both times err towards a longer pause (the
// acknowledgement's from before its write, the line's from after its read), so
// every line reported here truly came early; a line read before the
// acknowledgement left was sent before the host could have seen it.
void Hub::check_pause(std::string_view raw, Nanos read_at)
{
    if (!upload_ack_left_ || read_at < *upload_ack_left_)
        return;
    const Nanos pause = read_at - *upload_ack_left_;
    upload_ack_left_.reset();
    if (pause < nanos_per_ms)
        violation("line " + std::to_string(pause / 1000)
                  + " us after an upload line's acknowledgement left, within its 1 ms: "
                  + escape_bytes(raw));
}

void Hub::check_counter(const HostLine& line, std::string_view raw)
{
    if (!line.counter)
        return;
    if (last_counter_) {
        if (*line.counter <= *last_counter_)
            violation("tag counter " + format("%08x", *line.counter) + " not above the previous "
                      + format("%08x", *last_counter_) + ": " + escape_bytes(raw));
        else if (*line.counter > *last_counter_ + 1)
            ++tag_gaps_;
    }
    last_counter_ = line.counter;
}

void Hub::silence_dead_boards(uint64_t upload_ordinal)
{
    for (const auto& [number, last_answered] : config_.faults.dead_after) {
        Board& board = boards_[static_cast<size_t>(number) - 1];
        if (upload_ordinal > last_answered && !board.dead) {
            board.dead = true;
            board.announcing = false;
            if (log_)
                log_("board " + std::to_string(number) + " stops answering");
        }
    }
}

bool Hub::listens(const Board& board, Kind kind)
{
    if (!board.in_bootloader())
        return false;
    return !board.silent || kind == Kind::reboot_boot;
}

void Hub::on_stop_ping(Board& board, const Received& r)
{
    board.announcing = config_.faults.keep_announcing;
    acknowledge(board, r.line);
}

void Hub::on_upload_line(Board& board, const Received& r)
{
    ++board.upload_lines;
    // Both draws happen for every line, so one rate does not shift the other's sequence.
    const bool lose_by_rate = draw(config_.faults.lose_ack_rate);
    const bool nak_by_rate = draw(config_.faults.nak_rate);
    std::string problem;
    const std::optional<UploadRecord> record = parse_upload_record(r.line.command, problem);
    if (!record)
        return reject(board, problem, r.raw);
    if (!problem.empty())
        violation(problem + ": " + escape_bytes(r.raw));
    if (record->data.size() != 16)
        violation("upload line does not carry 16 bytes: " + escape_bytes(r.raw));
    if (record->address % 16 != 0)
        violation("upload line not on a 16-byte boundary: " + escape_bytes(r.raw));
    if (config_.faults.nak.count(r.ordinal) || nak_by_rate) {
        ++fault_counts_.naks;
        return reply(board, '?', "");
    }
    if (!board.write(record->address, record->data))
        return reject(
            board, "upload line outside the flash of board " + std::to_string(board.number), r.raw);
    // The flaky line loses the acknowledgements of the host's first ten tries in a
    // row (one whole attempt); the next try in that row goes through.
    const bool flaky = config_.faults.flaky_address == record->address && ++flaky_run_ <= 10;
    if (config_.faults.lose_ack.count(r.ordinal) || lose_by_rate || flaky) {
        ++fault_counts_.acks_lost;
        return;
    }
    const bool vanish = config_.faults.vanish_after.count(r.ordinal) != 0;
    if (vanish && config_.faults.vanish_unacked)
        return; // the port goes before the acknowledgement
    const bool corrupt = config_.faults.bad_checksum.count(r.ordinal) != 0;
    if (corrupt)
        ++fault_counts_.bad_checksums;
    acknowledge(board, r.line, corrupt, vanish);
    output_.back().upload_ack = true;
}

void Hub::on_part_crc(Board& board, const Received& r)
{
    ++board.crc_queries;
    const std::string_view digits = std::string_view(r.line.command).substr(10);
    if (digits.size() != 6 || !is_lower_hex(digits))
        return reject(board, "CRC query address is not 6 lower-case hex digits", r.raw);
    const uint32_t address = *hex_field(digits);
    std::optional<uint16_t> crc = board.block_crc(address);
    if (!crc)
        return reject(board, "CRC query for no block of board " + std::to_string(board.number),
                      r.raw);
    if (config_.faults.wrong_crc.count(r.ordinal)) {
        ++fault_counts_.wrong_crcs;
        crc = static_cast<uint16_t>(*crc ^ 0xFFFF);
    }
    Outgoing out{frame_reply(board.number, '-', "CRC=" + format("%04X", *crc), style_)};
    out.crc_report = true;
    send(std::move(out));
}

void Hub::on_finish(Board& board, const Received& r)
{
    const std::optional<int> version =
        parse_finish_version(std::string_view(r.line.command).substr(8));
    if (!version)
        return reject(board, "FINISH without a version written as %04d", r.raw);
    board.finish_versions.push_back(*version);
    board.fw_version = *version;
    finish_order_.push_back(board.number);
    acknowledge(board, r.line);
}

void Hub::on_reboot_boot(Board& board, const Received& r)
{
    if (board.silent && !board.wake_at)
        board.wake_at = r.now + Nanos{config_.wake_ms} * nanos_per_ms;
}

void Hub::on_reboot_normal(Board& board, const Received&)
{
    board.mode = BoardMode::normal;
    board.announcing = false;
    board.silent = false;
    board.wake_at.reset();
}

void Hub::on_unknown(Board& board, const Received& r)
{
    reject(board, "unknown command", r.raw);
}

void Hub::tick(Nanos now)
{
    const Nanos period = Nanos{config_.announce_ms} * nanos_per_ms;
    for (Board& board : boards_) {
        if (board.wake_at && now >= *board.wake_at && board.in_bootloader()) {
            board.wake_at.reset();
            board.silent = false;
            board.resume_announcing(now);
        }
        if (!board.in_bootloader() || !board.announcing || board.silent
            || board.next_announce > now)
            continue;
        char payload[64];
        std::snprintf(payload, sizeof payload, "%04x%04x%04x%u",
                      static_cast<unsigned>(board.fw_version & 0xFFFF),
                      static_cast<unsigned>(config_.hwid),
                      static_cast<unsigned>(board.config.device_type),
                      static_cast<unsigned>(board.config.serial));
        Outgoing out{frame_reply(board.number, '*', payload, style_)};
        out.droppable = true;
        send(std::move(out));
        board.next_announce += period;
        if (board.next_announce <= now)
            board.next_announce = now + period;
    }
}

std::optional<Nanos> Hub::next_event() const
{
    std::optional<Nanos> next;
    auto consider = [&next](Nanos t) {
        if (!next || t < *next)
            next = t;
    };
    for (const Board& board : boards_) {
        if (!board.in_bootloader())
            continue;
        if (board.wake_at)
            consider(*board.wake_at);
        if (board.announcing && !board.silent)
            consider(board.next_announce);
    }
    return next;
}

std::vector<Outgoing> Hub::take_output()
{
    return std::exchange(output_, {});
}

std::optional<VanishRequest> Hub::take_vanish()
{
    return std::exchange(vanish_, std::nullopt);
}

VanishRequest Hub::fault_vanish(Nanos now) const
{
    return VanishRequest{now, Nanos{config_.faults.vanish_ms} * nanos_per_ms, false};
}

void Hub::on_port_back(Nanos now, bool restart)
{
    if (restart)
        restart_pending_ = false;
    for (Board& board : boards_) {
        if (restart)
            board.enter_bootloader(now);
        else
            board.resume_announcing(now);
    }
}

void Hub::on_host_open()
{
    if (config_.per_open_counter)
        last_counter_.reset();
}

bool Hub::hub_in_normal_firmware() const
{
    return !boards_.empty() && boards_[0].mode == BoardMode::normal;
}

std::string Hub::identity_line() const
{
    std::string line = style_.prefix ? ">>" : "";
    if (config_.identity_line) {
        line += *config_.identity_line;
    } else {
        const Board& main_board = boards_[0];
        char sn[32], fw[32];
        std::snprintf(sn, sizeof sn, "%04x.%04u", static_cast<unsigned>(config_.hwid),
                      static_cast<unsigned>(main_board.config.serial));
        std::snprintf(fw, sizeof fw, "%d.%02d", main_board.fw_version / 100,
                      main_board.fw_version % 100);
        line += "mfr:Corvane,sn:" + config_.identity_sn.value_or(sn) + ",hwid:"
                + format("%04x", config_.hwid) + ",fw:" + config_.identity_fw.value_or(fw);
    }
    return line + (style_.lf_only ? "\n" : "\r\n");
}

void Hub::send(Outgoing out)
{
    output_.push_back(std::move(out));
}

void Hub::reply(const Board& board, char kind, std::string_view payload, bool corrupt)
{
    send({frame_reply(board.number, kind, payload, style_, corrupt)});
}

void Hub::acknowledge(const Board& board, const HostLine& line, bool corrupt, bool vanish)
{
    Outgoing out{
        frame_reply(board.number, '+', config_.untagged_acks ? "" : line.tag, style_, corrupt)};
    out.vanish_after = vanish;
    send(std::move(out));
}

void Hub::reject(const Board& board, const std::string& problem, std::string_view raw)
{
    violation(problem + ": " + escape_bytes(raw));
    reply(board, '?', "");
}

void Hub::violation(const std::string& text)
{
    ++violation_count_;
    if (violations_.size() < max_kept_violations)
        violations_.push_back(text);
    if (log_)
        log_("VIOLATION " + text);
}

bool Hub::draw(double rate)
{
    const double sample = static_cast<double>(splitmix64(random_state_) >> 11) * 0x1.0p-53;
    return sample < rate;
}

} // namespace hubsim
