#include "wire.h"

#include <algorithm>
#include <utility>

namespace hubsim {

void Receiver::feed(const char* data, size_t size, Nanos now)
{
    for (size_t i = 0; i < size; ++i) {
        const Nanos arrived =
            pacing_ ? (wire_clock_ = std::max(wire_clock_, now) + byte_time_ns) : now;
        const char c = data[i];
        if (discarding_) {
            discarding_ = c != '\n';
            continue;
        }
        if (partial_.empty()) {
            partial_first_ = arrived;
            partial_read_at_ = now;
        }
        partial_ += c;
        if (c == '\n') {
            finish_line(arrived, false);
        } else if (partial_.size() >= max_line_length) {
            finish_line(arrived, true);
            discarding_ = true;
        }
    }
}

void Receiver::finish_line(Nanos at, bool overlong)
{
    ReceivedLine line;
    line.text = overlong ? partial_.substr(0, 64) : partial_;
    line.first_byte = partial_first_;
    line.read_at = partial_read_at_;
    line.due = std::max(at, hub_free_at_) + line_delay_;
    line.overlong = overlong;
    hub_free_at_ = line.due;
    lines_.push_back(std::move(line));
    partial_.clear();
}

std::optional<ReceivedLine> Receiver::pop_due(Nanos now)
{
    if (lines_.empty() || lines_.front().due > now)
        return std::nullopt;
    ReceivedLine line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

std::optional<Nanos> Receiver::next_due() const
{
    if (lines_.empty())
        return std::nullopt;
    return lines_.front().due;
}

std::string Receiver::drop_partial()
{
    discarding_ = false;
    return std::exchange(partial_, {});
}

void Receiver::clear()
{
    drop_partial();
    lines_.clear();
}

Nanos Transmitter::byte_done(const Chunk& chunk, size_t index) const
{
    return pacing_ ? chunk.start + static_cast<Nanos>(index + 1) * byte_time_ns : chunk.start;
}

void Transmitter::push(Outgoing line, Nanos now)
{
    Chunk chunk;
    chunk.start = std::max(wire_clock_, now);
    const size_t size = line.text.size();
    chunk.line = std::move(line);
    wire_clock_ = pacing_ ? chunk.start + static_cast<Nanos>(size) * byte_time_ns : chunk.start;
    pending_bytes_ += size;
    if (size == 0)
        return;
    chunks_.push_back(std::move(chunk));
}

std::vector<SentLine> Transmitter::flush(Nanos now, const WriteFn& write)
{
    std::vector<SentLine> sent;
    blocked_ = false;
    while (!chunks_.empty()) {
        Chunk& chunk = chunks_.front();
        size_t ready = chunk.written;
        while (ready < chunk.line.text.size() && byte_done(chunk, ready) <= now)
            ++ready;
        if (ready > chunk.written) {
            const long taken = write(chunk.line.text.data() + chunk.written, ready - chunk.written);
            if (taken <= 0) {
                blocked_ = true;
                break;
            }
            chunk.written += static_cast<size_t>(taken);
            pending_bytes_ -= static_cast<size_t>(taken);
            if (chunk.written < ready) { // the host's side is full
                blocked_ = true;
                break;
            }
        }
        if (chunk.written < chunk.line.text.size())
            break;
        sent.push_back({std::move(chunk.line), now});
        chunks_.pop_front();
    }
    return sent;
}

std::optional<Nanos> Transmitter::next_due() const
{
    if (chunks_.empty())
        return std::nullopt;
    const Chunk& chunk = chunks_.front();
    return byte_done(chunk, chunk.written);
}

std::vector<Outgoing> Transmitter::drop_all()
{
    std::vector<Outgoing> dropped;
    for (Chunk& chunk : chunks_)
        dropped.push_back(std::move(chunk.line));
    chunks_.clear();
    pending_bytes_ = 0;
    blocked_ = false;
    return dropped;
}

} // namespace hubsim
