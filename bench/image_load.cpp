// Image load benchmark: what a large firmware image costs the loader and
// `hubflash --info`. It makes an image of seven full sections with
// tools/mkimage.py (three 0x1C000-byte sections of the 128-byte-block layout,
// four 0xC000-byte ones of the 64-byte layout: about 1.5 MB of text), times
// ufw_load_file in this process, then runs `hubflash --info` on the image and
// takes its wall time and peak RSS from the kernel, beside `hubflash --version`
// for the cost of starting the program at all. It prints each figure, with its
// target where it has one, and asserts nothing. See bench/README.md.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ufw.h"

namespace {

namespace fs = std::filesystem;
using bench_clock = std::chrono::steady_clock;

struct bench_options {
    std::string hubflash = HUB_BENCH_HUBFLASH;
    std::string mkimage = HUB_BENCH_MKIMAGE;
    int runs = 20;
    std::string keep; // directory to keep the image in; empty: a temporary one
};

// One finished child process: its exit code (-1 when it did not exit), how
// long it took and its peak RSS.
struct child_run {
    int exit_code = -1;
    double wall_ms = 0;
    long max_rss_kib = 0;
};

void say(const char* label, const std::string& value, const char* note = "")
{
    std::printf("%-44s %s%s%s\n", (std::string(label) + ":").c_str(), value.c_str(),
                *note ? "   " : "", note);
    std::fflush(stdout);
}

std::string format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

void usage()
{
    std::fputs("usage: bench_image_load [--hubflash PATH] [--mkimage PATH] [--runs N] "
               "[--keep DIR]\n",
               stderr);
}

bool parse_options(int argc, char** argv, bench_options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 == argc)
            return false;
        const std::string value = argv[++i];
        if (name == "--hubflash")
            options.hubflash = value;
        else if (name == "--mkimage")
            options.mkimage = value;
        else if (name == "--keep")
            options.keep = value;
        else if (name == "--runs")
            options.runs = std::atoi(value.c_str());
        else
            return false;
    }
    return options.runs > 0;
}

std::string load_average()
{
    double load[3] = {};
    if (getloadavg(load, 3) != 3)
        return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

// Runs the program with its standard output going to /dev/null; wait4 gives
// the child's own peak RSS, untouched by this process's memory.
child_run run_quietly(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    child_run run;
    const auto start = bench_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        return run;
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return run;
    run.wall_ms = std::chrono::duration<double, std::milli>(bench_clock::now() - start).count();
    run.max_rss_kib = usage.ru_maxrss;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool make_image(const bench_options& options, const std::string& path)
{
    std::vector<std::string> args = {"python3", options.mkimage, "--version", "306", "--seed",
                                     "1",       "--output",      path};
    for (const char* section : {"0101:0x1C000", "0102:0x1C000", "0103:0x1C000", "0201:0xC000",
                                "0202:0xC000", "0203:0xC000", "0204:0xC000"}) {
        args.push_back("--section");
        args.push_back(section);
    }
    return run_quietly(args).exit_code == 0;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string min_and_median(const std::vector<double>& values)
{
    return format("min %.2f ms", *std::min_element(values.begin(), values.end()))
           + format(", median %.2f ms", median(values));
}

double elapsed_ms(bench_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(bench_clock::now() - start).count();
}

// Where the block CRCs go, so that computing them cannot be optimised away.
volatile uint16_t crc_sink = 0;

// Every block's CRC, as --info prints them.
void crc_every_block(const ufw& image)
{
    for (const ufw_dfw& section : image.firmware)
        for (int32_t i = 0; i < section.block_count(); ++i) {
            const auto offset = static_cast<uint32_t>(i) * section.block_size;
            crc_sink = ufw_get_crc_for_firmware(section, offset);
        }
}

// The loader alone, file read included, as action-info and the upload call it;
// then the block CRCs that --info adds.
void measure_loader(const std::string& path, int runs)
{
    std::vector<double> load_times;
    std::vector<double> crc_times;
    size_t flash_bytes = 0;
    for (int i = 0; i < runs; ++i) {
        ufw image;
        const auto start = bench_clock::now();
        ufw_load_file(path.c_str(), image);
        load_times.push_back(elapsed_ms(start));
        if (!image.loaded) {
            say("ufw_load_file", "the image did not load");
            return;
        }
        const auto crc_start = bench_clock::now();
        crc_every_block(image);
        crc_times.push_back(elapsed_ms(crc_start));
        flash_bytes = 0;
        for (const ufw_dfw& section : image.firmware)
            flash_bytes += section.memory.size();
    }
    say("ufw_load_file", min_and_median(load_times));
    say("every block's CRC", min_and_median(crc_times));
    say("flash images held", format("%.0f KiB", static_cast<double>(flash_bytes) / 1024));
}

// Runs the program `runs` times; false as soon as it exits other than expected.
bool run_repeatedly(const std::vector<std::string>& args, int runs, int expected_exit,
                    std::vector<double>& wall_ms, long& max_rss_kib)
{
    for (int i = 0; i < runs; ++i) {
        const child_run run = run_quietly(args);
        if (run.exit_code != expected_exit)
            return false;
        wall_ms.push_back(run.wall_ms);
        max_rss_kib = std::max(max_rss_kib, run.max_rss_kib);
    }
    return true;
}

std::string kib_and_mib(long kib)
{
    return format("%.0f KiB", static_cast<double>(kib))
           + format(" (%.2f MiB)", static_cast<double>(kib) / 1024);
}

// --version loads nothing (and exits with 255): the cost of starting hubflash.
void measure_info(const bench_options& options, const std::string& path)
{
    std::vector<double> info_ms;
    std::vector<double> version_ms;
    long info_rss_kib = 0;
    long version_rss_kib = 0;
    if (!run_repeatedly({options.hubflash, "--info", "--fw", path}, options.runs, 0, info_ms,
                        info_rss_kib)
        || !run_repeatedly({options.hubflash, "--version"}, options.runs, 255, version_ms,
                           version_rss_kib)) {
        say("hubflash", "did not exit as expected");
        return;
    }
    say("hubflash --info wall time", min_and_median(info_ms), "target < 30 ms");
    say("hubflash --info peak RSS (largest)", kib_and_mib(info_rss_kib), "target < 12 MiB");
    say("hubflash --version wall time", min_and_median(version_ms));
    say("hubflash --version peak RSS (largest)", kib_and_mib(version_rss_kib));
}

// Empty when no directory could be made.
std::string working_directory(const bench_options& options)
{
    std::error_code ec;
    if (!options.keep.empty()) {
        fs::create_directories(options.keep, ec);
        return ec ? std::string() : options.keep;
    }
    std::string pattern = (fs::temp_directory_path(ec) / "hubflash-bench-XXXXXX").string();
    return !ec && mkdtemp(pattern.data()) ? pattern : std::string();
}

} // namespace

int main(int argc, char** argv)
{
    bench_options options;
    if (!parse_options(argc, argv, options)) {
        usage();
        return 2;
    }
    const std::string directory = working_directory(options);
    const std::string image = directory + "/seven-sections.ufw";
    say("hubflash", options.hubflash);
    say("load average at start", load_average());
    if (directory.empty() || !make_image(options, image)) {
        say("image", "could not be made with " + options.mkimage);
        return 1;
    }
    std::error_code ec;
    say("image", image + format(", %.0f bytes", static_cast<double>(fs::file_size(image, ec))));
    say("runs", std::to_string(options.runs));
    measure_loader(image, options.runs);
    measure_info(options, image);
    say("load average at end", load_average());
    if (options.keep.empty())
        fs::remove_all(directory, ec);
    return 0;
}
