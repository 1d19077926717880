// hubsim: one simulated hub on a pseudo-terminal. The event loop here owns
// the port, the paced wire and the clock; the hub's behaviour is in hub.cpp.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>

#include "codec.h"
#include "hub.h"
#include "options.h"
#include "port.h"
#include "report.h"
#include "wire.h"

namespace hubsim {

namespace {

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t dump_requested = 0;

extern "C" void on_stop_signal(int)
{
    stop_requested = 1;
}
extern "C" void on_dump_signal(int)
{
    dump_requested = 1;
}

constexpr Nanos nanos_per_ms = 1'000'000;
// While nobody has the slave open the master reports a hang-up at once, so it
// cannot be polled; this is how often we look whether the host is back.
constexpr Nanos host_recheck_ns = 3 * nanos_per_ms;
// Announcements wait for a backed-up link rather than pile up behind it.
constexpr size_t announcement_backlog_limit = 256;
// A hangup discards what the host has not read yet; an acknowledgement that
// must reach the host before the port vanishes gets this long to be read.
constexpr Nanos delivery_grace_ns = 10 * nanos_per_ms;

class Clock {
public:
    Nanos now() const
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now()
                                                                    - start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class Logger {
public:
    Logger(const std::string& path, const Clock& clock) : clock_(clock)
    {
        if (path == "-") {
            file_ = stderr;
        } else if (!path.empty()) {
            owned_.reset(std::fopen(path.c_str(), "w"));
            file_ = owned_.get();
            if (file_ == nullptr)
                std::fprintf(stderr, "hubsim: cannot open log file %s\n", path.c_str());
        }
        if (file_ != nullptr)
            setvbuf(file_, nullptr, _IOLBF, 0);
    }

    void operator()(const std::string& text) const
    {
        if (file_ != nullptr)
            std::fprintf(file_, "%10.3f %s\n", static_cast<double>(clock_.now()) / 1e6,
                         text.c_str());
    }

private:
    struct Closer {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    const Clock& clock_;
    std::unique_ptr<FILE, Closer> owned_;
    FILE* file_ = nullptr;
};

bool install_signal_handlers(sigset_t& wait_mask)
{
    struct sigaction stop {
    }, dump{}, ignore{};
    stop.sa_handler = on_stop_signal;
    dump.sa_handler = on_dump_signal;
    ignore.sa_handler = SIG_IGN;
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaddset(&blocked, sig);
    // Blocked except inside ppoll, so a signal can never slip in unnoticed.
    return sigaction(SIGTERM, &stop, nullptr) == 0 && sigaction(SIGINT, &stop, nullptr) == 0
           && sigaction(SIGHUP, &stop, nullptr) == 0 && sigaction(SIGUSR1, &dump, nullptr) == 0
           && sigaction(SIGPIPE, &ignore, nullptr) == 0
           && sigprocmask(SIG_BLOCK, &blocked, &wait_mask) == 0;
}

class Simulator {
public:
    explicit Simulator(const Config& config)
        : config_(config), log_(config.log_file, clock_),
          hub_(config, 0, [this](const std::string& text) { log_(text); }),
          port_(config.link, config.link_rename),
          rx_(config.pacing, Nanos{config.line_delay_ms} * nanos_per_ms), tx_(config.pacing)
    {
    }

    int run();

private:
    void step(Nanos now);
    void come_back(Nanos now);
    void begin_vanish(const VanishRequest& request, Nanos now);
    void read_host();
    void probe_host();
    void host_opened();
    void process_lines();
    void queue_output(Nanos now);
    void flush_output(Nanos now);
    bool wait_for_events(Nanos now, const sigset_t& mask);
    std::optional<Nanos> next_wakeup(Nanos now) const;
    bool write_results(Nanos now);

    const Config& config_;
    Clock clock_;
    Logger log_;
    Hub hub_;
    Port port_;
    Receiver rx_;
    Transmitter tx_;
    PortStats stats_;
    std::optional<Nanos> back_at_;
    bool back_restart_ = false;
    std::optional<VanishRequest> pending_vanish_;
    bool host_connected_ = false;
};

int Simulator::run()
{
    sigset_t wait_mask;
    if (!install_signal_handlers(wait_mask)) {
        std::perror("hubsim: signals");
        return 1;
    }
    // Byte times are 87 us; the default 50 us timer slack would blur them.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    if (!port_.start())
        return 1;
    log_("port up: " + config_.link + " -> " + port_.slave_name());
    if (!config_.ready_file.empty()
        && !write_file_atomically(config_.ready_file, port_.slave_name() + "\n")) {
        port_.shutdown();
        return 1;
    }
    const std::optional<Nanos> exit_at =
        config_.exit_after_ms >= 0 ? std::optional<Nanos>(config_.exit_after_ms * nanos_per_ms)
                                   : std::nullopt;
    while (!stop_requested) {
        const Nanos now = clock_.now();
        if (exit_at && now >= *exit_at)
            break;
        if (dump_requested) {
            dump_requested = 0;
            write_results(now);
        }
        step(now);
        if (!wait_for_events(now, wait_mask))
            break;
    }
    log_("stopping");
    port_.shutdown();
    return write_results(clock_.now()) ? 0 : 1;
}

void Simulator::step(Nanos now)
{
    if (back_at_) {
        if (now >= *back_at_)
            come_back(now);
        return;
    }
    read_host();
    probe_host();
    if (!pending_vanish_)
        process_lines(); // a hub about to go takes nothing in
    hub_.tick(now);
    if (!pending_vanish_)
        pending_vanish_ = hub_.take_vanish(); // a second request waits its turn
    queue_output(now);
    flush_output(now);
    if (pending_vanish_ && now >= pending_vanish_->at) {
        const VanishRequest request = *pending_vanish_;
        pending_vanish_.reset();
        begin_vanish(request, now);
    }
}

void Simulator::begin_vanish(const VanishRequest& request, Nanos now)
{
    if (request.restart)
        ++stats_.restarts;
    else
        ++stats_.vanishes;
    if (request.away == 0) {
        log_("boards restart, the port stays");
        hub_.on_port_back(now, request.restart);
        return;
    }
    log_(std::string("port vanishes for ") + std::to_string(request.away / nanos_per_ms) + " ms");
    port_.vanish();
    rx_.clear();
    tx_.drop_all();
    host_connected_ = false;
    // Away for the whole time from the moment the log says so, however late
    // this loop ran after `now`.
    back_at_ = clock_.now() + request.away;
    back_restart_ = request.restart;
}

void Simulator::come_back(Nanos now)
{
    if (!port_.come_back()) {
        back_at_ = now + 100 * nanos_per_ms; // try again shortly rather than give up the hub
        return;
    }
    back_at_.reset();
    log_("port back: " + config_.link + " -> " + port_.slave_name());
    hub_.on_port_back(now, back_restart_);
}

void Simulator::read_host()
{
    char buffer[4096];
    for (int round = 0; round < 16 && port_.master() >= 0; ++round) {
        const ssize_t got = read(port_.master(), buffer, sizeof buffer);
        if (got <= 0)
            return; // nothing now, or EIO: no one has the slave open
        // Bytes prove an open even when it came and went between two looks.
        if (!host_connected_)
            host_opened();
        stats_.bytes_received += static_cast<uint64_t>(got);
        rx_.feed(buffer, static_cast<size_t>(got), clock_.now()); // the bytes were there by now
    }
}

void Simulator::probe_host()
{
    pollfd fd{port_.master(), POLLIN, 0};
    const bool connected = port_.master() >= 0 && poll(&fd, 1, 0) >= 0 && !(fd.revents & POLLHUP);
    if (connected == host_connected_)
        return;
    if (connected)
        return host_opened();
    host_connected_ = false;
    log_("host closed the port");
    const std::string unfinished = rx_.drop_partial();
    if (!unfinished.empty())
        hub_.on_partial_line_dropped(unfinished);
    for (const Outgoing& dropped : tx_.drop_all())
        if (dropped.vanish_after && !pending_vanish_)
            pending_vanish_ = hub_.fault_vanish(clock_.now());
}

void Simulator::host_opened()
{
    host_connected_ = true;
    ++stats_.host_opens;
    log_("host opened the port");
    hub_.on_host_open();
}

void Simulator::process_lines()
{
    while (std::optional<ReceivedLine> line = rx_.pop_due(clock_.now())) {
        log_("rx " + escape_bytes(line->text) + (line->overlong ? "..." : ""));
        if (line->overlong)
            hub_.on_overlong_line(line->text);
        else
            hub_.on_line(line->text, line->first_byte, line->read_at, line->due);
    }
}

void Simulator::queue_output(Nanos now)
{
    for (Outgoing& out : hub_.take_output()) {
        const bool drop =
            !host_connected_ || (out.droppable && tx_.pending_bytes() > announcement_backlog_limit);
        if (drop) {
            if (out.vanish_after && !pending_vanish_)
                pending_vanish_ = hub_.fault_vanish(now);
            continue;
        }
        log_("tx " + escape_bytes(out.text));
        tx_.push(std::move(out), now);
    }
}

void Simulator::flush_output(Nanos now)
{
    if (!host_connected_)
        return;
    const int master = port_.master();
    auto write_master = [this, master](const char* data, size_t size) -> long {
        const ssize_t written = write(master, data, size);
        if (written > 0)
            stats_.bytes_sent += static_cast<uint64_t>(written);
        return written;
    };
    // A fresh reading, from before the writes: no byte left earlier than it says.
    for (const SentLine& sent : tx_.flush(clock_.now(), write_master)) {
        if (sent.line.crc_report)
            hub_.on_crc_report_sent(sent.done);
        if (sent.line.upload_ack)
            hub_.on_upload_ack_sent(sent.done);
        if (sent.line.vanish_after && !pending_vanish_)
            pending_vanish_ = hub_.fault_vanish(now + delivery_grace_ns);
    }
}

std::optional<Nanos> Simulator::next_wakeup(Nanos now) const
{
    std::optional<Nanos> next = now + 1000 * nanos_per_ms;
    auto consider = [&next](std::optional<Nanos> t) {
        if (t && *t < *next)
            next = t;
    };
    if (back_at_) {
        consider(back_at_);
        return next;
    }
    if (!pending_vanish_)
        consider(rx_.next_due()); // lines wait while the hub is going
    if (host_connected_ && !tx_.blocked())
        consider(tx_.next_due());
    consider(hub_.next_event());
    if (pending_vanish_)
        consider(pending_vanish_->at);
    if (!host_connected_)
        consider(now + host_recheck_ns);
    if (config_.exit_after_ms >= 0)
        consider(config_.exit_after_ms * nanos_per_ms);
    return next;
}

bool Simulator::wait_for_events(Nanos now, const sigset_t& mask)
{
    const Nanos until = *next_wakeup(now);
    // Waking from a sleep takes tens of microseconds on a busy or virtual
    // machine, which would show in every time the trace and the checks measure.
    const Nanos remaining = config_.busy_wait ? 0 : std::max<Nanos>(0, until - clock_.now());
    const timespec timeout{static_cast<time_t>(remaining / 1'000'000'000),
                           static_cast<long>(remaining % 1'000'000'000)};
    pollfd fd{-1, 0, 0};
    if (!back_at_ && host_connected_ && port_.master() >= 0) {
        fd.fd = port_.master();
        fd.events = static_cast<short>(POLLIN | (tx_.blocked() ? POLLOUT : 0));
    }
    if (ppoll(&fd, 1, &timeout, &mask) < 0 && errno != EINTR) {
        std::perror("hubsim: ppoll");
        return false;
    }
    return true;
}

bool Simulator::write_results(Nanos now)
{
    bool ok = true;
    if (!config_.report_file.empty())
        ok = write_file_atomically(config_.report_file, render_report(hub_, stats_, now)) && ok;
    if (!config_.flash_dir.empty())
        ok = write_flash_dumps(hub_, config_.flash_dir) && ok;
    return ok;
}

} // namespace

} // namespace hubsim

int main(int argc, char** argv)
{
    try {
        hubsim::Config config;
        if (!hubsim::parse_command_line(argc, argv, config))
            return 2;
        hubsim::Simulator simulator(config);
        return simulator.run();
    } catch (const std::bad_alloc&) {
        std::fputs("hubsim: out of memory\n", stderr);
        return 1;
    }
}
