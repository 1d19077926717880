// The framed command exchange with the boards' bootloaders: each command line
// carries the board's address, a checksum and a sequence tag, and waits for
// the board's acknowledgement of that very tag. Received text is read only as
// far as it goes: a short or malformed line from the hub never makes a field
// read past its end.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device-internal.h"
#include "device.h"
#include "functions.h"
#include "interrupt.h"
#include "output.h"
#include "serial.h"
#include "timer.h"

using namespace device_internal;

namespace {

constexpr size_t max_command_length = 236;
constexpr size_t max_payload_length = 255;
constexpr int32_t refused_write_limit_ms = 10000;

} // namespace

namespace device_internal {

std::string_view field(std::string_view text, size_t pos, size_t count)
{
    if (pos >= text.size())
        return {};
    return text.substr(pos, count);
}

void flush_and_print(const char* text)
{
    output_text(text);
}

serial_port* link_of(device* dev)
{
    return dev->link.get();
}

void stop_if_interrupted(device* dev)
{
    const int code = interrupt_exit_code();
    if (code == 0)
        return;
    if (dev->stop_unwinds)
        throw update_interrupted{code};
    device_report_interrupted();
    // The watcher thread must not outlive the port it watches while the process ends.
    if (dev->link)
        serial_free(dev->link.get());
    std::exit(code);
}

void upload_pause(device* dev, int32_t ms)
{
    constexpr int32_t step_ms = 50;
    const int32_t start = get_absolute_time();
    for (int32_t left = ms; left > 0; left = time_remaining(start, ms)) {
        wait_ms(std::min(left, step_ms));
        stop_if_interrupted(dev);
    }
}

} // namespace device_internal

void device_report_interrupted()
{
    output_error(
        "\nERROR: Interrupted. The hub is left in its bootloader with incomplete firmware. "
        "Run the same command again to complete the update (power-cycle the hub first if "
        "it is not found).\n");
}

namespace {

// A refused write is repeated until the link takes it, for 10 s from the first
// refusal at most; the pause keeps a link that refuses for long from burning a
// core. A port that vanished and did not come back is not waited for again.
bool write_line(device* dev, const char* text, bool retry_write)
{
    int32_t first_refusal = 0;
    for (bool refused = false; !serial_tx(link_of(dev), text); refused = true) {
        if (!retry_write)
            return false;
        if (!refused)
            first_refusal = get_absolute_time();
        if (link_of(dev)->return_waited_out
            || time_reached(first_refusal, refused_write_limit_ms)) {
            dev->link_lost = true;
            return false;
        }
        wait_ms(1);
    }
    return true;
}

// A CRC report that answers the query goes to `crc_report`.
bool await_reply(device* dev, uint8_t board, bool crc_query, std::string_view tag,
                 uint16_t timeout_ms, uint16_t& crc_report)
{
    char received[256];
    bootloader_line reply;
    const int32_t start = get_absolute_time();
    // Each read wakes as soon as bytes arrive and never waits past the time-out.
    for (int32_t left = timeout_ms; left > 0; left = time_remaining(start, timeout_ms)) {
        if (!serial_rx_wait(link_of(dev), received, sizeof received, left))
            continue;
        received[sizeof received - 1] = '\0';
        if (!device_is_bootloader_line(received, &reply))
            continue;
        switch (device_judge_reply(reply, board, crc_query, tag)) {
        case reply_verdict::accept:
            if (crc_query)
                crc_report = ascii_hex_to_uint16(field(reply.payload, 4, 4));
            return true;
        case reply_verdict::resend:
            return false;
        case reply_verdict::skip:
            break;
        }
    }
    return false;
}

} // namespace

bool device_is_bootloader_line(std::string_view text, bootloader_line* out)
{
    *out = bootloader_line{};
    const size_t length = text.size();
    if (length <= 4 || text[0] != '@' || text[length - 3] != '|')
        return false;
    const std::string_view head = text.substr(0, length - 3);
    if (crc2c_len(head, static_cast<int32_t>(head.size()))
        != ascii_hex_to_uint8(text.substr(length - 2)))
        return false;
    out->destination = ascii_hex_to_uint8(field(head, 1, 2));
    out->source = ascii_hex_to_uint8(field(head, 3, 2));
    out->kind = head.size() > 5 ? head[5] : '\0';
    const std::string_view payload = field(head, 6, max_payload_length);
    std::copy(payload.begin(), payload.end(), out->payload);
    return true;
}

void device_build_command_line(uint8_t board, std::string_view command, uint32_t counter,
                               command_line& out)
{
    command = command.substr(0, std::min(command.size(), max_command_length));
    int n = std::snprintf(out.text, sizeof out.text, "@%02x00%.*s", static_cast<unsigned>(board),
                          static_cast<int>(command.size()), command.data());
    const uint8_t checksum = crc2c(std::string_view(out.text, static_cast<size_t>(n)));
    std::snprintf(out.tag, sizeof out.tag, ">%01x%08x", static_cast<unsigned>(board),
                  static_cast<unsigned>(counter));
    n += std::snprintf(out.text + n, sizeof out.text - static_cast<size_t>(n), "|%02x%s\n",
                       static_cast<unsigned>(checksum), out.tag);
    out.length = static_cast<size_t>(n);
}

reply_verdict device_judge_reply(const bootloader_line& reply, uint8_t board, bool crc_query,
                                 std::string_view tag)
{
    const std::string_view payload(reply.payload);
    if (crc_query) {
        // A CRC report is taken from whichever board sends it.
        const bool report = reply.kind == '-' && payload.substr(0, 4) == "CRC=";
        return report ? reply_verdict::accept : reply_verdict::skip;
    }
    if (reply.source != board)
        return reply_verdict::skip;
    if (reply.kind == '?')
        return reply_verdict::resend;
    if (reply.kind != '+')
        return reply_verdict::skip;
    // A tagged acknowledgement may belong to an earlier attempt; only our own tag counts.
    if (payload.empty() || payload[0] != '>')
        return reply_verdict::accept;
    return payload == tag ? reply_verdict::accept : reply_verdict::skip;
}

bool device_internal::exchange(device* dev, uint8_t board, const char* command, bool wait,
                               uint16_t timeout_ms, bool retry_write, uint16_t& crc_report)
{
    const bool crc_query = std::strncmp(command, "!PART_CRC", 9) == 0;
    command_line line;
    for (int attempt = 0; attempt < 10; ++attempt) {
        device_build_command_line(board, command, dev->next_tag++, line);
        if (!write_line(dev, line.text, retry_write))
            return false;
        if (!wait)
            return false;
        if (await_reply(dev, board, crc_query, line.tag, timeout_ms, crc_report))
            return true;
        serial_tx(link_of(dev), "\r\n");
        wait_ms(20);
    }
    return false;
}

bool device_send_command(device* dev, uint8_t board, const char* command, bool wait,
                         uint16_t timeout_ms, bool retry_write)
{
    uint16_t crc_report = 0;
    return exchange(dev, board, command, wait, timeout_ms, retry_write, crc_report);
}
