// The USB dongle families against a scripted device: the exact transfers each family's driver makes at open,
// at a speed setting and for one frame out and one in, spelled out here from the public Linux drivers (the
// register values worked by hand from the drivers' bit operations, the frame the CRC check string "123456789"
// with its FCS 0x906E); what a family does with a stall, a vanished device, a garbage or oversized answer;
// and the Port values that choose a dongle.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "irda/irda_medium.h"
#include "irda/usb_dongle.h"
#include "irda/usb_trace.h"

namespace {

using qx::irda::DongleFamily;
using qx::irda::UsbResult;
using qx::irda::UsbSetup;
using qx::irda::UsbStatus;
using Bytes = std::vector<std::uint8_t>;

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        char cell[4];
        std::snprintf(cell, sizeof cell, " %02x", b);
        text += cell;
    }
    return text;
}

struct Answer {
    UsbStatus status = UsbStatus::Ok;
    Bytes bytes;
};

class FakeClock : public qx::irda::StackClock {
  public:
    std::uint32_t now = 1000;
    std::vector<std::uint32_t> sleeps;
    std::uint32_t NowMs() override { return now; }
    void SleepMs(std::uint32_t ms) override {
        sleeps.push_back(ms);
        now += ms;
    }
};

// Records every transfer as a line of text and answers the IN transfers from a script; an IN transfer with
// no answer left is a test failure (the device would have had nothing to say). With a clock, an IN transfer
// answered with a timeout takes its whole wait on it.
class ScriptedDevice : public qx::irda::UsbDevice {
  public:
    std::vector<std::string> log;
    std::deque<Answer> answers;
    UsbStatus outStatus = UsbStatus::Ok;  // what every OUT transfer and clear-halt ends with
    std::size_t bulkOutShort = 0;         // bytes a bulk OUT leaves unsent while it still ends Ok
    std::string stalledRequest;           // a control-out logged as this stalls
    FakeClock* clock = nullptr;

    UsbResult ControlOut(const UsbSetup& s, std::span<const std::uint8_t> data, std::uint32_t) override {
        log.push_back(Setup("control-out", s) + (data.empty() ? "" : " :" + Hex(data)));
        if (log.back() == stalledRequest) {
            return qx::irda::UsbFailure(UsbStatus::Stall);
        }
        return Out(data.size());
    }
    UsbResult ControlIn(const UsbSetup& s, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        log.push_back(Setup("control-in", s) + " [" + std::to_string(data.size()) + "]");
        return In(data, timeoutMs);
    }
    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, std::uint32_t) override {
        log.push_back("bulk-out " + Hex2(endpoint) + " :" + Hex(data));
        return Out(data.size() - std::min(bulkOutShort, data.size()));
    }
    UsbResult BulkOutFrame(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t) override {
        log.push_back("bulk-out-frame " + Hex2(endpoint) + " :" + Hex(data));
        return Out(data.size());
    }
    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        log.push_back("bulk-in " + Hex2(endpoint) + " [" + std::to_string(data.size()) + "]");
        return In(data, timeoutMs);
    }
    UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) override {
        log.push_back("interrupt-in " + Hex2(endpoint) + " [" + std::to_string(data.size()) + "]");
        return In(data, timeoutMs);
    }
    UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t) override {
        log.push_back("interrupt-out " + Hex2(endpoint) + " :" + Hex(data));
        return Out(data.size());
    }
    UsbResult ClearHalt(std::uint8_t endpoint) override {
        log.push_back("clear-halt " + Hex2(endpoint));
        return Out(0);
    }

  private:
    static std::string Hex2(unsigned value) {
        char text[8];
        std::snprintf(text, sizeof text, "%02x", value);
        return text;
    }
    static std::string Setup(const char* kind, const UsbSetup& s) {
        char text[48];
        std::snprintf(text, sizeof text, "%s %02x %02x %04x %04x", kind, s.requestType, s.request, s.value,
                      s.index);
        return text;
    }
    UsbResult Out(std::size_t length) {
        return outStatus == UsbStatus::Ok ? qx::irda::UsbDone(length) : qx::irda::UsbFailure(outStatus);
    }
    UsbResult In(std::span<std::uint8_t> data, std::uint32_t timeoutMs) {
        if (answers.empty()) {
            ADD_FAILURE() << "an IN transfer the script has no answer for";
            return qx::irda::UsbFailure(UsbStatus::Timeout);
        }
        Answer answer = std::move(answers.front());
        answers.pop_front();
        if (answer.status == UsbStatus::Timeout && clock != nullptr) {
            clock->now += timeoutMs;
        }
        if (answer.status != UsbStatus::Ok) {
            return qx::irda::UsbFailure(answer.status);
        }
        const std::size_t count = std::min(answer.bytes.size(), data.size());
        std::copy_n(answer.bytes.begin(), count, data.begin());
        return qx::irda::UsbDone(answer.bytes.size());  // an oversized answer says so
    }
};

// The interfaces as each family's device describes itself.
qx::irda::UsbInterface InterfaceOf(DongleFamily family) {
    switch (family) {
        case DongleFamily::Bridge:
            return {0, 0xFE, 0x02, {{0x02, 2, 64}, {0x81, 2, 64}, {0x83, 3, 1}}};
        case DongleFamily::Stir4200:
            return {0, 0xFF, 0x00, {{0x01, 2, 64}, {0x82, 2, 64}}};
        case DongleFamily::Mcs7780:
            return {0, 0xFF, 0x00, {{0x81, 2, 64}, {0x02, 2, 64}}};
        case DongleFamily::Ks959:
            return {0, 0xFF, 0x00, {{0x81, 3, 8}}};
        case DongleFamily::KsDazzle:
        case DongleFamily::KingSun:
            return {0, 0xFF, 0x00, {{0x81, 3, 8}, {0x02, 3, 8}}};
    }
    return {};
}

// "123456789" SIR-wrapped with 10 extra BOFs: FF x 10, C0, the bytes, the FCS 6E 90, C1.
const Bytes WRAPPED{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xC0, 0x31,
                    0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x6E, 0x90, 0xC1};

enum class Step { Open, Speed115200, FrameOut, FrameIn };

struct TransferCase {
    const char* name;
    DongleFamily family;
    Step step;
    std::vector<Answer> answers;
    std::vector<std::string> transfers;
    Bytes received;  // FrameIn: the SIR bytes the family hands the stack
};

void PrintTo(const TransferCase& c, std::ostream* os) {
    *os << c.name;
}

class DongleTransfers : public ::testing::TestWithParam<TransferCase> {};

TEST_P(DongleTransfers, AreTheDriversOwn) {
    const TransferCase& c = GetParam();
    ScriptedDevice device;
    FakeClock clock;
    const auto usbInterface = InterfaceOf(c.family);
    auto dongle = qx::irda::MakeDongle({c.family, 0}, usbInterface, device, clock);
    ASSERT_NE(dongle, nullptr);
    EXPECT_EQ(dongle->Family(), c.family);
    device.answers.assign(c.answers.begin(), c.answers.end());
    if (c.family == DongleFamily::KingSun && c.step != Step::Open) {
        ASSERT_TRUE(dongle->Start().Ok());  // it learns its buffer's size at open, with no transfer
    }
    Bytes received;
    UsbResult result;
    switch (c.step) {
        case Step::Open:
            result = dongle->Start();
            break;
        case Step::Speed115200:
            result = dongle->SetSpeed(115200);
            break;
        case Step::FrameOut:
            result = dongle->Send(WRAPPED);
            break;
        case Step::FrameIn:
            result = dongle->Receive(received, 500);
            break;
    }
    EXPECT_TRUE(result.Ok());
    EXPECT_EQ(device.log, c.transfers);
    EXPECT_TRUE(device.answers.empty()) << "answers the family never asked for";
    EXPECT_EQ(Hex(received), Hex(c.received));
}

const std::string CHECK_MEDIA_BUSY = "control-out 21 03 0000 0000";
const Bytes BRIDGE_DESCRIPTOR{0x0C, 0x21, 0x00, 0x01, 0x3F, 0x01, 0x80, 0x3F, 0x00, 0xFF, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Families, DongleTransfers,
    ::testing::Values(
        // irda-usb.c: the class descriptor (class request 6 to the interface, 12 bytes), then a header
        // alone setting 9600 (2) and 12 extra BOFs (3 in the high nibble); then the class's Check Media Busy
        // (class request 3 to the interface, no data) so that the dongle reports traffic it hears.
        TransferCase{"BridgeOpen",
                     DongleFamily::Bridge,
                     Step::Open,
                     {{UsbStatus::Ok, BRIDGE_DESCRIPTOR}},
                     {"control-in a1 06 0000 0000 [12]", "bulk-out-frame 02 : 32", CHECK_MEDIA_BUSY},
                     {}},
        TransferCase{
            "BridgeSpeed", DongleFamily::Bridge, Step::Speed115200, {}, {"bulk-out-frame 02 : 06"}, {}},
        // stir4200.c: both bulk endpoints cleared, then change_speed(9600) one register a request:
        // CTRL1 = SRESET, DPLL = 0x15, PDCLK = 0x77, MODE = NRESET | FASTRX | SIR, CTRL1 = SDMODE, CTRL1 = 0
        // (full power), CTRL2 = sensitivity 1 << 5.
        TransferCase{
            "Stir4200Open",
            DongleFamily::Stir4200,
            Step::Open,
            {},
            {"clear-halt 01", "clear-halt 82", "control-out 40 03 0001 0003", "control-out 40 03 0015 0008",
             "control-out 40 03 0077 0002", "control-out 40 03 002a 0001", "control-out 40 03 0080 0003",
             "control-out 40 03 0000 0003", "control-out 40 03 0020 0004"},
            {}},
        TransferCase{
            "Stir4200Speed",
            DongleFamily::Stir4200,
            Step::Speed115200,
            {},
            {"control-out 40 03 0001 0003", "control-out 40 03 0015 0008", "control-out 40 03 0009 0002",
             "control-out 40 03 002a 0001", "control-out 40 03 0080 0003", "control-out 40 03 0000 0003",
             "control-out 40 03 0020 0004"},
            {}},
        TransferCase{
            "Stir4200FrameOut",
            DongleFamily::Stir4200,
            Step::FrameOut,
            {},
            {"bulk-out 01 : 55 aa 17 00 ff ff ff ff ff ff ff ff ff ff c0 31 32 33 34 35 36 37 38 39 6e 90 "
             "c1"},
            {}},
        TransferCase{"Stir4200FrameIn",
                     DongleFamily::Stir4200,
                     Step::FrameIn,
                     {{UsbStatus::Ok, {0xC0, 0x31, 0x32, 0x33, 0x34}}},
                     {"bulk-in 82 [4096]"},
                     {0xC0, 0x31, 0x32, 0x33, 0x34}},
        // mcs7780.c: both bulk endpoints cleared, then mcs_setup_transceiver with a Vishay transceiver,
        // 1.6 us pulses and fast receive: MODE |= DRIVER; MINRXPW = 0; MODE: FIR, BBTG, ASK, speed and
        // PLLPWDN cleared, SIR16US, 9600 (1 << 5), DTD and SIPEN set; XCVR: MODE0 | CONF, then MODE0 off,
        // then CONF off; XCVR |= RXFAST; MODE &= ~RESET. The reads answer what the writes before left.
        TransferCase{
            "Mcs7780Open",
            DongleFamily::Mcs7780,
            Step::Open,
            {{UsbStatus::Ok, {0x00, 0x81}},
             {UsbStatus::Ok, {0x00, 0x83}},
             {UsbStatus::Ok, {0x00, 0x00}},
             {UsbStatus::Ok, {0x00, 0x00}},
             {UsbStatus::Ok, {0x22, 0x96}}},
            {"clear-halt 81", "clear-halt 02", "control-in c0 0f 0000 0000 [2]",
             "control-out 40 0e 8300 0000", "control-out 40 0e 0000 0004", "control-in c0 0f 0000 0000 [2]",
             "control-out 40 0e 9622 0000", "control-in c0 0f 0000 0002 [2]", "control-out 40 0e 0005 0002",
             "control-out 40 0e 0004 0002", "control-out 40 0e 0000 0002", "control-in c0 0f 0000 0002 [2]",
             "control-out 40 0e 0008 0002", "control-in c0 0f 0000 0000 [2]", "control-out 40 0e 1622 0000"},
            {}},
        // mcs_speed_change: RESV polled until IRINTX clears, MODE's speed field set to 5 << 5, MODE's
        // RESET cleared.
        TransferCase{"Mcs7780Speed",
                     DongleFamily::Mcs7780,
                     Step::Speed115200,
                     {{UsbStatus::Ok, {0x01, 0x00}},
                      {UsbStatus::Ok, {0x00, 0x00}},
                      {UsbStatus::Ok, {0x22, 0x16}},
                      {UsbStatus::Ok, {0xA2, 0x16}}},
                     {"control-in c0 0f 0000 0007 [2]", "control-in c0 0f 0000 0007 [2]",
                      "control-in c0 0f 0000 0000 [2]", "control-out 40 0e 16a2 0000",
                      "control-in c0 0f 0000 0000 [2]", "control-out 40 0e 16a2 0000"},
                     {}},
        TransferCase{
            "Mcs7780FrameOut",
            DongleFamily::Mcs7780,
            Step::FrameOut,
            {},
            {"bulk-out 02 : 19 00 ff ff ff ff ff ff ff ff ff ff c0 31 32 33 34 35 36 37 38 39 6e 90 c1"},
            {}},
        // The chip hands a frame without BOF and EOF; the driver puts them back before unwrapping.
        TransferCase{"Mcs7780FrameIn",
                     DongleFamily::Mcs7780,
                     Step::FrameIn,
                     {{UsbStatus::Ok, {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x6E, 0x90}}},
                     {"bulk-in 81 [4096]"},
                     {0xC0, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x6E, 0x90, 0xC1}},
        // ks959-sir.c: the speed record (class request 9, value 0x0200, index 1): 9600 as 80 25 00 00, then
        // KS_DATA_8_BITS 3 and three zero bytes. Addressed to the device (0x20), not to the interface as the
        // driver does: user space cannot send the driver's request to interface 1 of a one-interface dongle.
        TransferCase{"Ks959Open",
                     DongleFamily::Ks959,
                     Step::Open,
                     {},
                     {"control-out 20 09 0200 0001 : 80 25 00 00 03 00 00 00"},
                     {}},
        TransferCase{"Ks959Speed",
                     DongleFamily::Ks959,
                     Step::Speed115200,
                     {},
                     {"control-out 20 09 0200 0001 : 00 c2 01 00 03 00 00 00"},
                     {}},
        // obfuscate_tx_buffer: 23 bytes (value 0x17), the mask "wangshuofei19710"[(23 & 15) ^ 6] ^ 0x55 =
        // 'a' ^ 0x55 = 0x34 on each, zeros to (23 + 7) & ~7 plus 16 = 40 bytes.
        TransferCase{
            "Ks959FrameOut",
            DongleFamily::Ks959,
            Step::FrameOut,
            {},
            {"control-out 21 09 0017 0000 : cb cb cb cb cb cb cb cb cb cb f4 05 06 07 00 01 02 03 0c 0d "
             "5a a4 f5 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
            {}},
        // ks959_rcv_irq: class request 1 (value 0x0200, 2048 bytes); each byte XORed with the session's
        // counter, incremented first (1, 2, 3, ...), and 0x55: 94 ^ 01 ^ 55 = c0, 66 ^ 02 ^ 55 = 31, ...
        TransferCase{"Ks959FrameIn",
                     DongleFamily::Ks959,
                     Step::FrameIn,
                     {{UsbStatus::Ok, {0x94, 0x66, 0x64, 0x62, 0x64}}},
                     {"control-in a1 01 0200 0000 [2048]"},
                     {0xC0, 0x31, 0x32, 0x33, 0x34}},
        // ksdazzle-sir.c: ksdazzle_change_speed(9600) at open, the record as the KS-959's (class request 9
        // to the device, value 0x0200, index 1: 80 25 00 00, KS_DATA_8_BITS 3, three zero bytes).
        TransferCase{"KsDazzleOpen",
                     DongleFamily::KsDazzle,
                     Step::Open,
                     {},
                     {"control-out 20 09 0200 0001 : 80 25 00 00 03 00 00 00"},
                     {}},
        TransferCase{"KsDazzleSpeed",
                     DongleFamily::KsDazzle,
                     Step::Speed115200,
                     {},
                     {"control-out 20 09 0200 0001 : 00 c2 01 00 03 00 00 00"},
                     {}},
        // ksdazzle_submit_tx_fragment: pieces of at most 7 bytes, each in an 8-byte interrupt transfer behind
        // 0xf8 + its length (0xff for 7, 0xfa for 2), the rest zero.
        TransferCase{
            "KsDazzleFrameOut",
            DongleFamily::KsDazzle,
            Step::FrameOut,
            {},
            {"interrupt-out 02 : ff ff ff ff ff ff ff ff", "interrupt-out 02 : ff ff ff ff c0 31 32 33",
             "interrupt-out 02 : ff 34 35 36 37 38 39 6e", "interrupt-out 02 : fa 90 c1 00 00 00 00 00"},
            {}},
        // ksdazzle_rcv_irq: an interrupt transfer of up to 2048 bytes (KINGSUN_RCV_MAX), its bytes the SIR
        // stream as they are.
        TransferCase{"KsDazzleFrameIn",
                     DongleFamily::KsDazzle,
                     Step::FrameIn,
                     {{UsbStatus::Ok, {0xC0, 0x31, 0x32, 0x33, 0x34}}},
                     {"interrupt-in 81 [2048]"},
                     {0xC0, 0x31, 0x32, 0x33, 0x34}},
        // kingsun-sir.c: nothing goes to the dongle at open (no speed command is known; it stays at 9600).
        TransferCase{"KingSunOpen", DongleFamily::KingSun, Step::Open, {}, {}, {}},
        // kingsun_hard_xmit: the wrapped frame in one interrupt transfer.
        TransferCase{
            "KingSunFrameOut",
            DongleFamily::KingSun,
            Step::FrameOut,
            {},
            {"interrupt-out 02 : ff ff ff ff ff ff ff ff ff ff c0 31 32 33 34 35 36 37 38 39 6e 90 c1"},
            {}},
        // kingsun_rcv_irq, with the driver's own example buffer: a read of the endpoint's 8 bytes, the first
        // the count of valid bytes after it (06: ff ff ff c0 01 04), the last (aa) left from before.
        TransferCase{"KingSunFrameIn",
                     DongleFamily::KingSun,
                     Step::FrameIn,
                     {{UsbStatus::Ok, {0x06, 0xFF, 0xFF, 0xFF, 0xC0, 0x01, 0x04, 0xAA}}},
                     {"interrupt-in 81 [8]"},
                     {0xFF, 0xFF, 0xFF, 0xC0, 0x01, 0x04}}),
    [](const auto& info) { return std::string(info.param.name); });

// stir4200.c lets the transmit FIFO drain before it receives: FIFOCTL, FIFOLSB and FIFOMSB read in one
// request, and a pause of the bytes' wire time while the FIFO still sends.
TEST(Stir4200, ReceivesOnlyOnceTheFifoHasDrained) {
    ScriptedDevice device;
    FakeClock clock;
    auto dongle =
        qx::irda::MakeDongle({DongleFamily::Stir4200, 0}, InterfaceOf(DongleFamily::Stir4200), device, clock);
    ASSERT_TRUE(dongle->Send(WRAPPED).Ok());
    device.log.clear();
    device.answers = {
        {UsbStatus::Ok, {0x10, 0x17, 0x00}}, {UsbStatus::Ok, {0x04, 0x00, 0x00}}, {UsbStatus::Ok, {}}};
    Bytes received;
    device.answers.push_back({UsbStatus::Timeout, {}});
    ASSERT_TRUE(dongle->Receive(received, 100).Ok());
    EXPECT_EQ(device.log,
              (std::vector<std::string>{"control-in c0 01 0000 0005 [3]", "control-in c0 01 0000 0005 [3]",
                                        "bulk-in 82 [4096]", "bulk-in 82 [4096]"}));
    EXPECT_EQ(clock.sleeps, (std::vector<std::uint32_t>{19}));  // 23 bytes x 8000 / 9600
    EXPECT_TRUE(received.empty());
}

TEST(Stir4200, AShortFifoStatusIsAFailure) {
    ScriptedDevice device;
    FakeClock clock;
    auto dongle =
        qx::irda::MakeDongle({DongleFamily::Stir4200, 0}, InterfaceOf(DongleFamily::Stir4200), device, clock);
    ASSERT_TRUE(dongle->Send(WRAPPED).Ok());
    device.answers = {{UsbStatus::Ok, {0x04}}};
    Bytes received;
    EXPECT_EQ(dongle->Receive(received, 100).status, UsbStatus::Failed);
    EXPECT_TRUE(received.empty());
}

// stir4200.c's fifo_txwait: a count that grows while the FIFO should drain is a confused queue, cleared
// with FIFOCTL's clear bit and then 0; the receive goes on.
const std::string FIFO_CLEAR = "control-out 40 03 0008 0005";
const std::string FIFO_CLEARED = "control-out 40 03 0000 0005";

TEST(Stir4200, AFifoWhoseCountGrowsIsCleared) {
    ScriptedDevice device;
    FakeClock clock;
    auto dongle =
        qx::irda::MakeDongle({DongleFamily::Stir4200, 0}, InterfaceOf(DongleFamily::Stir4200), device, clock);
    ASSERT_TRUE(dongle->Send(WRAPPED).Ok());
    device.log.clear();
    device.answers = {
        {UsbStatus::Ok, {0x10, 0x17, 0x00}}, {UsbStatus::Ok, {0x10, 0x18, 0x00}}, {UsbStatus::Timeout, {}}};
    Bytes received;
    ASSERT_TRUE(dongle->Receive(received, 100).Ok());
    EXPECT_EQ(device.log,
              (std::vector<std::string>{"control-in c0 01 0000 0005 [3]", "control-in c0 01 0000 0005 [3]",
                                        FIFO_CLEAR, FIFO_CLEARED, "bulk-in 82 [4096]"}));
}

// One whose count stays put is waited for no longer than a bound, then cleared the same way: the program
// neither freezes nor gives up on the dongle.
TEST(Stir4200, AFifoThatNeverDrainsIsClearedAfterABound) {
    ScriptedDevice device;
    FakeClock clock;
    auto dongle =
        qx::irda::MakeDongle({DongleFamily::Stir4200, 0}, InterfaceOf(DongleFamily::Stir4200), device, clock);
    ASSERT_TRUE(dongle->Send(WRAPPED).Ok());
    device.log.clear();
    for (int i = 0; i < 1000; ++i) {
        device.answers.push_back({UsbStatus::Ok, {0x10, 0x17, 0x00}});
    }
    Bytes received;
    EXPECT_TRUE(dongle->Receive(received, 500).Ok());
    EXPECT_LE(clock.now - 1000, 3000u + 500u);
    const auto clear = std::find(device.log.begin(), device.log.end(), FIFO_CLEAR);
    ASSERT_NE(clear, device.log.end());
    ASSERT_NE(clear + 1, device.log.end());
    EXPECT_EQ(*(clear + 1), FIFO_CLEARED);
}

// A frame after another waits for room in the FIFO (fifo_txwait with the frame's length): while the FIFO
// holds 4080 bytes there is none for 23 more, once it holds 10 there is (at 115200 baud, so that the pause
// is the bytes' wire time).
TEST(Stir4200, AFrameAfterAnotherWaitsForRoomInTheFifo) {
    ScriptedDevice device;
    FakeClock clock;
    auto dongle =
        qx::irda::MakeDongle({DongleFamily::Stir4200, 0}, InterfaceOf(DongleFamily::Stir4200), device, clock);
    ASSERT_TRUE(dongle->SetSpeed(115200).Ok());
    ASSERT_TRUE(dongle->Send(WRAPPED).Ok());
    device.log.clear();
    device.answers = {{UsbStatus::Ok, {0x10, 0xF0, 0x0F}}, {UsbStatus::Ok, {0x10, 0x0A, 0x00}}};
    ASSERT_TRUE(dongle->Send(WRAPPED).Ok());
    ASSERT_EQ(device.log.size(), 3u);
    EXPECT_EQ(device.log[0], "control-in c0 01 0000 0005 [3]");
    EXPECT_EQ(device.log[1], "control-in c0 01 0000 0005 [3]");
    EXPECT_EQ(device.log[2].substr(0, 14), "bulk-out 01 : ");
    EXPECT_EQ(clock.sleeps, (std::vector<std::uint32_t>{283}));  // 4080 bytes x 8000 / 115200
}

// A bulk write that ends with part of the frame unsent put a broken frame on the air.
TEST(Stir4200, AShortBulkWriteIsAFailure) {
    ScriptedDevice device;
    device.bulkOutShort = 1;
    FakeClock clock;
    auto dongle =
        qx::irda::MakeDongle({DongleFamily::Stir4200, 0}, InterfaceOf(DongleFamily::Stir4200), device, clock);
    EXPECT_EQ(dongle->Send(WRAPPED).status, UsbStatus::Failed);
}

// The bridge as IrLAP's medium, opened as its driver opens it: the frame "123456789" out and in, each one
// bulk transfer behind the one-byte header (irda-usb.c: the low nibble the speed, 0 for no change; the high
// nibble the extra BOFs, 48 0x10, 24 0x20, 12 0x30, 6 (and 5) 0x40, 3 0x50, 2 0x60, 1 0x70, 0 0x80). After
// the open the dongle sends 12 extra BOFs, the nearest to the contention rule's 10 it offers; other numbers
// are set by a header alone before the frame, as a header's settings apply after its own frame. The wire time
// is the SIR-wrapped frame's at 9600 baud (extra BOFs, BOF, 9 bytes, FCS 2, EOF; 10 bits a byte, rounded up).
enum class MediumStep { Send, Receive };

struct BridgeMediumCase {
    const char* name;
    MediumStep step;
    std::size_t extraBofs;  // Send
    std::vector<Answer> answers;
    UsbStatus outStatus;
    std::vector<std::string> transfers;
    std::optional<std::uint32_t> wireMs;  // Send: nothing when it failed
    qx::irda::MediumReceive received;     // Receive
    Bytes frame;                          // Receive: the frame handed to IrLAP
    std::uint32_t lastError;
};

void PrintTo(const BridgeMediumCase& c, std::ostream* os) {
    *os << c.name;
}

class BridgeMedium : public ::testing::TestWithParam<BridgeMediumCase> {};

TEST_P(BridgeMedium, TransfersAreTheDriversOwn) {
    const BridgeMediumCase& c = GetParam();
    ScriptedDevice device;
    FakeClock clock;
    device.clock = &clock;
    auto dongle =
        qx::irda::MakeDongle({DongleFamily::Bridge, 0}, InterfaceOf(DongleFamily::Bridge), device, clock);
    device.answers = {{UsbStatus::Ok, BRIDGE_DESCRIPTOR}};
    ASSERT_TRUE(dongle->Start().Ok());
    qx::irda::IrdaMedium* medium = dongle->FrameMedium();
    ASSERT_NE(medium, nullptr);
    device.log.clear();
    device.answers.assign(c.answers.begin(), c.answers.end());
    device.outStatus = c.outStatus;
    const Bytes frame{0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39};
    Bytes received;
    if (c.step == MediumStep::Send) {
        EXPECT_EQ(medium->Send(frame, c.extraBofs), c.wireMs);
    } else {
        EXPECT_EQ(medium->Receive(qx::irda::Deadline::After(clock, 500), received), c.received);
    }
    EXPECT_EQ(device.log, c.transfers);
    EXPECT_TRUE(device.answers.empty()) << "answers the medium never asked for";
    EXPECT_EQ(Hex(received), Hex(c.frame));
    EXPECT_EQ(medium->LastError(), c.lastError);
}

const std::string FRAME_OUT = "bulk-out-frame 02 : 00 31 32 33 34 35 36 37 38 39";
const Bytes FRAME_IN{0x00, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39};
const Answer NOTHING{UsbStatus::Timeout, {}};
using qx::irda::MediumReceive;

INSTANTIATE_TEST_SUITE_P(
    Bridge, BridgeMedium,
    ::testing::Values(
        // 12 extra BOFs and 13 bytes: 250 bits, 26.04 ms at 9600 baud, 27 rounded up.
        BridgeMediumCase{"FrameOutWithTheContentionBofs",
                         MediumStep::Send,
                         10,
                         {},
                         UsbStatus::Ok,
                         {FRAME_OUT},
                         27,
                         MediumReceive::Frame,
                         {},
                         0},
        BridgeMediumCase{"FrameOutWithNoExtraBofs",
                         MediumStep::Send,
                         0,
                         {},
                         UsbStatus::Ok,
                         {"bulk-out-frame 02 : 80", FRAME_OUT},
                         14,
                         MediumReceive::Frame,
                         {},
                         0},
        BridgeMediumCase{"FrameOutWithThreeBofs",
                         MediumStep::Send,
                         3,
                         {},
                         UsbStatus::Ok,
                         {"bulk-out-frame 02 : 50", FRAME_OUT},
                         17,
                         MediumReceive::Frame,
                         {},
                         0},
        BridgeMediumCase{"FiveBofsAreSentAsSix",
                         MediumStep::Send,
                         5,
                         {},
                         UsbStatus::Ok,
                         {"bulk-out-frame 02 : 40", FRAME_OUT},
                         20,
                         MediumReceive::Frame,
                         {},
                         0},
        BridgeMediumCase{"MoreBofsThanTheClassOffersAre48",
                         MediumStep::Send,
                         100,
                         {},
                         UsbStatus::Ok,
                         {"bulk-out-frame 02 : 10", FRAME_OUT},
                         64,
                         MediumReceive::Frame,
                         {},
                         0},
        BridgeMediumCase{"UnpluggedSending",
                         MediumStep::Send,
                         10,
                         {},
                         UsbStatus::Gone,
                         {FRAME_OUT},
                         std::nullopt,
                         MediumReceive::Frame,
                         {},
                         1167},
        BridgeMediumCase{"StalledSettingTheBofs",
                         MediumStep::Send,
                         0,
                         {},
                         UsbStatus::Stall,
                         {"bulk-out-frame 02 : 80"},
                         std::nullopt,
                         MediumReceive::Frame,
                         {},
                         31},
        BridgeMediumCase{"FrameIn",
                         MediumStep::Receive,
                         0,
                         {{UsbStatus::Ok, FRAME_IN}},
                         UsbStatus::Ok,
                         {"bulk-in 81 [2051]"},
                         std::nullopt,
                         MediumReceive::Frame,
                         {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39},
                         0},
        // irda-usb.c drops a transfer of the header alone (or less) as an empty frame.
        BridgeMediumCase{"HeaderAloneThenAFrame",
                         MediumStep::Receive,
                         0,
                         {{UsbStatus::Ok, {0x00}}, {UsbStatus::Ok, {}}, {UsbStatus::Ok, FRAME_IN}},
                         UsbStatus::Ok,
                         {"bulk-in 81 [2051]", "bulk-in 81 [2051]", "bulk-in 81 [2051]"},
                         std::nullopt,
                         MediumReceive::Frame,
                         {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39},
                         0},
        // The wait, then one last look once the deadline passed.
        BridgeMediumCase{"NothingCame",
                         MediumStep::Receive,
                         0,
                         {NOTHING, NOTHING},
                         UsbStatus::Ok,
                         {"bulk-in 81 [2051]", "bulk-in 81 [2051]"},
                         std::nullopt,
                         MediumReceive::Silent,
                         {},
                         0},
        BridgeMediumCase{"AFrameTooShortForIrlapIsNone",
                         MediumStep::Receive,
                         0,
                         {{UsbStatus::Ok, {0x00, 0x31}}, NOTHING, NOTHING},
                         UsbStatus::Ok,
                         {"bulk-in 81 [2051]", "bulk-in 81 [2051]", "bulk-in 81 [2051]"},
                         std::nullopt,
                         MediumReceive::Silent,
                         {},
                         0},
        BridgeMediumCase{"AnOversizedAnswerIsNoFrame",
                         MediumStep::Receive,
                         0,
                         {{UsbStatus::Ok, Bytes(2052, 0x31)}, NOTHING, NOTHING},
                         UsbStatus::Ok,
                         {"bulk-in 81 [2051]", "bulk-in 81 [2051]", "bulk-in 81 [2051]"},
                         std::nullopt,
                         MediumReceive::Silent,
                         {},
                         0},
        BridgeMediumCase{"UnpluggedReceiving",
                         MediumStep::Receive,
                         0,
                         {{UsbStatus::Gone, {}}},
                         UsbStatus::Ok,
                         {"bulk-in 81 [2051]"},
                         std::nullopt,
                         MediumReceive::Failed,
                         {},
                         1167},
        // The inbound header's media-busy bit (0x80): a header alone carrying it is
        // the report of traffic that made no frame, handed on at once; the dongle is
        // asked to watch again after every report.
        BridgeMediumCase{"MediaBusyReportedByAHeaderAlone",
                         MediumStep::Receive,
                         0,
                         {{UsbStatus::Ok, {0x80}}},
                         UsbStatus::Ok,
                         {"bulk-in 81 [2051]", CHECK_MEDIA_BUSY},
                         std::nullopt,
                         MediumReceive::Busy,
                         {},
                         0},
        BridgeMediumCase{"AFrameBehindTheMediaBusyBitIsAFrame",
                         MediumStep::Receive,
                         0,
                         {{UsbStatus::Ok, {0x80, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39}}},
                         UsbStatus::Ok,
                         {"bulk-in 81 [2051]", CHECK_MEDIA_BUSY},
                         std::nullopt,
                         MediumReceive::Frame,
                         {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39},
                         0},
        BridgeMediumCase{"UnpluggedAskingToWatchAgain",
                         MediumStep::Receive,
                         0,
                         {{UsbStatus::Ok, {0x80}}},
                         UsbStatus::Gone,
                         {"bulk-in 81 [2051]", CHECK_MEDIA_BUSY},
                         std::nullopt,
                         MediumReceive::Failed,
                         {},
                         1167},
        BridgeMediumCase{"StalledReceiving",
                         MediumStep::Receive,
                         0,
                         {{UsbStatus::Stall, {}}},
                         UsbStatus::Ok,
                         {"bulk-in 81 [2051]"},
                         std::nullopt,
                         MediumReceive::Failed,
                         {},
                         31}),
    [](const auto& info) { return std::string(info.param.name); });

// A bridge that stalls Check Media Busy does not watch the medium: it opens all the same and is not asked
// again, and a media-busy bit it sends anyway is still a report of a busy medium.
TEST(BridgeMediaBusy, ADongleThatStallsCheckMediaBusyIsNotAskedAgain) {
    ScriptedDevice device;
    FakeClock clock;
    device.clock = &clock;
    device.stalledRequest = CHECK_MEDIA_BUSY;
    auto dongle =
        qx::irda::MakeDongle({DongleFamily::Bridge, 0}, InterfaceOf(DongleFamily::Bridge), device, clock);
    device.answers = {{UsbStatus::Ok, BRIDGE_DESCRIPTOR}};
    ASSERT_TRUE(dongle->Start().Ok());
    EXPECT_EQ(device.log, (std::vector<std::string>{"control-in a1 06 0000 0000 [12]",
                                                    "bulk-out-frame 02 : 32", CHECK_MEDIA_BUSY}));
    device.log.clear();
    device.answers = {{UsbStatus::Ok, {0x80}}};
    Bytes frame;
    EXPECT_EQ(dongle->FrameMedium()->Receive(qx::irda::Deadline::After(clock, 500), frame),
              MediumReceive::Busy);
    EXPECT_EQ(device.log, (std::vector<std::string>{"bulk-in 81 [2051]"}));
}

// Each family's answer to what a broken or vanished dongle does: a truthful failure, never a frame made up.
struct BadAnswerCase {
    const char* name;
    DongleFamily family;
    Step step;
    std::vector<Answer> answers;
    UsbStatus outStatus;
    bool ok;
    UsbStatus status;  // when not ok
};

void PrintTo(const BadAnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class DongleBadAnswers : public ::testing::TestWithParam<BadAnswerCase> {};

TEST_P(DongleBadAnswers, EndTruthfully) {
    const BadAnswerCase& c = GetParam();
    ScriptedDevice device;
    device.outStatus = c.outStatus;
    device.answers.assign(c.answers.begin(), c.answers.end());
    FakeClock clock;
    device.clock = &clock;
    auto dongle = qx::irda::MakeDongle({c.family, 0}, InterfaceOf(c.family), device, clock);
    if (c.family == DongleFamily::KingSun && c.step != Step::Open) {
        ASSERT_TRUE(dongle->Start().Ok());
    }
    Bytes received;
    UsbResult result;
    switch (c.step) {
        case Step::Open:
            result = dongle->Start();
            break;
        case Step::Speed115200:
            result = dongle->SetSpeed(115200);
            break;
        case Step::FrameOut:
            result = dongle->Send(WRAPPED);
            break;
        case Step::FrameIn:
            result = dongle->Receive(received, 500);
            break;
    }
    EXPECT_EQ(result.Ok(), c.ok);
    if (!c.ok) {
        EXPECT_EQ(result.status, c.status);
    }
    EXPECT_TRUE(received.empty()) << "nothing handed on from a bad answer";
}

INSTANTIATE_TEST_SUITE_P(
    Families, DongleBadAnswers,
    ::testing::Values(
        BadAnswerCase{"BridgeDescriptorStalled",
                      DongleFamily::Bridge,
                      Step::Open,
                      {{UsbStatus::Stall, {}}},
                      UsbStatus::Ok,
                      false,
                      UsbStatus::Stall},
        BadAnswerCase{"BridgeDescriptorShort",
                      DongleFamily::Bridge,
                      Step::Open,
                      {{UsbStatus::Ok, {0x0C, 0x21}}},
                      UsbStatus::Ok,
                      false,
                      UsbStatus::Failed},
        BadAnswerCase{
            "BridgeDescriptorOfAnotherType",
            DongleFamily::Bridge,
            Step::Open,
            {{UsbStatus::Ok, {0x0C, 0x22, 0x00, 0x01, 0x3F, 0x01, 0x80, 0x3F, 0x00, 0xFF, 0x00, 0x00}}},
            UsbStatus::Ok,
            false,
            UsbStatus::Failed},
        BadAnswerCase{
            "BridgeWithout9600",
            DongleFamily::Bridge,
            Step::Open,
            {{UsbStatus::Ok, {0x0C, 0x21, 0x00, 0x01, 0x3F, 0x01, 0x80, 0x3D, 0x00, 0xFF, 0x00, 0x00}}},
            UsbStatus::Ok,
            false,
            UsbStatus::Failed},
        // The bridge takes frames (BridgeMedium below), never SIR bytes: nothing goes to the device.
        BadAnswerCase{"BridgeTakesNoSirBytes",
                      DongleFamily::Bridge,
                      Step::FrameOut,
                      {},
                      UsbStatus::Ok,
                      false,
                      UsbStatus::Failed},
        BadAnswerCase{"BridgeGivesNoSirBytes",
                      DongleFamily::Bridge,
                      Step::FrameIn,
                      {},
                      UsbStatus::Ok,
                      false,
                      UsbStatus::Failed},
        BadAnswerCase{"Stir4200RegisterWriteStalled",
                      DongleFamily::Stir4200,
                      Step::Open,
                      {},
                      UsbStatus::Stall,
                      false,
                      UsbStatus::Stall},
        BadAnswerCase{"Stir4200EmptyTransfersOnly",
                      DongleFamily::Stir4200,
                      Step::FrameIn,
                      {{UsbStatus::Ok, {}}, {UsbStatus::Ok, {}}, {UsbStatus::Timeout, {}}},
                      UsbStatus::Ok,
                      true,
                      UsbStatus::Ok},
        BadAnswerCase{"Stir4200Unplugged",
                      DongleFamily::Stir4200,
                      Step::FrameIn,
                      {{UsbStatus::Gone, {}}},
                      UsbStatus::Ok,
                      false,
                      UsbStatus::Gone},
        BadAnswerCase{"Mcs7780RegisterReadShort",
                      DongleFamily::Mcs7780,
                      Step::Speed115200,
                      {{UsbStatus::Ok, {0x00}}},
                      UsbStatus::Ok,
                      false,
                      UsbStatus::Failed},
        BadAnswerCase{"Mcs7780NeverDoneSending", DongleFamily::Mcs7780, Step::Speed115200,
                      std::vector<Answer>(100, Answer{UsbStatus::Ok, {0x01, 0x00}}), UsbStatus::Ok, false,
                      UsbStatus::Timeout},
        BadAnswerCase{"Mcs7780EmptyTransfer",
                      DongleFamily::Mcs7780,
                      Step::FrameIn,
                      {{UsbStatus::Ok, {}}},
                      UsbStatus::Ok,
                      true,
                      UsbStatus::Ok},
        BadAnswerCase{"Mcs7780Unplugged",
                      DongleFamily::Mcs7780,
                      Step::FrameIn,
                      {{UsbStatus::Gone, {}}},
                      UsbStatus::Ok,
                      false,
                      UsbStatus::Gone},
        // The drivers only log a refused speed record: the open goes on at the rate the dongle runs at.
        BadAnswerCase{"Ks959OpenSpeedRefused",
                      DongleFamily::Ks959,
                      Step::Open,
                      {},
                      UsbStatus::Stall,
                      true,
                      UsbStatus::Ok},
        BadAnswerCase{"Ks959OpenSpeedFailed",
                      DongleFamily::Ks959,
                      Step::Open,
                      {},
                      UsbStatus::Failed,
                      false,
                      UsbStatus::Failed},
        BadAnswerCase{"Ks959SpeedRefused",
                      DongleFamily::Ks959,
                      Step::Speed115200,
                      {},
                      UsbStatus::Stall,
                      false,
                      UsbStatus::Stall},
        BadAnswerCase{"Ks959PieceRefused",
                      DongleFamily::Ks959,
                      Step::FrameOut,
                      {},
                      UsbStatus::Stall,
                      false,
                      UsbStatus::Stall},
        // Polled until the wait is over: 500 ms in pauses of 5 after each empty answer, and one last look.
        BadAnswerCase{"Ks959NothingHeard", DongleFamily::Ks959, Step::FrameIn,
                      std::vector<Answer>(101, Answer{UsbStatus::Ok, {}}), UsbStatus::Ok, true,
                      UsbStatus::Ok},
        BadAnswerCase{"Ks959OversizedAnswer", DongleFamily::Ks959, Step::FrameIn,
                      std::vector<Answer>(101, Answer{UsbStatus::Ok, Bytes(2049, 0x94)}), UsbStatus::Ok, true,
                      UsbStatus::Ok},
        BadAnswerCase{"Ks959Unplugged",
                      DongleFamily::Ks959,
                      Step::FrameIn,
                      {{UsbStatus::Gone, {}}},
                      UsbStatus::Ok,
                      false,
                      UsbStatus::Gone},
        // The drivers only log a refused speed record: the open goes on at the rate the dongle runs at.
        BadAnswerCase{"KsDazzleOpenSpeedRefused",
                      DongleFamily::KsDazzle,
                      Step::Open,
                      {},
                      UsbStatus::Stall,
                      true,
                      UsbStatus::Ok},
        BadAnswerCase{"KsDazzleOpenSpeedFailed",
                      DongleFamily::KsDazzle,
                      Step::Open,
                      {},
                      UsbStatus::Failed,
                      false,
                      UsbStatus::Failed},
        BadAnswerCase{"KsDazzleSpeedRefused",
                      DongleFamily::KsDazzle,
                      Step::Speed115200,
                      {},
                      UsbStatus::Stall,
                      false,
                      UsbStatus::Stall},
        BadAnswerCase{"KsDazzlePieceRefused",
                      DongleFamily::KsDazzle,
                      Step::FrameOut,
                      {},
                      UsbStatus::Stall,
                      false,
                      UsbStatus::Stall},
        // Polled until the wait is over: 500 ms in pauses of 5 after each empty answer, and one last look.
        BadAnswerCase{"KsDazzleNothingHeard", DongleFamily::KsDazzle, Step::FrameIn,
                      std::vector<Answer>(101, Answer{UsbStatus::Ok, {}}), UsbStatus::Ok, true,
                      UsbStatus::Ok},
        BadAnswerCase{"KsDazzleOversizedAnswer", DongleFamily::KsDazzle, Step::FrameIn,
                      std::vector<Answer>(101, Answer{UsbStatus::Ok, Bytes(2049, 0xC0)}), UsbStatus::Ok, true,
                      UsbStatus::Ok},
        BadAnswerCase{"KsDazzleUnplugged",
                      DongleFamily::KsDazzle,
                      Step::FrameIn,
                      {{UsbStatus::Gone, {}}},
                      UsbStatus::Ok,
                      false,
                      UsbStatus::Gone},
        // kingsun-sir.c refuses every speed change (no command for it is known).
        BadAnswerCase{"KingSunHasNoOtherSpeed",
                      DongleFamily::KingSun,
                      Step::Speed115200,
                      {},
                      UsbStatus::Ok,
                      false,
                      UsbStatus::Failed},
        BadAnswerCase{"KingSunFrameRefused",
                      DongleFamily::KingSun,
                      Step::FrameOut,
                      {},
                      UsbStatus::Stall,
                      false,
                      UsbStatus::Stall},
        BadAnswerCase{"KingSunUnplugged",
                      DongleFamily::KingSun,
                      Step::FrameIn,
                      {{UsbStatus::Gone, {}}},
                      UsbStatus::Ok,
                      false,
                      UsbStatus::Gone}),
    [](const auto& info) { return std::string(info.param.name); });

// ks959-sir.c: a frame longer than 240 bytes goes in pieces of 240 ((256 & ~7) - 16), each padded to 256; the
// receive counter is kept across transfers, and the byte where it wraps to 0 (a filler, 0x95 once unmasked)
// is skipped.
TEST(Ks959, SendsInPiecesAndSkipsTheFillerWhereTheCounterWraps) {
    ScriptedDevice device;
    FakeClock clock;
    auto dongle =
        qx::irda::MakeDongle({DongleFamily::Ks959, 0}, InterfaceOf(DongleFamily::Ks959), device, clock);
    const Bytes wrapped(250, 0xFF);
    ASSERT_TRUE(dongle->Send(wrapped).Ok());
    ASSERT_EQ(device.log.size(), 2u);
    // 240 bytes: the mask "wangshuofei19710"[(240 & 15) ^ 6] ^ 0x55 = 'u' ^ 0x55 = 0x20, so ff -> df; 10
    // bytes: [(10 & 15) ^ 6] = [12], '9' ^ 0x55 = 0x6c, so ff -> 93.
    EXPECT_EQ(device.log[0].substr(0, 35), "control-out 21 09 00f0 0000 : df df");
    EXPECT_EQ(std::count(device.log[0].begin(), device.log[0].end(), ' '), 5 + 256);
    EXPECT_EQ(device.log[1].substr(0, 35), "control-out 21 09 000a 0000 : 93 93");
    EXPECT_EQ(std::count(device.log[1].begin(), device.log[1].end(), ' '), 5 + 32);

    // 300 bytes "1" from the light over two transfers: the counter runs 1 ... 255, 0 (the filler), 1, ...
    Bytes first;
    Bytes second;
    std::uint8_t counter = 0;
    for (int i = 0; i < 301; ++i) {
        ++counter;
        const std::uint8_t plain = counter == 0 ? 0x95 : 0x31;
        (i < 200 ? first : second).push_back(static_cast<std::uint8_t>(plain ^ counter ^ 0x55));
    }
    device.log.clear();
    device.answers = {{UsbStatus::Ok, first}, {UsbStatus::Ok, second}};
    Bytes received;
    ASSERT_TRUE(dongle->Receive(received, 100).Ok());
    ASSERT_TRUE(dongle->Receive(received, 100).Ok());
    EXPECT_EQ(received, Bytes(300, 0x31));
}

// kingsun-sir.c: only a read of the whole buffer whose count is 1 to 7 carries bytes (a count beyond that is
// the buffer as it was at plug-in); the dongle hands the same buffer again when nothing new came, and a
// repeat of a buffer that held the end of a frame is skipped (it would hand the frame twice), while a repeat
// inside a frame is taken as Linux takes it (the frame check then rejects the frame).
TEST(KingSun, TakesOnlyWholeBuffersAndSkipsTheRepeatOfAFramesEnd) {
    ScriptedDevice device;
    FakeClock clock;
    device.clock = &clock;
    auto dongle =
        qx::irda::MakeDongle({DongleFamily::KingSun, 0}, InterfaceOf(DongleFamily::KingSun), device, clock);
    ASSERT_TRUE(dongle->Start().Ok());
    const Answer atPlugIn{UsbStatus::Ok, {0x36, 0x5A, 0xA5, 0x00, 0xFF, 0x12, 0x34, 0x56}};
    const Answer frameStart{UsbStatus::Ok, {0x04, 0xFF, 0xC0, 0xFF, 0x93, 0x00, 0x00, 0x00}};
    const Answer frameEnd{UsbStatus::Ok, {0x03, 0x12, 0x34, 0xC1, 0x93, 0x00, 0x00, 0x00}};
    const Answer countZero{UsbStatus::Ok, {0x00, 0x12, 0x34, 0xC1, 0x93, 0x00, 0x00, 0x00}};
    const Answer shortRead{UsbStatus::Ok, {0x02, 0xC0, 0xC1}};
    device.answers = {atPlugIn,   countZero,  shortRead,
                      frameStart, frameStart, frameEnd,
                      frameEnd,   frameEnd,   {UsbStatus::Timeout, {}}};
    Bytes received;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(dongle->Receive(received, 100).Ok());
    }
    EXPECT_EQ(Hex(received), Hex(Bytes{0xFF, 0xC0, 0xFF, 0x93, 0xFF, 0xC0, 0xFF, 0x93, 0x12, 0x34, 0xC1}));
    EXPECT_TRUE(device.answers.empty());
}

// The driver checks for an interrupt IN endpoint whose packets hold 2 to 255 bytes and an interrupt OUT one.
TEST(KingSun, OpensOnlyWithItsTwoInterruptEndpoints) {
    ScriptedDevice device;
    FakeClock clock;
    for (const qx::irda::UsbInterface& usbInterface :
         {qx::irda::UsbInterface{0, 0xFF, 0x00, {{0x81, 3, 8}}},
          qx::irda::UsbInterface{0, 0xFF, 0x00, {{0x81, 2, 8}, {0x02, 3, 8}}},
          qx::irda::UsbInterface{0, 0xFF, 0x00, {{0x81, 3, 1}, {0x02, 3, 8}}},
          qx::irda::UsbInterface{0, 0xFF, 0x00, {{0x81, 3, 256}, {0x02, 3, 8}}}}) {
        auto dongle = qx::irda::MakeDongle({DongleFamily::KingSun, 0}, usbInterface, device, clock);
        EXPECT_EQ(dongle->Start().status, UsbStatus::Failed);
    }
    EXPECT_TRUE(device.log.empty());
}

TEST(DongleFamilies, IdTablesAndTheBridgeClass) {
    const auto family = [](std::uint16_t vendor, std::uint16_t product, std::uint8_t cls, std::uint8_t sub) {
        qx::irda::UsbDeviceInfo info;
        info.vendor = vendor;
        info.product = product;
        info.interfaces.push_back({0, cls, sub, {}});
        const auto match = qx::irda::MatchDongle(info);
        return match ? std::string(qx::irda::FamilyName(match->family)) : std::string("none");
    };
    EXPECT_EQ(family(0x066F, 0x4200, 0xFF, 0), "STIr4200");
    EXPECT_EQ(family(0x9710, 0x7780, 0xFF, 0), "MCS7780");
    EXPECT_EQ(family(0x07D0, 0x4959, 0xFF, 0), "KS-959");
    EXPECT_EQ(family(0x07D0, 0x4100, 0xFF, 0), "KingSun Dazzle");
    EXPECT_EQ(family(0x07C0, 0x4200, 0xFF, 0), "KingSun/DonShine");
    EXPECT_EQ(family(0x09C4, 0x0011, 0xFF, 0), "IrDA Bridge");  // ACTiSYS ACT-IR2000U
    EXPECT_EQ(family(0x4428, 0x0012, 0xFF, 0), "IrDA Bridge");  // IBM UltraPort IrDA
    EXPECT_EQ(family(0x050F, 0x0180, 0xFF, 0), "IrDA Bridge");  // KC-180
    EXPECT_EQ(family(0x08E9, 0x0100, 0xFF, 0), "IrDA Bridge");  // ESI-9685
    EXPECT_EQ(family(0x1234, 0x5678, 0xFE, 0x02), "IrDA Bridge");
    EXPECT_EQ(family(0x1234, 0x5678, 0xFE, 0x01), "none");  // DFU, the same class
    EXPECT_EQ(family(0x066F, 0x4210, 0xFF, 0), "none");     // needs its firmware first
}

TEST(UsbPortValues, ParseAndName) {
    struct Case {
        const char* text;
        const char* name;  // nullptr: not a USB port value
    };
    for (const Case& c :
         {Case{"USB", "USB"}, Case{"usb", "USB"}, Case{"USB:066f:4200", "USB:066F:4200"},
          Case{"Usb:9710:7780", "USB:9710:7780"}, Case{"USB:66f:4200", nullptr},
          Case{"USB:066f-4200", nullptr}, Case{"USB:066g:4200", nullptr}, Case{"USB:066f:42000", nullptr},
          Case{"USB1", nullptr}, Case{"COM1", nullptr}, Case{"", nullptr}, Case{"US", nullptr}}) {
        const auto choice = qx::irda::ParseUsbPort(c.text);
        if (c.name == nullptr) {
            EXPECT_FALSE(choice.has_value()) << c.text;
        } else {
            ASSERT_TRUE(choice.has_value()) << c.text;
            EXPECT_EQ(qx::irda::UsbPortName(*choice), c.name);
        }
    }
}

// A bus of one MCS7780 whose open hands over a scripted device, or fails as told.
class OneDongleHost : public qx::irda::UsbHost {
  public:
    std::unique_ptr<ScriptedDevice> next = std::make_unique<ScriptedDevice>();
    std::optional<UsbResult> openFailure;

    std::vector<qx::irda::UsbDeviceInfo> Enumerate() override {
        qx::irda::UsbDeviceInfo keyboard{0x046D, 0xC31C, "usb:001-003", {{0, 0x03, 0x01, {}}}};
        qx::irda::UsbDeviceInfo dongle{0x9710, 0x7780, "usb:001-002", {InterfaceOf(DongleFamily::Mcs7780)}};
        return {keyboard, dongle};
    }
    std::unique_ptr<qx::irda::UsbDevice> Open(const qx::irda::UsbDeviceInfo&, std::uint8_t,
                                              UsbResult& failure) override {
        if (openFailure) {
            failure = *openFailure;
            return nullptr;
        }
        return std::move(next);
    }
};

// The USB trace: the dongle found, the open, one line per transfer with what it asked and moved and how it
// ended; a poll repeated is one line and its count; the close says what was left folded.
TEST(UsbTrace, OneLinePerTransferWithRepeatsFolded) {
    OneDongleHost bus;
    ScriptedDevice& device = *bus.next;
    device.answers = {{UsbStatus::Ok, {0x00, 0x81}},
                      {UsbStatus::Timeout, {}},
                      {UsbStatus::Timeout, {}},
                      {UsbStatus::Timeout, {}},
                      {UsbStatus::Ok, Bytes(20, 0xAB)}};
    device.stalledRequest = "control-out 40 0e 8300 0000";
    std::vector<std::string> lines;
    {
        qx::irda::TracedUsbHost traced(bus, [&](const std::string& line) { lines.push_back(line); });
        const auto found = traced.Enumerate();
        ASSERT_EQ(found.size(), 2U);
        UsbResult failure;
        auto opened = traced.Open(found[1], 0, failure);
        ASSERT_NE(opened, nullptr);
        std::array<std::uint8_t, 2> reg{};
        std::array<std::uint8_t, 64> bulk{};
        EXPECT_TRUE(opened->ClearHalt(0x81).Ok());
        EXPECT_TRUE(opened->ControlIn({0xC0, 0x0F, 0, 0}, reg, 500).Ok());
        EXPECT_EQ(opened->ControlOut({0x40, 0x0E, 0x8300, 0}, {}, 500).status, UsbStatus::Stall);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(opened->BulkIn(0x81, bulk, 10).status, UsbStatus::Timeout);
        }
        EXPECT_EQ(opened->BulkIn(0x81, bulk, 10).length, 20U);
        const std::array<std::uint8_t, 3> frame{0x05, 0x00, 0xC0};
        EXPECT_TRUE(opened->BulkOut(0x02, frame, 200).Ok());
    }
    EXPECT_EQ(
        lines,
        (std::vector<std::string>{
            "usb found usb:001-002 9710:7780 MCS7780, interface 0, bulk 81 packet 64, bulk 02 packet 64",
            "usb enumerate: 2 devices, 1 dongles",
            "usb open usb:001-002 interface 0: ok",
            "usb clear halt 81: ok",
            "usb control in type C0 request 0F value 0000 index 0000, asked 2, moved 2 [00 81]: ok",
            "usb control out type 40 request 0E value 8300 index 0000, asked 0, moved 0: stall",
            "usb bulk in 81, asked 64, moved 0: timeout",
            "usb (the line above 2 more times)",
            "usb bulk in 81, asked 64, moved 20 [AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB ...]: ok",
            "usb bulk out 02, asked 3, moved 3 [05 00 C0]: ok",
            "usb close",
        }));

    // An open that fails says how, with the system's code.
    bus.openFailure = qx::irda::UsbFailure(UsbStatus::Busy, -6);
    lines.clear();
    qx::irda::TracedUsbHost traced(bus, [&](const std::string& line) { lines.push_back(line); });
    UsbResult failure;
    EXPECT_EQ(traced.Open(bus.Enumerate()[1], 0, failure), nullptr);
    EXPECT_EQ(failure.systemCode, -6);
    EXPECT_EQ(lines, std::vector<std::string>{"usb open usb:001-002 interface 0: busy (-6)"});
}

}  // namespace
