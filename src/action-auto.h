// The automatic update: find every hub on the computer's serial ports, fetch
// the firmware server's release list (the manifest) and its list of
// recommended releases per hub type (the stable list), choose the hubs and the
// release of each (by asking, or by its hub type), download each release once
// and update each hub.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// One hub found by the scan; only the copied facts, the port is closed again.
struct auto_hub_entry {
    std::string port; // at most 255 characters
    bool in_bootloader = false;
    uint16_t hwid = 0;
    std::string name;        // at most 127 characters; detection leaves it empty
    uint16_t fw_version = 0; // major * 100 + minor
    std::string serial;      // at most 17 characters
    bool selected = false;
};

// One release of the manifest.
struct auto_manifest_entry {
    int32_t version = 0; // major * 100 + minor
    std::string file;    // name on the firmware server; at most 63 characters
    int32_t size = 0;    // bytes to reserve for the download
    std::string label;   // at most 31 characters, shown beside the version;
                         // control characters are stored as '?'
};

// One line of the stable list: the release to install on hubs of one hardware id.
struct auto_stable_entry {
    uint16_t hwid = 0;
    uint16_t version = 0; // 0: no recommendation
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
// Both take LF or CR LF line ends: one CR before each LF is dropped.
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
// The release for hubs of `hwid` without asking: the first manifest entry of
// the version that the stable list's first line for `hwid` names. Null when
// the list has no line for it, names version 0, or names a version no entry
// carries: such a hub is not updated.
const auto_manifest_entry* auto_choose_release(const std::vector<auto_manifest_entry>& manifest,
                                               const std::vector<auto_stable_entry>& stable,
                                               uint16_t hwid);
// Prints the prompt and reads numbers from `in` until one lies in 1..upper.
// 0 when the input ends first.
int32_t auto_read_choice(std::FILE* in, const char* prompt, int32_t upper);

// The action. Without --prompt every hub gets the release for its own hardware
// id (a hub without one is skipped with a line saying so); with --prompt the
// chosen hub gets the chosen release. An upload that gives up ends only that
// hub's turn. The pass ends with "Updated N of M hubs" (M: the hubs chosen,
// skipped ones included) and returns 0 when all M were updated, 1 when any was
// not; -1 before the pass when no hub was found, no choice was made, no hub
// has a release, or no release downloaded as a valid image.
int action_update_auto();
