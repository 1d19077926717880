// The automatic update: find every hub on the computer's serial ports, fetch
// the firmware server's release list (the manifest) and its list of
// recommended releases per hub type (the stable list), choose the hubs and the
// release (by asking, or by rule), download that release and update each hub.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// One hub found by the scan; only the copied facts, the port is closed again.
struct auto_hub_entry {
    std::string port;          // at most 255 characters
    bool in_bootloader = false;
    uint16_t hwid = 0;
    std::string name;          // at most 127 characters; detection leaves it empty
    uint16_t fw_version = 0;   // major * 100 + minor
    std::string serial;        // at most 17 characters
    bool selected = false;
};

// One release of the manifest.
struct auto_manifest_entry {
    int32_t version = 0;       // major * 100 + minor
    std::string file;          // name on the firmware server; at most 63 characters
    int32_t size = 0;          // bytes to reserve for the download
    std::string label;         // at most 31 characters, shown beside the version
};

// One line of the stable list: the release to install on hubs of one hardware id.
struct auto_stable_entry {
    uint16_t hwid = 0;
    uint16_t version = 0;      // 0: no recommendation
};

constexpr size_t AUTO_PORT_MAX = 255;
constexpr size_t AUTO_NAME_MAX = 127;
constexpr size_t AUTO_SERIAL_MAX = 17;
constexpr size_t AUTO_FILE_MAX = 63;
constexpr size_t AUTO_LABEL_MAX = 31;
constexpr int32_t AUTO_LIST_BYTES = 102400; // download buffer of each list
constexpr int32_t AUTO_MAX_LISTED_RELEASES = 5;

// ---- The scan ----
// Every port of serial_find_ports() that holds a hub, in the order listed.
std::vector<auto_hub_entry> auto_detect_hubs();

// ---- The two lists: download, and parse a body's text (up to its first NUL) ----
// Lines of "version,file,size,label"; lines without three commas make no entry.
std::vector<auto_manifest_entry> auto_parse_manifest(std::string_view text);
// Lines of "hwid,version" (hexadecimal, decimal); every non-empty line makes an entry.
std::vector<auto_stable_entry> auto_parse_stable_list(std::string_view text);
// Empty (after a message) when the download fails.
std::vector<auto_manifest_entry> auto_load_ufw_manifest();
std::vector<auto_stable_entry> auto_load_ufw_stable_list();

// ---- Choosing ----
// "v%d.%02d" of major * 100 + minor.
std::string auto_format_version(int32_t version);
// The release for hubs of `hwid` without asking: the stable list's version for
// it, or the first release when the list has none (or 0). Null when no
// release can be chosen.
const auto_manifest_entry* auto_choose_release(const std::vector<auto_manifest_entry>& manifest,
                                               const std::vector<auto_stable_entry>& stable,
                                               uint16_t hwid);
// Prints the prompt and reads numbers from `in` until one lies in 1..upper.
// 0 when the input ends first.
int32_t auto_read_choice(std::FILE* in, const char* prompt, int32_t upper);

// The action: 0 once the update pass has been made (also when some hubs
// failed), -1 when no hub was found or no valid firmware could be had.
int action_update_auto();
