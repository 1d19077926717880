// The firmware upload: every block of every board in a shuffled order, each
// block's lines acknowledged one by one and the block confirmed by its CRC,
// then every board told to finish.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

#include "device-internal.h"
#include "device.h"
#include "functions.h"
#include "interrupt.h"
#include "options.h"
#include "output.h"
#include "serial.h"
#include "timer.h"
#include "ufw-device.h"
#include "ufw.h"

using namespace device_internal;

namespace {

constexpr int32_t max_line_attempts = 50;
constexpr int32_t max_block_sends = 60;

// The block order comes from std::rand, whose state all hubs share.
std::mutex shuffle_lock;

const ufw_dfw* section_for_board(const device* dev, const ufw& image, int32_t board)
{
    return ufw_get_for_device_type(image, dev->boards[static_cast<size_t>(board)].device_type);
}

int32_t upload_board_count(const device* dev)
{
    return std::clamp<int32_t>(dev->board_count, 0, static_cast<int32_t>(dev->boards.size()) - 1);
}

int32_t block_chars(const firmware_block& block)
{
    size_t chars = 0;
    for (const hex_line& line : block.lines)
        chars += line.text.size();
    return static_cast<int32_t>(chars);
}

enum class line_outcome { first_attempt, retried, failed };

line_outcome send_upload_line(device* dev, uint8_t board, const hex_line& line)
{
    for (int32_t attempt = 1; attempt <= max_line_attempts; ++attempt) {
        if (!serial_wait_available(link_of(dev)))
            return line_outcome::failed;
        if (device_send_command(dev, board, line.text.c_str(), true, 500, false)) {
            if (attempt == 1)
                return line_outcome::first_attempt;
            return attempt <= 5 ? line_outcome::retried : line_outcome::failed;
        }
        flush_and_print("Error sending command\r\n");
        upload_pause(dev, 1500);
    }
    return line_outcome::failed;
}

void stop_pings_repeatedly(device* dev, int times)
{
    for (int i = 0; i < times && !dev->link_lost; ++i)
        device_stop_pings(dev);
}

// False when the port did not come back in time.
bool reconnect_after_port_loss(device* dev)
{
    flush_and_print("\r\nSerial port is unavailable, please wait while we try to reconnect.\r\n");
    if (!serial_wait_available(link_of(dev)))
        return false;
    flush_and_print("Restarting upload for board\r\n");
    stop_pings_repeatedly(dev, 4);
    upload_pause(dev, 500);
    return !dev->link_lost;
}

// Only a report that answers this very query counts, never one left from an earlier block.
bool block_crc_matches(device* dev, uint8_t board, const ufw& image, uint32_t block_address)
{
    const ufw_dfw* section = section_for_board(dev, image, board);
    if (!section || block_address < UFW_FLASH_START)
        return false;
    const uint16_t expected = ufw_get_crc_for_firmware(*section, block_address - UFW_FLASH_START);
    char query[32];
    std::snprintf(query, sizeof query, "!PART_CRC=%06x", static_cast<unsigned>(block_address));
    uint16_t reported = 0;
    return exchange(dev, board, query, true, 3000, true, reported) && reported == expected;
}

enum class block_outcome {
    verified,
    failed,    // a line or the CRC did not get through
    restarted, // the block must be written afresh (after the pause that asks)
    link_lost, // the port did not come back, or refused writes for too long
};

block_outcome send_block(device* dev, uint8_t board, const ufw& image,
                         const std::vector<hex_line>& lines)
{
    if (lines.empty())
        return block_outcome::failed;
    for (const hex_line& line : lines) {
        stop_if_interrupted(dev);
        if (!serial_available(link_of(dev)))
            return reconnect_after_port_loss(dev) ? block_outcome::restarted
                                                  : block_outcome::link_lost;
        const line_outcome outcome = send_upload_line(dev, board, line);
        if (outcome != line_outcome::failed) {
            // The board needs 1 ms after its acknowledgement left, whatever we send
            // next; our own work counts towards it. The acknowledgement was the last
            // line the link handed out.
            wait_until_us(link_of(dev)->last_line_read_us + 1000);
        }
        switch (outcome) {
        case line_outcome::first_attempt:
            break;
        case line_outcome::retried:
            // The board may have lost its place in the block: write the block afresh.
            flush_and_print("Restarting upload for board\r\n");
            device_stop_pings(dev);
            upload_pause(dev, 1000);
            return dev->link_lost ? block_outcome::link_lost : block_outcome::restarted;
        case line_outcome::failed:
            // A port that is only away for now is still waited for at the next send.
            return link_of(dev)->return_waited_out ? block_outcome::link_lost
                                                   : block_outcome::failed;
        }
    }
    stop_if_interrupted(dev);
    if (block_crc_matches(dev, board, image, lines.front().address))
        return block_outcome::verified;
    return dev->link_lost ? block_outcome::link_lost : block_outcome::failed;
}

update_result give_up_update(device* dev)
{
    stop_if_interrupted(dev); // a wait cut short by the user is no failure of the hub
    flush_and_print(
        "Failed to update the Corvane hub. Please power cycle the hub and run hubflash again.\r\n");
    return update_result::failed;
}

// False when the link was lost on the way.
bool send_finish_commands(device* dev, int32_t version)
{
    char command[32];
    std::snprintf(command, sizeof command, "!FINISH %04d", static_cast<int>(version));
    for (int round = 0; round < 2; ++round) {
        for (int32_t b = upload_board_count(dev); b >= 1; --b) {
            for (const int32_t pause_ms : {4000, 2000}) {
                device_send_command(dev, static_cast<uint8_t>(b), command, false, 3000, true);
                if (dev->link_lost)
                    return false;
                upload_pause(dev, pause_ms);
            }
        }
    }
    return true;
}

// Sends one block until it is verified. Every send that does not verify it,
// a restart included, counts against the limits; false when they are reached.
bool upload_block(device* dev, const ufw& image, firmware_block& block, upload_progress& progress)
{
    for (int32_t sends = 0; !block.verified;) {
        if (sends == max_block_sends)
            return false;
        ++sends;
        const block_outcome outcome = send_block(dev, block.board, image, block.lines);
        block.verified = outcome == block_outcome::verified;
        if (block.verified)
            break;
        if (outcome == block_outcome::link_lost || ++progress.failures == progress.total_blocks)
            return false;
        if (outcome == block_outcome::failed)
            upload_pause(dev, 1000);
    }
    ++progress.done;
    progress.sent_chars += block_chars(block);
    return true;
}

// With --json an event replaces the progress line; it says what the last block
// changed, so there is none before the first block is done.
void show_progress(const device* dev, upload_progress& progress, int32_t start_time,
                   const options_record& opts)
{
    if (output_progress_elsewhere()) {
        if (progress.done > 0)
            output_progress_event(dev->port_name, progress.done, progress.total_blocks,
                                  progress.failures);
        return;
    }
    progress_text text;
    device_progress_text(progress, time_elapsed(start_time), opts, text);
    flush_and_print(text);
}

void show_final_progress(const device* dev, const upload_progress& progress,
                         const options_record& opts)
{
    if (output_progress_elsewhere()) {
        output_progress_event(dev->port_name, progress.done, progress.total_blocks,
                              progress.failures);
        return;
    }
    progress_text final_text;
    device_final_progress_text(progress, opts, final_text);
    flush_and_print(final_text);
}

bool upload_all_blocks(device* dev, const ufw& image, std::vector<firmware_block>& list,
                       upload_progress& progress, const options_record& opts)
{
    device_stop_pings(dev);
    if (dev->link_lost)
        return false;
    for (const firmware_block& block : list)
        progress.total_chars += block_chars(block);
    const int32_t start_time = get_absolute_time();
    output_stage_event(dev->port_name, "uploading");
    for (firmware_block& block : list) {
        show_progress(dev, progress, start_time, opts);
        if (!upload_block(dev, image, block, progress))
            return false;
        progress.spinner = (progress.spinner + 1) % 4;
    }
    show_final_progress(dev, progress, opts);
    output_stage_event(dev->port_name, "finishing");
    return true;
}

} // namespace

std::vector<firmware_block> device_build_firmware_blocks(const device* dev, const ufw& image,
                                                         int32_t* count)
{
    *count = 0;
    std::vector<firmware_block> list;
    for (int32_t b = upload_board_count(dev); b >= 1; --b) {
        const ufw_dfw* section = section_for_board(dev, image, b);
        if (!section)
            continue;
        for (int32_t i = 0; i < section->block_count(); ++i) {
            list.push_back(
                firmware_block{static_cast<uint8_t>(b), ufw_get_block_lines(*section, i), false});
            ++*count;
        }
    }
    shuffle_blocks(list);
    return list;
}

void shuffle_blocks(std::vector<firmware_block>& list)
{
    if (list.size() < 2)
        return;
    const std::lock_guard guard(shuffle_lock);
    // Reduced to 0..32767 on every runtime, so j stays inside the list.
    for (size_t i = list.size() - 1; i >= 1; --i) {
        const int r = std::rand() & 0x7FFF;
        const auto j = static_cast<size_t>(static_cast<double>(i + 1) * (r / 32768.0));
        std::swap(list[i], list[j]);
    }
}

void device_free_firmware_blocks(std::vector<firmware_block>& list)
{
    std::vector<firmware_block>().swap(list);
}

void device_stop_pings(device* dev)
{
    for (int32_t b = upload_board_count(dev); b >= 1 && !dev->link_lost; --b) {
        device_send_command(dev, static_cast<uint8_t>(b), "!STOP_PING", true, 1000, true);
        wait_ms(250);
    }
}

bool device_send_firmware_line_block(device* dev, uint8_t board, const ufw& image,
                                     const std::vector<hex_line>& lines)
{
    return send_block(dev, board, image, lines) == block_outcome::verified;
}

update_result device_do_firmware_update(device* dev, const ufw& image, const options_record& opts)
{
    // Nothing is sent to a hub that the image cannot fully serve: half a hub
    // updated leaves boards with firmware that does not fit together.
    if (ufw_check_device_status(image, *dev) == 0) {
        output_error("ERROR: The file does not contain the correct firmware for this hub\n");
        return update_result::refused;
    }
    std::vector<firmware_block> list;
    upload_progress progress;
    try {
        list = device_build_firmware_blocks(dev, image, &progress.total_blocks);
    } catch (const std::bad_alloc&) {
        output_out_of_memory();
        return update_result::failed;
    }
    const interrupt_guard guard;
    if (!upload_all_blocks(dev, image, list, progress, opts)
        || !send_finish_commands(dev, image.version))
        return give_up_update(dev);
    device_free_firmware_blocks(list);
    flush_and_print("Device updated successfully.\n");
    return update_result::updated;
}
