// Output for people and for scripts, chosen once per run.
#include "output.h"

#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

namespace {

bool json_mode = false;

std::FILE* text_stream() {
    return json_mode ? stderr : stdout;
}

} // namespace

void output_use_json() {
    json_mode = true;
}

bool output_json() {
    return json_mode;
}

void output_text(std::string_view text) {
    std::FILE* stream = text_stream();
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void output_format(const char* format, ...) {
    std::FILE* stream = text_stream();
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stream, format, arguments);
    va_end(arguments);
    std::fflush(stream);
}

void output_write_event(const nlohmann::ordered_json& event) {
    const std::string line =
        event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void output_event_failed() {
    std::fputs("ERROR: Unable to allocate memory\n", stderr);
}

void output_stage_event(std::string_view port, const char* stage) {
    output_event([&] {
        return nlohmann::ordered_json{{"event", "stage"}, {"port", port}, {"stage", stage}};
    });
}

void output_progress_event(std::string_view port, int done, int total, int failures) {
    output_event([&] {
        return nlohmann::ordered_json{{"event", "progress"},
                                      {"port", port},
                                      {"done", done},
                                      {"total", total},
                                      {"failures", failures}};
    });
}

void output_result_event(std::string_view port, const char* error) {
    output_event([&] {
        nlohmann::ordered_json event{{"event", "result"}, {"port", port}, {"ok", error == nullptr}};
        if (error != nullptr) event["error"] = error;
        return event;
    });
}
