// One run of the mode switch over the program's own IrDA stack on a serial line (the simulator's pty or a
// device), for the tshark test and the bench: prints what the user would have seen and how long it took, and
// writes the stack's capture when asked.
//
// Usage: qx_serial_session PATH [--disable] [--capture FILE] [--usb N]
// With --usb, the stack reaches the line at PATH through simulated USB dongle family N (0 to 5, in the order
// of the dongle tests), the chip's light side on PATH.
// Exit: 0 when the run reported success, 1 when it reported failure, 2 on a bad command line or capture file.
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/mode_switch.h"
#include "app/texts.h"
#include "irda/capture.h"
#include "irda/serial_irda_calls.h"
#include "irda/usb_dongle.h"
#include "link/forwarding_calls.h"
#include "link/irda_link.h"
#include "posix/posix_serial_port.h"
#include "sim_chips.h"
#include "support/posix_platform_calls.h"
#include "tests/unit/support/recording_host.h"

namespace {

constexpr std::array<qx::irda::DongleFamily, 6> ALL_FAMILIES{
    qx::irda::DongleFamily::Bridge, qx::irda::DongleFamily::Stir4200, qx::irda::DongleFamily::Mcs7780,
    qx::irda::DongleFamily::Ks959,  qx::irda::DongleFamily::KsDazzle, qx::irda::DongleFamily::KingSun};

long long SteadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The pauses the link itself asks for, however the stack spends them, and when each ran (in the steady clock,
// which the simulator's timeline shares).
class LinkPauses : public qx::ForwardingCalls {
  public:
    using ForwardingCalls::ForwardingCalls;
    void Sleep(std::uint32_t ms) override {
        totalMs += ms;
        const long long start = SteadyMicroseconds();
        ForwardingCalls::Sleep(ms);
        spans.push_back({start, SteadyMicroseconds(), ms});
    }
    std::uint64_t totalMs = 0;
    struct Span {
        long long startUs;
        long long endUs;
        std::uint32_t ms;
    };
    std::vector<Span> spans;
};

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    std::string capturePath;
    bool enable = true;
    std::optional<qx::irda::DongleFamily> usbFamily;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--disable") {
            enable = false;
        } else if (arg == "--capture" && i + 1 < argc) {
            capturePath = argv[++i];
        } else if (arg == "--usb" && i + 1 < argc && std::string_view(argv[i + 1]).size() == 1 &&
                   argv[i + 1][0] >= '0' &&
                   static_cast<std::size_t>(argv[i + 1][0] - '0') < ALL_FAMILIES.size()) {
            usbFamily = ALL_FAMILIES[static_cast<std::size_t>(argv[++i][0] - '0')];
        } else if (path.empty() && !arg.starts_with("--")) {
            path = arg;
        } else {
            std::fprintf(stderr, "usage: qx_serial_session PATH [--disable] [--capture FILE] [--usb N]\n");
            return 2;
        }
    }
    if (path.empty()) {
        std::fprintf(stderr, "usage: qx_serial_session PATH [--disable] [--capture FILE] [--usb N]\n");
        return 2;
    }
    std::ofstream captureFile;
    std::optional<qx::irda::PcapWriter> capture;
    if (!capturePath.empty()) {
        captureFile.open(capturePath, std::ios::binary | std::ios::trunc);
        if (!captureFile) {
            std::fprintf(stderr, "cannot write %s\n", capturePath.c_str());
            return 2;
        }
        capture.emplace(captureFile);
    }

    qxtest::PosixPlatformCalls platform;
    platform.sleeps = true;
    qx::PosixSerialPort serialPort;
    // A dongle's chip on a simulated bus, its light on the line.
    qx::PosixSerialPort light;
    std::unique_ptr<dongle_sim::SimChip> chip;
    dongle_sim::SimUsbHost bus;
    qx::irda::PlatformClock clock(platform);
    std::optional<qx::irda::UsbSerialPort> usbPort;
    if (usbFamily) {
        if (!light.Open(path)) {
            std::fprintf(stderr, "cannot open %s\n", path.c_str());
            return 2;
        }
        chip = dongle_sim::MakeChip(*usbFamily, light);
        bus.Attach(*chip);
        usbPort.emplace(bus, clock);
    }
    qx::irda::SerialPort& port = usbPort ? static_cast<qx::irda::SerialPort&>(*usbPort) : serialPort;
    qx::irda::SerialIrdaCalls calls(usbPort ? "USB" : path, port, platform, capture ? &*capture : nullptr);
    LinkPauses pauses(calls);
    qx::IrdaLink link(pauses);
    qx::FormTexts texts;
    qx::ApplyLanguage(qx::LANGUAGE_ENGLISH, texts);
    qx::test::RecordingHost host;

    const long long startUs = SteadyMicroseconds();
    const auto start = std::chrono::steady_clock::now();
    const qx::RunOutcome outcome = qx::RunModeSwitch(enable, link, texts.slots, host);
    const bool succeeded = outcome.written;
    const auto runMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    const long long endUs = SteadyMicroseconds();

    for (const std::string& status : host.statuses) {
        std::printf("status: %s\n", status.c_str());
    }
    for (const qx::test::ResultBox& box : host.results) {
        std::printf("result box: %s: %s\n", box.caption.c_str(), box.text.c_str());
    }
    std::printf("stage: %s\nword_sent: %s\ncode: %d\n", std::string(qx::StageName(outcome.stage)).c_str(),
                outcome.wordSent ? qx::WordText(*outcome.wordSent).c_str() : "null", outcome.code);
    std::printf("run_ms: %lld\npauses_ms: %llu\n", static_cast<long long>(runMs),
                static_cast<unsigned long long>(pauses.totalMs));
    std::printf("run_us: %lld %lld\n", startUs, endUs);
    for (const auto& span : pauses.spans) {
        std::printf("pause_us: %lld %lld %u\n", span.startUs, span.endUs, span.ms);
    }
    if (capture && !capture->Good()) {
        std::fprintf(stderr, "the capture could not be written whole\n");
        return 2;
    }
    return succeeded ? 0 : 1;
}
