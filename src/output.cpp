// Output for people and for scripts, chosen once per run, and the routes that
// keep the output of several hubs handled at once apart.
#include "output.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "console.h"

struct output_route {
    std::mutex lock;             // the hub's thread and its port's watcher both write
    output_kept* kept = nullptr; // keep everything here, or else
    std::string prefix;          // write each line behind this
    std::string partial[2];      // the unfinished line of stdout's text and of stderr's
};

namespace {

bool json_mode = false;

// Held around every write to stdout or stderr, so lines of several threads never mix.
std::mutex write_lock;
thread_local std::shared_ptr<output_route> current_route;

// ---- The status board (under write_lock) ----

struct hub_status {
    std::string port;
    std::string stage = "starting";
    int done = 0;
    int total = 0;
    int tenths_shown = 0; // 10% steps of the upload already reported (not on a terminal)
};

struct status_board {
    bool shown = false;
    bool terminal = false;
    std::vector<hub_status> hubs;
    size_t line_length = 0; // of the status line on the terminal, to blank it out
};

status_board board;

void write_stream(std::FILE* stream, std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// The status line: per hub its port and its upload's blocks, or its stage.
std::string status_line()
{
    std::string line;
    for (const hub_status& hub : board.hubs) {
        line += line.empty() ? "[" : "  [";
        line += hub.port + "] ";
        if (hub.stage == "uploading" && hub.total > 0)
            line += std::to_string(hub.done) + "/" + std::to_string(hub.total);
        else
            line += hub.stage;
    }
    return line;
}

void draw_status_line()
{
    const std::string line = status_line();
    std::string text = "\r" + line;
    if (line.size() < board.line_length)
        text.append(board.line_length - line.size(), ' ');
    board.line_length = line.size();
    write_stream(stdout, text);
}

void blank_status_line()
{
    write_stream(stdout, "\r" + std::string(board.line_length, ' ') + "\r");
    board.line_length = 0;
}

// With write_lock held. On a terminal a message line goes above the status line.
void write_out(bool to_stderr, std::string_view text)
{
    const bool around_status = board.shown && board.terminal;
    if (around_status)
        blank_status_line();
    if (to_stderr)
        std::fflush(stdout);
    write_stream(to_stderr ? stderr : stdout, text);
    if (around_status)
        draw_status_line();
}

void write_locked(bool to_stderr, std::string_view text)
{
    const std::lock_guard guard(write_lock);
    write_out(to_stderr, text);
}

void keep(output_kept& kept, bool to_stderr, std::string_view text)
{
    if (kept.pieces.empty() || kept.pieces.back().to_stderr != to_stderr)
        kept.pieces.push_back({to_stderr, std::string()});
    kept.pieces.back().text += text;
}

void write_prefixed(output_route& route, bool to_stderr, std::string_view text)
{
    std::string& partial = route.partial[to_stderr ? 1 : 0];
    for (const char c : text) {
        if (c == '\r')
            continue;
        if (c != '\n') {
            partial += c;
        } else if (!partial.empty()) {
            write_locked(to_stderr, route.prefix + partial + "\n");
            partial.clear();
        }
    }
}

void emit(bool to_stderr, std::string_view text)
{
    output_route* route = current_route.get();
    if (route == nullptr)
        return write_locked(to_stderr, text);
    const std::lock_guard guard(route->lock);
    try {
        if (route->kept != nullptr)
            keep(*route->kept, to_stderr, text);
        else
            write_prefixed(*route, to_stderr, text);
    } catch (const std::bad_alloc&) {
        write_locked(to_stderr, text); // unrouted rather than lost
    }
}

void emit_format(bool to_stderr, const char* format, va_list arguments)
{
    char buffer[1024];
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, copy);
    va_end(copy);
    if (length < 0)
        return;
    if (static_cast<size_t>(length) < sizeof buffer)
        return emit(to_stderr, buffer);
    try {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, arguments);
        text.pop_back();
        emit(to_stderr, text);
    } catch (const std::bad_alloc&) {
        emit(to_stderr, std::string_view(buffer, sizeof buffer - 1));
    }
}

hub_status* board_hub(std::string_view port)
{
    for (hub_status& hub : board.hubs)
        if (hub.port == port)
            return &hub;
    return nullptr;
}

void board_stage(std::string_view port, const char* stage)
{
    const std::lock_guard guard(write_lock);
    hub_status* hub = board.shown ? board_hub(port) : nullptr;
    if (hub == nullptr || hub->stage == stage)
        return;
    hub->stage = stage;
    if (board.terminal)
        draw_status_line();
    else
        write_stream(stdout, "[" + hub->port + "] " + stage + "\n");
}

void board_progress(std::string_view port, int done, int total)
{
    const std::lock_guard guard(write_lock);
    hub_status* hub = board.shown ? board_hub(port) : nullptr;
    if (hub == nullptr || total <= 0)
        return;
    hub->done = done;
    hub->total = total;
    if (board.terminal)
        return draw_status_line();
    const int tenths = static_cast<int>(10LL * done / total);
    if (tenths <= hub->tenths_shown)
        return;
    hub->tenths_shown = tenths;
    char text[64];
    std::snprintf(text, sizeof text, "] uploading %d%% (%d/%d)\n", tenths * 10, done, total);
    write_stream(stdout, "[" + hub->port + text);
}

} // namespace

void output_use_json()
{
    json_mode = true;
}

bool output_json()
{
    return json_mode;
}

void output_text(std::string_view text)
{
    emit(json_mode, text);
}

void output_format(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    emit_format(json_mode, format, arguments);
    va_end(arguments);
}

void output_error(std::string_view text)
{
    emit(true, text);
}

void output_error_format(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    emit_format(true, format, arguments);
    va_end(arguments);
}

void output_out_of_memory()
{
    output_error("ERROR: Unable to allocate memory\n");
}

// ---- Routes ----

output_keep::output_keep(output_kept& kept) : route_(std::make_shared<output_route>())
{
    route_->kept = &kept;
    current_route = route_;
}

output_keep::~output_keep()
{
    current_route.reset();
}

void output_write_kept(const output_kept& kept)
{
    const std::lock_guard guard(write_lock);
    for (const output_kept::piece& piece : kept.pieces)
        write_out(piece.to_stderr, piece.text);
}

output_prefix::output_prefix(std::string_view port) : route_(std::make_shared<output_route>())
{
    route_->prefix = "[" + std::string(port) + "] ";
    current_route = route_;
}

output_prefix::~output_prefix()
{
    current_route.reset();
    for (int stream = 0; stream < 2; ++stream)
        if (!route_->partial[stream].empty())
            write_locked(stream == 1, route_->prefix + route_->partial[stream] + "\n");
}

std::shared_ptr<output_route> output_current_route()
{
    return current_route;
}

void output_take_route(std::shared_ptr<output_route> route)
{
    current_route = std::move(route);
}

// ---- Status board ----

output_status_board::output_status_board(const std::vector<std::string>& ports)
{
    if (json_mode)
        return;
    const std::lock_guard guard(write_lock);
    board.shown = true;
    board.terminal = console_stdout_is_terminal();
    board.line_length = 0;
    board.hubs.clear();
    for (const std::string& port : ports)
        board.hubs.push_back(hub_status{port});
    if (board.terminal)
        draw_status_line();
}

output_status_board::~output_status_board()
{
    const std::lock_guard guard(write_lock);
    if (board.shown && board.terminal)
        write_stream(stdout, "\n"); // the last status stays
    board.shown = false;
    board.hubs.clear();
}

bool output_progress_elsewhere()
{
    if (json_mode)
        return true;
    const std::lock_guard guard(write_lock);
    return board.shown;
}

// ---- Events ----

void output_write_event(const nlohmann::ordered_json& event)
{
    const std::string line =
        event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    output_route* route = current_route.get();
    if (route == nullptr || route->kept == nullptr)
        return write_locked(false, line);
    const std::lock_guard guard(route->lock); // a scan keeps its events in port order too
    keep(*route->kept, false, line);
}

void output_event_failed()
{
    output_out_of_memory();
}

void output_stage_event(std::string_view port, const char* stage)
{
    output_event([&] {
        return nlohmann::ordered_json{{"event", "stage"}, {"port", port}, {"stage", stage}};
    });
    board_stage(port, stage);
}

void output_progress_event(std::string_view port, int done, int total, int failures)
{
    output_event([&] {
        return nlohmann::ordered_json{{"event", "progress"},
                                      {"port", port},
                                      {"done", done},
                                      {"total", total},
                                      {"failures", failures}};
    });
    board_progress(port, done, total);
}

void output_result_event(std::string_view port, const char* error)
{
    output_event([&] {
        nlohmann::ordered_json event{{"event", "result"}, {"port", port}, {"ok", error == nullptr}};
        if (error != nullptr)
            event["error"] = error;
        return event;
    });
    board_stage(port, error == nullptr ? "done" : "failed");
}
