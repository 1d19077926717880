// The texts that show an upload's progress on one line, redrawn in place.
#include <algorithm>
#include <cstdio>

#include "device.h"
#include "options.h"

namespace {

constexpr char spinner_chars[] = {'|', '/', '-', '\\'};

int32_t rounded_percent(const upload_progress& p)
{
    if (p.total_blocks == 0)
        return 0;
    const auto raw = static_cast<int32_t>(100.0 * p.done / p.total_blocks + 2.5);
    return std::clamp(raw / 5 * 5, 0, 100);
}

int32_t exact_percent(const upload_progress& p)
{
    if (p.total_blocks == 0)
        return 0;
    return std::clamp(static_cast<int32_t>(100.0 * p.done / p.total_blocks), 0, 100);
}

void percent_text(int32_t percent, progress_text& out)
{
    std::snprintf(out, sizeof out, "\rUpdating, please wait   %d%%", static_cast<int>(percent));
}

void counter_text(const upload_progress& p, const char* rate, progress_text& out)
{
    std::snprintf(out, sizeof out, "\rUpdating, please wait   %04d/%04d/%04d  %c%s",
                  static_cast<int>(p.failures), static_cast<int>(p.done),
                  static_cast<int>(p.total_blocks), spinner_chars[p.spinner & 3], rate);
}

} // namespace

void device_progress_text(upload_progress& p, int32_t elapsed_ms, const options_record& opts,
                          progress_text& out)
{
    out[0] = '\0';
    const int32_t rounded = rounded_percent(p);
    if (opts.basic_status) {
        if (rounded != p.last_shown) {
            p.last_shown = rounded;
            percent_text(rounded, out);
        }
        return;
    }
    if (opts.no_status) {
        // The exact value is remembered but the rounded one is compared, so
        // this style redraws before nearly every block.
        if (rounded != p.last_shown) {
            p.last_shown = exact_percent(p);
            percent_text(p.last_shown, out);
        }
        return;
    }
    char rate[30] = {}; // the rate text is cut to 29 characters
    if (opts.tx_rate && elapsed_ms > 0)
        std::snprintf(
            rate, sizeof rate, "  %.2fKb/s %d of %d",
            static_cast<double>(static_cast<float>(p.sent_chars) / static_cast<float>(elapsed_ms)),
            static_cast<int>(p.sent_chars), static_cast<int>(p.total_chars));
    counter_text(p, rate, out);
}

void device_final_progress_text(const upload_progress& p, const options_record& opts,
                                progress_text& out)
{
    if (opts.basic_status || opts.no_status)
        percent_text(100, out);
    else
        counter_text(p, "", out);
}
