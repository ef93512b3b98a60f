// Whatever a peer answers over the serial line (frames changed anywhere, cut short or lengthened, with good
// FCS, and the link faults on top), a whole run of the link over the program's own IrDA stack ends within a
// bounded time on the fake clock, closes the port, never loads the hook library and never reports a read that
// did not come from the instrument.
//
// Input: byte 0 switches link faults on (bit 0 echo, 1 noise, 2 RNR once, 3 DM to the first connection
// request, 4 slow turnaround). Then, for each reply frame in turn: a byte b (0: the frame as it is); else a
// position and a value: the byte there is XORed with the value, and with b's bit 7 the frame is cut after it,
// with bit 6 the value's low 5 bits of 0x42 are appended.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "irda/serial_irda_calls.h"
#include "link/irda_link.h"
#include "support/broken_rules.h"
#include "support/instrument_bytes.h"
#include "support/irda_secondary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qx;
    fuzz::BrokenRules broken;
    if (size == 0) {
        return 0;
    }
    test::FakeClockPlatform platform;
    test::IrdaSecondary secondary(platform);
    secondary.faults.echo = (data[0] & 0x01) != 0;
    secondary.faults.noise = (data[0] & 0x02) != 0;
    secondary.faults.rnrOnce = (data[0] & 0x04) != 0;
    secondary.faults.dmToSnrm = (data[0] & 0x08) != 0 ? 1 : 0;
    secondary.faults.turnaroundMs = (data[0] & 0x10) != 0 ? 450 : 5;
    constexpr std::uint16_t WORD = 0x0120;
    secondary.respond = [](const test::IrdaBytes& request) -> std::optional<test::IrdaBytes> {
        if (request == test::GREETING) {
            return test::GREETING_REPLY;
        }
        if (request == test::READ_REQUEST) {
            return test::ReadReply(WORD);
        }
        return std::nullopt;
    };
    std::size_t at = 1;
    const auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    secondary.mangle = [&](test::IrdaBytes& frame) {
        const std::uint8_t how = next();
        if (how == 0 || frame.empty()) {
            return;
        }
        const std::size_t position = next() % frame.size();
        const std::uint8_t value = next();
        frame[position] ^= value;
        if ((how & 0x80) != 0) {
            frame.resize(position + 1);
        }
        if ((how & 0x40) != 0) {
            frame.insert(frame.end(), value & 0x1F, 0x42);
        }
    };

    irda::SerialIrdaCalls calls("COM5", secondary, platform, nullptr, 0x01020304);
    IrdaLink link(calls);
    const std::uint32_t start = platform.now;
    AddressRecord address{};
    DeviceList list{};
    bool readDone = false;
    std::array<std::uint8_t, test::READ_REPLY_SIZE> reply{};
    if (link.StartLink(address) == LINK_STARTED && link.EnumerateDevices(list) == LINK_OK &&
        link.ConnectAndGreet(0, test::GREETING, test::GREETING_REPLY, list, address) == LINK_OK &&
        link.SendFrame(test::READ_REQUEST) == LINK_OK && link.ReceiveFrame(reply) == LINK_OK) {
        readDone = true;
    }
    if (link.HasLink()) {
        link.CloseLink();
    }
    // Discovery 1 s, every later step bounded by the link's own waits and the stack's retries.
    broken.Expect(platform.now - start <= 30000, "the run took longer than its bound");
    broken.Expect(!secondary.IsOpen(), "the port was left open");
    broken.Expect(platform.hookLoads == 0, "the hook library was loaded");
    broken.Expect(platform.socketCalls == 0, "a platform socket call was made");
    if (readDone) {
        // The frame read is the instrument's, or one changed on the way; never bytes that did not arrive.
        broken.Expect(!secondary.sdus.empty() && secondary.sdus.back() == test::READ_REQUEST,
                      "a read completed that the instrument never got");
    }
    broken.AbortIfAny();
    return 0;
}
