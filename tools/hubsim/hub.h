// The hub's behaviour: what it answers to each line from the host, when its
// boards announce themselves, and when its port has to vanish. Pure logic:
// time comes in as arguments, output goes out as queued lines, so the event
// loop alone deals with the pseudo-terminal and the pacing.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"
#include "codec.h"
#include "options.h"

namespace hubsim {

struct Outgoing {
    std::string text;
    bool droppable = false;    // an announcement: may be dropped while the link is backed up
    bool crc_report = false;   // the time it leaves is the report's last CRC time
    bool vanish_after = false; // the port vanishes once this line has left
    bool upload_ack = false;   // the host's next line must wait 1 ms after it has left
};

struct VanishRequest {
    Nanos at = 0;         // not before this time
    Nanos away = 0;       // how long the port stays away; 0: it does not vanish
    bool restart = false; // boards come back in the bootloader (else: as they were)
};

struct FaultCounts {
    uint64_t acks_lost = 0, naks = 0, bad_checksums = 0, wrong_crcs = 0;
};

class Hub {
public:
    using LogFn = std::function<void(const std::string&)>;

    Hub(const Config& config, Nanos now, LogFn log);

    // One line from the host with its terminator; `first_byte` is when its
    // first byte arrived on the simulated wire, `read_at` when the read that
    // brought it returned.
    void on_line(std::string_view raw, Nanos first_byte, Nanos read_at, Nanos now);
    void on_overlong_line(std::string_view head);
    void on_partial_line_dropped(std::string_view bytes);
    void tick(Nanos now);
    std::optional<Nanos> next_event() const;

    std::vector<Outgoing> take_output();
    std::optional<VanishRequest> take_vanish();
    void on_port_back(Nanos now, bool restart);
    void on_host_open();
    void on_crc_report_sent(Nanos when) { last_crc_ = when; }
    // `before` is a time taken before the write that let its last byte go.
    void on_upload_ack_sent(Nanos before) { upload_ack_left_ = before; }
    VanishRequest fault_vanish(Nanos now) const;

    // For the report.
    const std::vector<Board>& boards() const { return boards_; }
    const std::vector<int>& finish_order() const { return finish_order_; }
    const std::map<std::string, uint64_t>& command_counts() const { return commands_; }
    const FaultCounts& fault_counts() const { return fault_counts_; }
    const std::vector<std::string>& violations() const { return violations_; }
    uint64_t violation_count() const { return violation_count_; }
    uint64_t tag_gaps() const { return tag_gaps_; }
    std::optional<Nanos> first_upload() const { return first_upload_; }
    std::optional<Nanos> last_crc() const { return last_crc_; }
    uint16_t hwid() const { return config_.hwid; }

private:
    enum class Kind {
        stop_ping,
        upload_line,
        part_crc,
        finish,
        reboot_boot,
        reboot_normal,
        unknown
    };
    struct Received {
        const HostLine& line;
        std::string_view raw;
        uint64_t ordinal; // of upload lines and CRC queries, 0 for others
        Nanos now;
    };
    using Handler = void (Hub::*)(Board&, const Received&);
    struct CommandRow {
        std::string_view text;
        bool is_prefix;
        Kind kind;
        const char* count_name;
        Handler handler;
    };
    static const CommandRow command_table[];
    static const CommandRow& classify(std::string_view command);

    void handle_plain(const HostLine& line, Nanos now);
    void handle_framed(const HostLine& line, std::string_view raw, Nanos first_byte, Nanos now);
    void check_counter(const HostLine& line, std::string_view raw);
    void check_pause(std::string_view raw, Nanos read_at);
    bool vanishes_on(std::string_view command);
    void silence_dead_boards(uint64_t upload_ordinal);
    static bool listens(const Board& board, Kind kind);

    void on_stop_ping(Board& board, const Received& r);
    void on_upload_line(Board& board, const Received& r);
    void on_part_crc(Board& board, const Received& r);
    void on_finish(Board& board, const Received& r);
    void on_reboot_boot(Board& board, const Received& r);
    void on_reboot_normal(Board& board, const Received& r);
    void on_unknown(Board& board, const Received& r);

    bool hub_in_normal_firmware() const;
    std::string identity_line() const;
    void send(Outgoing out);
    void reply(const Board& board, char kind, std::string_view payload, bool corrupt = false);
    void acknowledge(const Board& board, const HostLine& line, bool corrupt = false,
                     bool vanish = false);
    void reject(const Board& board, const std::string& problem, std::string_view raw);
    void violation(const std::string& text);
    bool draw(double rate);

    const Config& config_;
    ReplyStyle style_;
    LogFn log_;
    std::vector<Board> boards_;
    std::vector<Outgoing> output_;
    std::optional<VanishRequest> vanish_;
    bool restart_pending_ = false;

    uint64_t upload_ordinal_ = 0, crc_ordinal_ = 0;
    uint64_t flaky_run_ = 0; // arrivals of the flaky line in a row, no other framed line between
    bool vanished_on_command_ = false;
    uint64_t random_state_;
    std::optional<uint32_t> last_counter_;
    uint64_t tag_gaps_ = 0;
    std::map<std::string, uint64_t> commands_;
    FaultCounts fault_counts_;
    std::vector<int> finish_order_;
    std::vector<std::string> violations_;
    uint64_t violation_count_ = 0;
    std::optional<Nanos> first_upload_, last_crc_, upload_ack_left_;
};

} // namespace hubsim
