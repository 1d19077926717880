// Arbitrary bytes for both server list parsers: the manifest keeps its limits
// and lines, the stable list reads each line as "%hx,%hu" does.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "action-auto.h"

namespace {

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// The non-empty lines up to the first NUL; a CR LF line end counts as its LF.
std::vector<std::string> lines_of(std::string_view text)
{
    std::vector<std::string> lines;
    text = text.substr(0, text.find('\0'));
    for (size_t start = 0; start <= text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (!line.empty())
            lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = lines_of(text);
    const auto manifest = auto_parse_manifest(text);
    require(manifest.size() <= lines.size());
    for (const auto_manifest_entry& e : manifest) {
        require(!e.file.empty() && e.file.size() <= AUTO_FILE_MAX);
        require(e.label.size() <= AUTO_LABEL_MAX);
        require(e.file.find_first_of(std::string("\n\0", 2)) == std::string::npos);
        for (char c : e.label)
            require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    }
    // The C library's own conversion is the reference for the stable list.
    const auto stable = auto_parse_stable_list(text);
    require(stable.size() == lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        unsigned short hwid = 0, version = 0;
        std::sscanf(lines[i].c_str(), "%hx,%hu", &hwid, &version);
        require(stable[i].hwid == hwid && stable[i].version == version);
    }
    return 0;
}
