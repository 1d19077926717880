#include "report.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace hubsim {

namespace {

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string milliseconds(std::optional<Nanos> t)
{
    if (!t)
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(*t) / 1e6);
    return text;
}

std::string hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

template <typename List, typename Render> std::string json_list(const List& items, Render render)
{
    std::string out = "[";
    bool first = true;
    for (const auto& item : items) {
        if (!first)
            out += ", ";
        out += render(item);
        first = false;
    }
    return out + "]";
}

const char* mode_name(const Board& board)
{
    if (board.mode == BoardMode::absent)
        return "absent";
    if (board.dead)
        return "dead";
    if (board.mode == BoardMode::normal)
        return "normal";
    return board.silent ? "silent" : "bootloader";
}

std::string render_board(const Board& board)
{
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", board.flash_crc32());
    const uint32_t start = board.layout ? flash_base : 0;
    const uint32_t end = board.layout ? board.layout->end : 0;
    auto number = [](auto n) { return std::to_string(n); };
    auto range = [](const auto& r) {
        return "[" + std::to_string(r.first) + ", " + std::to_string(r.second) + "]";
    };
    return std::string("    {\"board\": ") + number(board.number) + ", \"device_type\": \""
           + hex4(board.config.device_type) + "\", \"mode\": \"" + mode_name(board)
           + "\",\n     \"fw_version\": " + number(board.fw_version) + ", \"fw_version_initial\": "
           + number(board.config.fw_version) + ", \"serial\": " + number(board.config.serial)
           + ",\n     \"flash_start\": " + number(start) + ", \"flash_end\": " + number(end)
           + ", \"flash_crc32\": \"" + crc
           + "\",\n     \"written\": " + json_list(board.written.ranges(), range) + ", \"finish\": "
           + json_list(board.finish_versions, number) + ",\n     \"upload_lines\": "
           + number(board.upload_lines) + ", \"crc_queries\": " + number(board.crc_queries) + "}";
}

std::string render_commands(const Hub& hub)
{
    std::string out = "{";
    bool first = true;
    for (const auto& [name, count] : hub.command_counts()) {
        if (!first)
            out += ", ";
        out += json_string(name) + ": " + std::to_string(count);
        first = false;
    }
    return out + "}";
}

} // namespace

std::string render_report(const Hub& hub, const PortStats& port, Nanos now)
{
    std::string boards;
    for (const Board& board : hub.boards())
        boards += (boards.empty() ? "" : ",\n") + render_board(board);
    const FaultCounts& faults = hub.fault_counts();
    auto number = [](auto n) { return std::to_string(n); };
    return "{\n  \"hwid\": \"" + hex4(hub.hwid()) + "\", \"elapsed_ms\": " + milliseconds(now)
           + ",\n  \"boards\": [\n" + boards + "\n  ],\n  \"finish_order\": "
           + json_list(hub.finish_order(), number) + ",\n  \"commands\": " + render_commands(hub)
           + ",\n  \"bytes_received\": " + number(port.bytes_received)
           + ", \"bytes_sent\": " + number(port.bytes_sent) + ",\n  \"first_upload_ms\": "
           + milliseconds(hub.first_upload()) + ", \"last_crc_ms\": " + milliseconds(hub.last_crc())
           + ",\n  \"restarts\": " + number(port.restarts) + ", \"vanishes\": "
           + number(port.vanishes) + ", \"host_opens\": " + number(port.host_opens)
           + ", \"tag_gaps\": " + number(hub.tag_gaps()) + ",\n  \"faults\": {\"acks_lost\": "
           + number(faults.acks_lost) + ", \"naks\": " + number(faults.naks)
           + ", \"bad_checksums\": " + number(faults.bad_checksums)
           + ", \"wrong_crcs\": " + number(faults.wrong_crcs)
           + "},\n  \"violation_count\": " + number(hub.violation_count())
           + ",\n  \"violations\": " + json_list(hub.violations(), json_string) + "\n}\n";
}

bool write_file_atomically(const std::string& path, const std::string& content)
{
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out.flush()) {
            std::fprintf(stderr, "hubsim: cannot write %s\n", temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "hubsim: cannot rename %s to %s\n", temporary.c_str(), path.c_str());
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool write_flash_dumps(const Hub& hub, const std::string& dir)
{
    bool ok = true;
    for (const Board& board : hub.boards()) {
        if (!board.layout)
            continue;
        const std::string content(board.flash.begin(), board.flash.end());
        ok = write_file_atomically(dir + "/board" + std::to_string(board.number) + ".bin", content)
             && ok;
    }
    return ok;
}

} // namespace hubsim
