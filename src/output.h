// Where the program's report goes: human text on stdout, or, with --json, one
// JSON object per line (JSON Lines) on stdout for scripts and the human text
// on stderr, so that stdout holds nothing a JSON reader would trip over.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string_view>

// Switches to JSON Lines for the rest of the run.
void output_use_json();
bool output_json();

// Human text, written and flushed: stdout normally, stderr with --json.
void output_text(std::string_view text);
[[gnu::format(printf, 1, 2)]] void output_format(const char* format, ...);

// Writes one event as a line of stdout; text that is not valid UTF-8 (a hub's
// own words, a port name) is written with U+FFFD in place of each bad byte.
void output_write_event(const nlohmann::ordered_json& event);
// Reports an event that could not be built; the run goes on without it.
void output_event_failed();

// Builds and writes an event only in JSON mode, so the text mode pays nothing;
// `build` returns the event as an nlohmann::ordered_json (fields in order).
template <typename Build> void output_event(Build build) noexcept {
    if (!output_json()) return;
    try {
        output_write_event(build());
    } catch (...) {
        output_event_failed();
    }
}

// The events the hub actions share; `port` names the hub.
// stage: "switching", "uploading", "finishing" or "restarting".
void output_stage_event(std::string_view port, const char* stage);
void output_progress_event(std::string_view port, int done, int total, int failures);
// The end of one hub's update or restart: ok without an error code, or the code.
void output_result_event(std::string_view port, const char* error);
