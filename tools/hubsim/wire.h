// The serial wire between host and hub at 115200 baud, 8N1: received bytes
// become lines no sooner than the wire could have carried them, and sent
// bytes leave no faster than it carries them.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "hub.h"

namespace hubsim {

// 10 bits per byte at 115200 baud, rounded up so the simulated wire is never faster.
constexpr Nanos byte_time_ns = 86806;
constexpr size_t max_line_length = 1024;

struct ReceivedLine {
    std::string text;     // with its terminator; for an overlong line its first bytes
    Nanos first_byte = 0; // when its first byte had arrived
    Nanos read_at = 0;    // when the read that brought its first byte returned
    Nanos due = 0;        // when the hub has finished taking it in
    bool overlong = false;
};

class Receiver {
public:
    Receiver(bool pacing, Nanos line_delay) : pacing_(pacing), line_delay_(line_delay) {}

    void feed(const char* data, size_t size, Nanos now);
    std::optional<ReceivedLine> pop_due(Nanos now);
    std::optional<Nanos> next_due() const;
    // Forgets an unfinished line and returns its bytes; complete lines stay.
    std::string drop_partial();
    void clear();

private:
    void finish_line(Nanos at, bool overlong);

    bool pacing_;
    Nanos line_delay_;
    Nanos wire_clock_ = 0;  // when the wire has delivered the last byte
    Nanos hub_free_at_ = 0; // when the hub is done with the previous line
    std::string partial_;
    Nanos partial_first_ = 0, partial_read_at_ = 0;
    bool discarding_ = false; // skipping the rest of an overlong line
    std::deque<ReceivedLine> lines_;
};

struct SentLine {
    Outgoing line;
    Nanos done = 0; // when its last byte was written
};

class Transmitter {
public:
    // Writes bytes; returns how many were taken, or a negative value when none can be.
    using WriteFn = std::function<long(const char* data, size_t size)>;

    explicit Transmitter(bool pacing) : pacing_(pacing) {}

    void push(Outgoing line, Nanos now);
    // Writes every byte whose time has come; returns the lines that have fully left.
    std::vector<SentLine> flush(Nanos now, const WriteFn& write);
    std::optional<Nanos> next_due() const;
    size_t pending_bytes() const { return pending_bytes_; }
    bool blocked() const { return blocked_; }
    std::vector<Outgoing> drop_all();

private:
    struct Chunk {
        Outgoing line;
        Nanos start = 0; // when the wire starts carrying its first byte
        size_t written = 0;
    };
    Nanos byte_done(const Chunk& chunk, size_t index) const;

    bool pacing_;
    Nanos wire_clock_ = 0;
    std::deque<Chunk> chunks_;
    size_t pending_bytes_ = 0;
    bool blocked_ = false;
};

} // namespace hubsim
