// Drives the simulated hub with arbitrary bytes from the host and checks that
// everything it sends back is a well-formed line with a correct checksum.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "codec.h"
#include "hub.h"
#include "report.h"
#include "wire.h"

namespace {

hubsim::Config make_config(bool faults)
{
    hubsim::Config config;
    config.link = "unused";
    config.hwid = 0x1050;
    config.start_in_bootloader = true;
    const uint16_t types[] = {0x0101, 0x0201, 0x0303};
    for (int i = 0; i < 3; ++i) {
        hubsim::BoardConfig board;
        board.device_type = types[i];
        board.silent = faults && i == 1;
        config.boards.push_back(board);
    }
    if (faults) {
        config.faults.lose_ack_rate = 0.2;
        config.faults.nak = {2, 3};
        config.faults.wrong_crc = {1};
        config.faults.vanish_after = {5};
        config.faults.dead_after[3] = 6;
        config.faults.prefix_replies = true;
        config.untagged_acks = true;
    }
    return config;
}

void require(bool ok)
{
    if (!ok)
        std::abort();
}

// Every line the hub sends: optional ">>", then the identity line or "@00",
// board, kind, payload, "|", checksum (none is corrupted in these configurations), CR LF.
void check_sent_line(const std::string& text, bool prefixed)
{
    std::string body = text;
    require(!prefixed || body.rfind(">>", 0) == 0);
    body.erase(0, prefixed ? 2 : 0);
    require(body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0);
    body.resize(body.size() - 2);
    if (body.rfind("mfr:", 0) == 0)
        return;
    const size_t bar = body.rfind('|');
    require(body.rfind("@00", 0) == 0 && bar != std::string::npos && bar + 3 == body.size());
    const std::optional<uint32_t> given = hubsim::hex_field(body.substr(bar + 1));
    require(given && *given == hubsim::sum_checksum(std::string_view(body).substr(0, bar)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const hubsim::Config plain = make_config(false);
    static const hubsim::Config faulty = make_config(true);
    const bool faults = size > 0 && (data[0] & 1);
    const hubsim::Config& config = faults ? faulty : plain;
    hubsim::Hub hub(config, 0, nullptr);
    hubsim::Receiver receiver(false, 0);
    receiver.feed(reinterpret_cast<const char*>(data), size, 0);
    hubsim::Nanos now = 0;
    while (std::optional<hubsim::ReceivedLine> line = receiver.pop_due(now)) {
        if (line->overlong)
            hub.on_overlong_line(line->text);
        else
            hub.on_line(line->text, now, now);
        now += 1'000'000;
        hub.tick(now);
        for (const hubsim::Outgoing& out : hub.take_output())
            check_sent_line(out.text, faults);
        if (std::optional<hubsim::VanishRequest> vanish = hub.take_vanish())
            hub.on_port_back(now, vanish->restart);
    }
    // Rendering checksums every board's whole flash, so it runs for a sample only.
    if (size % 16 == 0) {
        const std::string report = hubsim::render_report(hub, {}, now);
        require(!report.empty() && report.back() == '\n');
    }
    return 0;
}
