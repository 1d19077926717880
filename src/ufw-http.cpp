// Loading a firmware image from the firmware server: the download step of the
// image loader, beside the automatic update and the network layer it needs.
#include <new>
#include <string>
#include <string_view>

#include "action-auto.h"
#include "http.h"
#include "ufw-http.h"
#include "ufw.h"

namespace {

// The manifest comes from the network: a size outside what an image can be,
// or a name that no request line can carry, is not fetched at all.
bool entry_is_fetchable(const auto_manifest_entry& entry)
{
    if (entry.size < 1 || entry.size > UFW_MAX_FILE_SIZE || entry.file.empty())
        return false;
    for (char c : entry.file) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == 0x7F) // control characters and white space
            return false;
    }
    return true;
}

// Characters a URL path carries as they are (unreserved, sub-delimiters, ':', '@', '/').
bool is_path_character(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("-._~!$&'()*+,;=:@/").find(c) != std::string_view::npos;
}

// Escapes already present in the name ("%20") are kept; a lone '%' is escaped itself.
std::string firmware_path(std::string_view file)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string path = "/firmware/";
    for (size_t i = 0; i < file.size(); ++i) {
        const char c = file[i];
        const bool escape = c == '%' && i + 2 < file.size() && is_hex_digit(file[i + 1])
                            && is_hex_digit(file[i + 2]);
        if (is_path_character(c) || escape) {
            path += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        path += '%';
        path += hex[byte >> 4];
        path += hex[byte & 0x0F];
    }
    return path;
}

} // namespace

void ufw_load_http(const auto_manifest_entry& entry, ufw& image)
{
    image.loaded = false;
    image.version = 0;
    image.bad_record_line = 0;
    image.firmware.clear();
    if (!entry_is_fetchable(entry))
        return;
    std::string buffer;
    std::string path;
    std::string host;
    try {
        // One spare byte: a body of exactly `size` bytes still ends in a NUL.
        buffer.assign(static_cast<size_t>(entry.size) + 1, '\0');
        path = firmware_path(entry.file);
        host = firmware_server_host();
    } catch (const std::bad_alloc&) {
        return;
    }
    if (!http_get(host, path.c_str(), buffer.data(), entry.size))
        return;
    ufw_load_data(std::string_view(buffer.c_str()), image, ufw_source::download);
}
