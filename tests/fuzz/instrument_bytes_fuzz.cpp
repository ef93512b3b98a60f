// Whatever bytes an instrument sends during a whole run (greeting reply, read and write replies, in any split
// and any length, with silences, failed receives and an ended connection between them), the mode switch keeps
// the rules of a run: it writes only the word it read with bit 8 changed, reports success only for an
// acknowledged write, shows one result box, and closes the link and releases the socket library.
//
// Input: byte 0 holds options (bit 0: enable, else disable; bit 1: closing the socket fails; bit 2: a link is
// still open from before; bit 3: each send takes one byte at a time). The rest is what the receives meet, in
// order; each item begins with a byte c:
//   c < 0x80       c + 1 bytes of data follow, arriving together (as many as the input still holds)
//   c & 3 == 0     nothing arrives within one wait
//   c & 3 == 1     a receive fails
//   c & 3 == 2     the instrument ends the connection
//   c & 3 == 3     the wait for data fails
// When the input is used up, nothing more arrives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "app/mode_switch.h"
#include "support/broken_rules.h"
#include "support/device_list.h"
#include "support/named_slots.h"
#include "support/recording_host.h"
#include "support/run_watch.h"

namespace qx::fuzz {
namespace {

using test::RecordingHost;
using test::RunWatch;

struct Item {
    enum class Kind { Data, Silence, RecvError, End, WaitError };
    Kind kind;
    std::vector<std::uint8_t> bytes;
};

class FedInstrument : public SocketCalls {
  public:
    FedInstrument(std::span<const std::uint8_t> input, bool enable, bool closeFails, bool byteSends)
        : watch(enable), closeFails_(closeFails), byteSends_(byteSends) {
        while (!input.empty()) {
            const std::uint8_t c = input[0];
            input = input.subspan(1);
            if (c < 0x80) {
                const std::size_t n = std::min<std::size_t>(c + 1u, input.size());
                items_.push_back(
                    {Item::Kind::Data, {input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n)}});
                input = input.subspan(n);
            } else {
                constexpr Item::Kind KINDS[] = {Item::Kind::Silence, Item::Kind::RecvError, Item::Kind::End,
                                                Item::Kind::WaitError};
                items_.push_back({KINDS[c & 3], {}});
            }
        }
    }

    RunWatch watch;

    int WSAStartup(std::uint16_t) override {
        watch.OnStartup(true);
        return 0;
    }
    int WSACleanup() override {
        watch.OnCleanup();
        return 0;
    }
    SocketHandle Socket(int, int, int) override {
        socket_ += 4;
        watch.OnSocketOpened(socket_);
        return socket_;
    }
    int GetSockOpt(SocketHandle s, int, int, std::span<std::uint8_t> value, int& length) override {
        watch.OnSocketCall(s, "getsockopt");
        // One device, named as the instrument names itself.
        const std::vector<std::uint8_t> list = test::DeviceListOf({{0x11223344, "QX2205R"}});
        const std::size_t n =
            std::min({value.size(), list.size(), static_cast<std::size_t>(std::max(length, 0))});
        std::copy_n(list.begin(), n, value.begin());
        return 0;
    }
    int Connect(SocketHandle s, std::span<const std::uint8_t>) override {
        watch.OnSocketCall(s, "connect");
        return 0;
    }
    int Send(SocketHandle s, std::span<const std::uint8_t> bytes) override {
        watch.OnSocketCall(s, "send");
        if (ended_) {
            watch.OnSend(bytes, SOCKET_ERROR_RESULT);
            return Fail(WSAECONNRESET_CODE);
        }
        const int n = byteSends_ && !bytes.empty() ? 1 : static_cast<int>(bytes.size());
        watch.OnSend(bytes, n);
        return n;
    }
    int WaitReadable(SocketHandle s, std::uint32_t timeoutMs) override {
        watch.OnSocketCall(s, "select");
        if (ended_) {
            return 1;
        }
        if (items_.empty() || items_.front().kind == Item::Kind::Silence) {
            if (!items_.empty()) {
                items_.pop_front();
            }
            clock_ += timeoutMs;
            return 0;
        }
        if (items_.front().kind == Item::Kind::WaitError) {
            items_.pop_front();
            return Fail(WSAENETDOWN_CODE);
        }
        return 1;
    }
    int Recv(SocketHandle s, std::span<std::uint8_t> buffer) override {
        watch.OnSocketCall(s, "recv");
        if (ended_) {
            return 0;
        }
        if (items_.empty() || buffer.empty()) {
            watch.Violation("recv without anything to receive: it would block for ever");
            return Fail(WSAETIMEDOUT_CODE);
        }
        Item& front = items_.front();
        switch (front.kind) {
            case Item::Kind::RecvError:
                items_.pop_front();
                return Fail(WSAECONNRESET_CODE);
            case Item::Kind::End:
                ended_ = true;
                return 0;
            case Item::Kind::Data:
                break;
            default:
                watch.Violation("recv although the wait said nothing is there");
                return Fail(WSAETIMEDOUT_CODE);
        }
        const std::size_t n = std::min(buffer.size(), front.bytes.size());
        std::copy_n(front.bytes.begin(), n, buffer.begin());
        front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<std::ptrdiff_t>(n));
        if (front.bytes.empty()) {
            items_.pop_front();
        }
        watch.OnDelivered(buffer.first(n));
        return static_cast<int>(n);
    }
    int Shutdown(SocketHandle s, int) override {
        watch.OnSocketCall(s, "shutdown");
        return 0;
    }
    int CloseSocket(SocketHandle s) override {
        watch.OnSocketCall(s, "closesocket");
        watch.OnClose(s, !closeFails_);
        return closeFails_ ? Fail(WSAENETDOWN_CODE) : 0;
    }
    int WSAGetLastError() override { return lastError_; }
    void Sleep(std::uint32_t ms) override { clock_ += ms; }
    std::uint32_t TickCount() override { return clock_; }
    ModuleHandle LoadHookLibrary() override { return 0; }
    ProcHandle GetHookEntry(ModuleHandle) override { return 0; }
    void CallHookEntry(ProcHandle, SocketHandle) override {}

  private:
    int Fail(int code) {
        lastError_ = code;
        return SOCKET_ERROR_RESULT;
    }

    bool closeFails_;
    bool byteSends_;
    std::deque<Item> items_;
    bool ended_ = false;
    int lastError_ = 0;
    std::uint32_t clock_ = 0;
    SocketHandle socket_ = 0x200;
};

}  // namespace
}  // namespace qx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qx;
    if (size == 0) {
        return 0;
    }
    const std::uint8_t options = data[0];
    const bool enable = (options & 1) != 0;
    fuzz::FedInstrument instrument(std::span(data + 1, size - 1), enable, (options & 2) != 0,
                                   (options & 8) != 0);
    IrdaLink link(instrument);
    if ((options & 4) != 0) {
        AddressRecord address{};
        link.StartLink(address);
    }
    test::RecordingHost host;
    const MessageSlots slots = test::NamedSlots();
    const bool result = SetSearchMode(enable, link, slots, host);
    fuzz::BrokenRules broken;
    broken.Add(instrument.watch.Check({result, link.HasLink(), host, slots}));
    broken.AbortIfAny();
    return 0;
}
