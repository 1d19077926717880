// Where the program's report goes: human text on stdout, or, with --json, one
// JSON object per line (JSON Lines) on stdout for scripts and the human text
// on stderr, so that stdout holds nothing a JSON reader would trip over.
//
// Several hubs may be handled at once, one thread each. A thread's output then
// takes a route of its own: kept whole (a scan shows each port's output in port
// order afterwards, as if the ports had been probed one after another) or
// written line by line behind the hub's port name in brackets (--parallel).
#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

// Switches to JSON Lines for the rest of the run.
void output_use_json();
bool output_json();

// Human text, written and flushed: stdout normally, stderr with --json.
void output_text(std::string_view text);
[[gnu::format(printf, 1, 2)]] void output_format(const char* format, ...);
// Error text on stderr, after whatever stdout holds.
void output_error(std::string_view text);
[[gnu::format(printf, 1, 2)]] void output_error_format(const char* format, ...);
// "ERROR: Unable to allocate memory" on stderr.
void output_out_of_memory();

// ---- Routes ----
struct output_route; // a thread's own destination; private to the output module
// Output kept by a route, to be written later in one piece.
struct output_kept {
    struct piece {
        bool to_stderr;
        std::string text;
    };
    std::vector<piece> pieces;
};
// While it lives, this thread's output goes into `kept` instead of out.
class output_keep {
public:
    explicit output_keep(output_kept& kept);
    ~output_keep();
    output_keep(const output_keep&) = delete;
    output_keep& operator=(const output_keep&) = delete;

private:
    std::shared_ptr<output_route> route_;
};
// Writes what a route kept, in the order it came.
void output_write_kept(const output_kept& kept);
// While it lives, each line of this thread's human text goes out as
// "[port] line" (line ends and carriage returns are the prefix's; blank lines
// are left out), written whole so that the lines of several hubs never mix.
class output_prefix {
public:
    explicit output_prefix(std::string_view port);
    ~output_prefix(); // writes a last unfinished line
    output_prefix(const output_prefix&) = delete;
    output_prefix& operator=(const output_prefix&) = delete;

private:
    std::shared_ptr<output_route> route_;
};
// The route of this thread (null: straight out), to be taken over by a helper
// thread (the port's watcher) so that its messages go the same way.
std::shared_ptr<output_route> output_current_route();
void output_take_route(std::shared_ptr<output_route> route);

// ---- Status of several hubs at once ----
// While it lives, the hubs' stages and progress are shown together: on a
// terminal as one status line redrawn in place (the hubs' message lines are
// written above it), otherwise as one line per hub at each 10% of its upload
// and at each change of stage. Not shown with --json, which has the events.
class output_status_board {
public:
    explicit output_status_board(const std::vector<std::string>& ports);
    ~output_status_board();
    output_status_board(const output_status_board&) = delete;
    output_status_board& operator=(const output_status_board&) = delete;
};
// True when progress goes out as events or on the status board instead of as
// the progress line of one hub.
bool output_progress_elsewhere();

// ---- Events ----
// Writes one event as a line of stdout; text that is not valid UTF-8 (a hub's
// own words, a port name) is written with U+FFFD in place of each bad byte.
void output_write_event(const nlohmann::ordered_json& event);
// Reports an event that could not be built; the run goes on without it.
void output_event_failed();

// Builds and writes an event only in JSON mode, so the text mode pays nothing;
// `build` returns the event as an nlohmann::ordered_json (fields in order).
template <typename Build> void output_event(Build build) noexcept
{
    if (!output_json())
        return;
    try {
        output_write_event(build());
    } catch (...) {
        output_event_failed();
    }
}

// The events the hub actions share; `port` names the hub. They also move the
// hub on the status board while one is shown.
// stage: "switching", "uploading", "finishing" or "restarting".
void output_stage_event(std::string_view port, const char* stage);
void output_progress_event(std::string_view port, int done, int total, int failures);
// The end of one hub's update or restart: ok without an error code, or the code.
void output_result_event(std::string_view port, const char* error);
