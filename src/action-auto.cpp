// The automatic update: scan, choose hubs, fetch both lists, choose each hub's
// release, download each chosen release once, and make one update pass over
// the chosen hubs.
#include "action-auto.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "action-events.h"
#include "device.h"
#include "functions.h"
#include "http.h"
#include "interrupt.h"
#include "options.h"
#include "output.h"
#include "port-scan.h"
#include "serial.h"
#include "timer.h"
#include "ufw-http.h"
#include "ufw.h"

namespace {

void print_error(const char* text)
{
    output_error(text);
}

// ---- Reading numbers out of list lines ----

// Reads an unsigned number as "%x"/"%u" do: blanks skipped, a sign, "0x" in
// base 16, then digits. A negative number wraps; one too large for 64 bits
// reads as the largest value. False, with the view where the number failed,
// when no digit came.
bool scan_unsigned(std::string_view& text, int base, uint64_t& value)
{
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+'))
        text.remove_prefix(1);
    bool any_digit = false;
    if (base == 16 && text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2); // the "0" of the prefix counts as a digit read
        any_digit = true;
    }
    bool overflow = false;
    value = 0;
    for (; !text.empty() && digit_value(text.front(), base) >= 0; text.remove_prefix(1)) {
        const auto digit = static_cast<uint64_t>(digit_value(text.front(), base));
        overflow = overflow || value > (UINT64_MAX - digit) / static_cast<uint64_t>(base);
        value = overflow ? UINT64_MAX : value * static_cast<uint64_t>(base) + digit;
        any_digit = true;
    }
    if (negative && !overflow)
        value = 0 - value;
    return any_digit;
}

uint16_t scan_u16(std::string_view& text, int base, bool& read)
{
    uint64_t value = 0;
    read = scan_unsigned(text, base, value);
    return read ? static_cast<uint16_t>(value) : 0;
}

// A decimal field of the manifest: blanks, a sign, digits; no digits give 0.
// Values past the 32-bit range stop at its ends instead of wrapping round.
int32_t field_to_int(std::string_view text)
{
    const int64_t value = read_decimal(text, INT64_C(1) << 32);
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// Calls `take` for each LF-separated line of the text before its first NUL, less
// one trailing CR (servers may send CR LF), when something is left of it.
template <typename Fn> void for_each_line(std::string_view text, Fn take)
{
    const auto take_unless_empty = [&](std::string_view line) {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty())
            take(line);
        return true;
    };
    line_splitter lines;
    lines.feed(text.substr(0, text.find('\0')), take_unless_empty);
    lines.finish(take_unless_empty);
}

// Server text as it may be shown: a control character could garble the
// terminal or disguise what is listed, so each one shows as '?'.
std::string printable_text(std::string_view text)
{
    std::string shown(text);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return shown;
}

// ---- The two lists ----

// The search for the comma that ends a field starts at the field's second
// character, so a field is never empty: ",," makes a one-comma field.
size_t field_end(std::string_view line, size_t field_start)
{
    return line.find(',', field_start + 1);
}

bool parse_manifest_line(std::string_view line, auto_manifest_entry& entry)
{
    const size_t first = line.find(',');
    if (first == std::string_view::npos)
        return false;
    const size_t second = field_end(line, first + 1);
    if (second == std::string_view::npos)
        return false;
    const size_t third = field_end(line, second + 1);
    if (third == std::string_view::npos)
        return false;
    entry.version = field_to_int(line.substr(0, first));
    entry.file = std::string(line.substr(first + 1, std::min(second - first - 1, AUTO_FILE_MAX)));
    entry.size = field_to_int(line.substr(second + 1, third - second - 1));
    entry.label = printable_text(line.substr(third + 1, AUTO_LABEL_MAX));
    return true;
}

// Reads a line as "%hx,%hu" would: what cannot be read stays 0.
auto_stable_entry parse_stable_line(std::string_view line)
{
    auto_stable_entry entry;
    bool read = false;
    entry.hwid = scan_u16(line, 16, read);
    if (read && !line.empty() && line.front() == ',') {
        line.remove_prefix(1);
        entry.version = scan_u16(line, 10, read);
    }
    return entry;
}

// A list body into `text`; false when it could not be fetched.
bool download_list(const char* path, std::string& text)
{
    try {
        text.assign(static_cast<size_t>(AUTO_LIST_BYTES) + 1, '\0');
        if (!http_get(firmware_server_host(), path, text.data(), AUTO_LIST_BYTES))
            return false;
        text.resize(std::strlen(text.c_str()));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// ---- The scan ----

auto_hub_entry hub_entry_from_device(const device& dev, const char* port)
{
    auto_hub_entry hub;
    hub.port = std::string(std::string_view(port).substr(0, AUTO_PORT_MAX));
    hub.in_bootloader = dev.in_bootloader;
    hub.hwid = dev.hwid;
    hub.name = dev.name.substr(0, AUTO_NAME_MAX);
    hub.fw_version = dev.fw_version;
    hub.serial = dev.serial.substr(0, AUTO_SERIAL_MAX);
    return hub;
}

// ---- Choosing ----

enum class number_read { number, not_a_number, end_of_input };

// One "%d" conversion from the stream: blanks (newlines too) skipped, a sign,
// digits; the character after the number stays unread.
number_read read_number(std::FILE* in, int32_t& value)
{
    int c = std::getc(in);
    while (c != EOF && is_blank(static_cast<char>(c)))
        c = std::getc(in);
    if (c == EOF)
        return number_read::end_of_input;
    const bool negative = c == '-';
    if (c == '-' || c == '+')
        c = std::getc(in);
    if (c == EOF || digit_value(static_cast<char>(c), 10) < 0) {
        if (c != EOF)
            std::ungetc(c, in);
        return number_read::not_a_number;
    }
    int64_t magnitude = 0;
    for (; c != EOF && digit_value(static_cast<char>(c), 10) >= 0; c = std::getc(in))
        magnitude = std::min<int64_t>(magnitude * 10 + (c - '0'), INT64_C(1) << 32);
    if (c != EOF)
        std::ungetc(c, in);
    value = static_cast<int32_t>(
        std::clamp<int64_t>(negative ? -magnitude : magnitude, INT32_MIN, INT32_MAX));
    return number_read::number;
}

void discard_line(std::FILE* in)
{
    int c = std::getc(in);
    while (c != EOF && c != '\n')
        c = std::getc(in);
}

void print_hub_list(const std::vector<auto_hub_entry>& hubs)
{
    output_text("\nPlease choose which device to update\n");
    int number = 1;
    for (const auto_hub_entry& hub : hubs)
        output_format("  %d) %s (s/n %s) on port %s\n", number++, hub.name.c_str(),
                      hub.serial.c_str(), hub.port.c_str());
}

// Marks the hubs to update; false when the user's choice never came.
bool choose_hubs(std::vector<auto_hub_entry>& hubs)
{
    if (!options.prompt) {
        for (auto_hub_entry& hub : hubs)
            hub.selected = true;
        return true;
    }
    print_hub_list(hubs);
    const auto count = static_cast<int32_t>(std::min<size_t>(hubs.size(), INT32_MAX));
    const int32_t choice = auto_read_choice(stdin, "Device: ", count);
    if (choice == 0) {
        print_error("ERROR: No choice made\n");
        return false;
    }
    hubs[static_cast<size_t>(choice - 1)].selected = true;
    return true;
}

// Lists at most the first five releases and asks for one of them.
const auto_manifest_entry* ask_for_release(const std::vector<auto_manifest_entry>& manifest,
                                           bool& answered)
{
    output_text("\nPlease choose which firmware to use\n");
    const auto listed = static_cast<int32_t>(
        std::min<size_t>(manifest.size(), static_cast<size_t>(AUTO_MAX_LISTED_RELEASES)));
    for (int32_t i = 0; i < listed; ++i) {
        const auto_manifest_entry& entry = manifest[static_cast<size_t>(i)];
        output_format("  %d) %s (%s)\n", i + 1, auto_format_version(entry.version).c_str(),
                      entry.label.c_str());
    }
    const int32_t choice = auto_read_choice(stdin, "Firmware: ", listed);
    answered = choice != 0;
    return answered ? &manifest[static_cast<size_t>(choice - 1)] : nullptr;
}

// With --prompt the user's release goes to the hub the user chose.
bool ask_release_for_chosen_hub(const std::vector<auto_hub_entry>& hubs,
                                const std::vector<auto_manifest_entry>& manifest,
                                std::vector<const auto_manifest_entry*>& chosen)
{
    bool answered = false;
    const auto_manifest_entry* release = ask_for_release(manifest, answered);
    if (!answered) {
        print_error("ERROR: No choice made\n");
        return false;
    }
    for (size_t i = 0; i < hubs.size(); ++i)
        if (hubs[i].selected)
            chosen[i] = release;
    return true;
}

// The release for each hub (null for one that is not selected or has none);
// false after a message when the user made no choice or no hub has a release.
bool choose_releases(const std::vector<auto_hub_entry>& hubs,
                     const std::vector<auto_manifest_entry>& manifest,
                     const std::vector<auto_stable_entry>& stable,
                     std::vector<const auto_manifest_entry*>& chosen)
{
    chosen.assign(hubs.size(), nullptr);
    if (options.prompt && !manifest.empty())
        return ask_release_for_chosen_hub(hubs, manifest, chosen);
    for (size_t i = 0; i < hubs.size(); ++i)
        if (hubs[i].selected)
            chosen[i] = auto_choose_release(manifest, stable, hubs[i].hwid);
    if (std::all_of(chosen.begin(), chosen.end(), [](const auto* r) { return r == nullptr; })) {
        print_error("ERROR: No firmware release available\n");
        return false;
    }
    return true;
}

// ---- Downloading ----

// A release chosen for at least one hub, and the image downloaded for it.
struct release_image {
    const auto_manifest_entry* release = nullptr;
    ufw image;
};

const release_image* find_image(const std::vector<release_image>& images,
                                const auto_manifest_entry* release)
{
    const auto found = std::find_if(images.begin(), images.end(),
                                    [&](const release_image& r) { return r.release == release; });
    return found == images.end() ? nullptr : &*found;
}

// Each distinct release once, in the order the hubs need them; a download that
// is not a valid image is reported here and stays not loaded.
std::vector<release_image> download_releases(const std::vector<const auto_manifest_entry*>& chosen)
{
    std::vector<release_image> images;
    for (const auto_manifest_entry* release : chosen) {
        if (release == nullptr || find_image(images, release) != nullptr)
            continue;
        images.emplace_back();
        images.back().release = release;
        ufw_load_http(*release, images.back().image);
        if (!images.back().image.loaded)
            print_error("ERROR: Invalid firmware\n");
    }
    return images;
}

bool any_image_loaded(const std::vector<release_image>& images)
{
    return std::any_of(images.begin(), images.end(),
                       [](const release_image& r) { return r.image.loaded; });
}

// ---- The update pass ----

// "device <port> (<hwid>)", or with name and serial when the hub told them.
void print_device(const auto_hub_entry& hub)
{
    if (!hub.name.empty())
        output_format("device %s (%s) on %s", hub.name.c_str(), hub.serial.c_str(),
                      hub.port.c_str());
    else
        output_format("device %s (%04x)", hub.port.c_str(), static_cast<unsigned>(hub.hwid));
}

void print_update_line(const auto_hub_entry& hub, const ufw& image)
{
    output_text("\nUpdating ");
    print_device(hub);
    output_format(" with %s\n", auto_format_version(image.version).c_str());
}

void print_skip_line(const auto_hub_entry& hub, const char* reason)
{
    output_format("\n%s for ", reason);
    print_device(hub);
    output_text("; skipped\n");
}

// The result event's error code of an upload; null when the hub was updated.
const char* upload_error(update_result result)
{
    switch (result) {
    case update_result::updated:
        return nullptr;
    case update_result::failed:
        return "upload_failed";
    case update_result::refused:
        break;
    }
    return "wrong_firmware";
}

const char* switch_and_update(device* dev, const auto_hub_entry& hub, const ufw& image)
{
    if (!dev->in_bootloader) {
        device_switch_to_bootloader(dev);
        if (device_is_bootloader_ready(dev))
            hub_event(*dev, hub.port.c_str()); // now with its boards
    }
    if (device_is_bootloader_ready(dev))
        return upload_error(device_do_firmware_update(dev, image, options));
    output_format("Unable to open hub in bootloader mode on port %s\n", hub.port.c_str());
    return "not_in_bootloader";
}

// Null once the hub is updated, otherwise the result's error code. A hub that
// cannot be reached, brought into its bootloader or updated is passed over;
// the others are still updated. Beside other hubs, a stop request throws
// update_interrupted out of it.
const char* update_hub(const auto_hub_entry& hub, const ufw& image, bool beside_others)
{
    print_update_line(hub, image);
    std::unique_ptr<device> dev = device_create_from_port(hub.port.c_str());
    if (!dev) {
        output_format("Unable to open hub on port %s\n", hub.port.c_str());
        return "no_hub";
    }
    dev->stop_unwinds = beside_others;
    const char* error = nullptr;
    try {
        error = switch_and_update(dev.get(), hub, image);
    } catch (...) {
        device_free(dev); // the port's watcher ends before its record goes
        throw;
    }
    device_free(dev);
    return error;
}

// A hub without a release, or whose release was not a valid image, is skipped.
const char* update_hub_with_release(const auto_hub_entry& hub, const auto_manifest_entry* release,
                                    const std::vector<release_image>& images, bool beside_others)
{
    if (release == nullptr) {
        print_skip_line(hub, "No firmware release");
        return "no_release";
    }
    const release_image* found = find_image(images, release);
    if (found == nullptr || !found->image.loaded) {
        print_skip_line(hub, "No valid firmware");
        return "no_image";
    }
    return update_hub(hub, found->image, beside_others);
}

// One hub's turn, ended by its result event; null when it was updated.
const char* update_and_report(const auto_hub_entry& hub, const auto_manifest_entry* release,
                              const std::vector<release_image>& images, bool beside_others)
{
    const char* error = update_hub_with_release(hub, release, images, beside_others);
    output_result_event(hub.port, error);
    return error;
}

// A worker of the parallel pass: its hub's lines go out behind the port's name,
// and nothing it meets may end the others' updates.
const char* update_beside_others(const auto_hub_entry& hub, const auto_manifest_entry* release,
                                 const std::vector<release_image>& images)
{
    const output_prefix prefix(hub.port);
    const char* error = "upload_failed";
    try {
        return update_and_report(hub, release, images, true);
    } catch (const update_interrupted&) {
        error = "interrupted";
    } catch (const std::bad_alloc&) {
        output_out_of_memory();
    }
    output_result_event(hub.port, error);
    return error;
}

void print_summary(int updated, int selected)
{
    output_format("Updated %d of %d hubs\n", updated, selected);
    summary_event(updated, selected);
}

// The summary of a pass; 0 when every selected hub was updated, 1 when any was not.
int pass_result(const std::vector<auto_hub_entry>& hubs, const std::vector<const char*>& errors)
{
    int selected = 0;
    int updated = 0;
    for (size_t i = 0; i < hubs.size(); ++i) {
        selected += hubs[i].selected ? 1 : 0;
        updated += hubs[i].selected && errors[i] == nullptr ? 1 : 0;
    }
    print_summary(updated, selected);
    return updated == selected ? 0 : 1;
}

int update_pass(const std::vector<auto_hub_entry>& hubs,
                const std::vector<const auto_manifest_entry*>& chosen,
                const std::vector<release_image>& images)
{
    std::vector<const char*> errors(hubs.size(), nullptr);
    for (size_t i = 0; i < hubs.size(); ++i)
        if (hubs[i].selected)
            errors[i] = update_and_report(hubs[i], chosen[i], images, false);
    return pass_result(hubs, errors);
}

// --parallel: every selected hub at once, each in a thread of its own with its
// own link. A stop request lets every upload stop at its next line boundary
// before the process ends.
int parallel_update_pass(const std::vector<auto_hub_entry>& hubs,
                         const std::vector<const auto_manifest_entry*>& chosen,
                         const std::vector<release_image>& images)
{
    std::vector<const char*> errors(hubs.size(), nullptr);
    std::vector<std::string> ports;
    for (const auto_hub_entry& hub : hubs)
        if (hub.selected)
            ports.push_back(hub.port);
    {
        const interrupt_guard guard;
        const output_status_board board(ports);
        std::vector<std::thread> workers;
        for (size_t i = 0; i < hubs.size(); ++i) {
            if (!hubs[i].selected)
                continue;
            auto work = [&, i] { errors[i] = update_beside_others(hubs[i], chosen[i], images); };
            try {
                workers.emplace_back(work);
            } catch (const std::system_error&) {
                work(); // no thread to spare: this hub is done before the next starts
            }
        }
        for (std::thread& worker : workers)
            worker.join();
        if (const int code = interrupt_exit_code(); code != 0) {
            device_report_interrupted();
            std::exit(code);
        }
    }
    return pass_result(hubs, errors);
}

int run_update()
{
    options.force = true;
    // A mistyped server is told before the scan, which takes seconds per port.
    if (!firmware_server_usable())
        return -1;
    output_text("Searching for attached hubs, please wait...\n");
    std::vector<auto_hub_entry> hubs = auto_detect_hubs();
    if (hubs.empty()) {
        print_error("ERROR: Unable to find any Corvane hubs.\n");
        return -1;
    }
    if (!choose_hubs(hubs))
        return -1;
    const std::vector<auto_manifest_entry> manifest = auto_load_ufw_manifest();
    const std::vector<auto_stable_entry> stable = auto_load_ufw_stable_list();
    std::vector<const auto_manifest_entry*> chosen;
    if (!choose_releases(hubs, manifest, stable, chosen))
        return -1;
    std::vector<release_image> images = download_releases(chosen);
    if (!any_image_loaded(images))
        return -1;
    const int result = options.parallel ? parallel_update_pass(hubs, chosen, images)
                                        : update_pass(hubs, chosen, images);
    for (release_image& downloaded : images)
        ufw_free(downloaded.image);
    return result;
}

} // namespace

std::vector<auto_manifest_entry> auto_parse_manifest(std::string_view text)
{
    std::vector<auto_manifest_entry> manifest;
    try {
        for_each_line(text, [&](std::string_view line) {
            auto_manifest_entry entry;
            if (parse_manifest_line(line, entry))
                manifest.push_back(std::move(entry));
        });
    } catch (const std::bad_alloc&) {
        output_out_of_memory();
        manifest.clear();
    }
    return manifest;
}

std::vector<auto_stable_entry> auto_parse_stable_list(std::string_view text)
{
    std::vector<auto_stable_entry> stable;
    try {
        for_each_line(text,
                      [&](std::string_view line) { stable.push_back(parse_stable_line(line)); });
    } catch (const std::bad_alloc&) {
        output_out_of_memory();
        stable.clear();
    }
    return stable;
}

std::vector<auto_manifest_entry> auto_load_ufw_manifest()
{
    std::string text;
    if (!download_list("/firmware/manifest", text)) {
        print_error("Unable to download firmware list\n");
        return {};
    }
    return auto_parse_manifest(text);
}

std::vector<auto_stable_entry> auto_load_ufw_stable_list()
{
    std::string text;
    if (!download_list("/firmware/stable", text)) {
        print_error("Unable to download firmware stable list\n");
        return {};
    }
    return auto_parse_stable_list(text);
}

std::vector<auto_hub_entry> auto_detect_hubs()
{
    // The probes' threads report in any order; the list keeps the ports' order.
    std::mutex lock;
    std::vector<std::pair<size_t, auto_hub_entry>> found;
    scan_ports(false, [&](size_t index, const device* hub, const char* port) {
        if (hub == nullptr)
            return;
        hub_event(*hub, port);
        auto_hub_entry entry = hub_entry_from_device(*hub, port);
        const std::lock_guard guard(lock);
        found.emplace_back(index, std::move(entry));
    });
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<auto_hub_entry> hubs;
    hubs.reserve(found.size());
    for (auto& [index, entry] : found)
        hubs.push_back(std::move(entry));
    return hubs;
}

std::string auto_format_version(int32_t version)
{
    return format_version(version);
}

const auto_manifest_entry* auto_choose_release(const std::vector<auto_manifest_entry>& manifest,
                                               const std::vector<auto_stable_entry>& stable,
                                               uint16_t hwid)
{
    const auto recommended = std::find_if(
        stable.begin(), stable.end(), [&](const auto_stable_entry& e) { return e.hwid == hwid; });
    if (recommended == stable.end() || recommended->version == 0)
        return nullptr;
    const auto release =
        std::find_if(manifest.begin(), manifest.end(), [&](const auto_manifest_entry& e) {
            return e.version == recommended->version;
        });
    return release == manifest.end() ? nullptr : &*release;
}

int32_t auto_read_choice(std::FILE* in, const char* prompt, int32_t upper)
{
    int32_t choice = 0;
    while (upper >= 1 && (choice < 1 || choice > upper)) {
        output_text(prompt);
        const number_read result = read_number(in, choice);
        if (result == number_read::end_of_input)
            return 0;
        if (result == number_read::not_a_number) {
            choice = 0;
            discard_line(in);
        }
    }
    return upper >= 1 ? choice : 0;
}

int action_update_auto()
{
    try {
        return run_update();
    } catch (const std::bad_alloc&) {
        output_out_of_memory();
        return -1;
    }
}
