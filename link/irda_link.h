// The program's one IrDA connection: starts and releases the socket library, opens the IrDA socket and offers
// it to the optional hook library, discovers devices, connects and greets, moves single frames and closes. It
// knows nothing of what the frames mean; every platform call goes through SocketCalls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/little_endian.h"
#include "link/socket_calls.h"

namespace qx {

// Result codes: 0 is success; platform socket error codes (all positive) pass through unchanged. The link's
// own codes are the negative ones and LINK_STARTED, so none of them can be taken for a platform error.
// SOCKET_ERROR_RESULT is a call's failure return, never a result code.
inline constexpr int LINK_OK = 0;
inline constexpr int LINK_STARTED = 0x1000000;
inline constexpr int LINK_NO_SOCKETS = -1;
inline constexpr int ENUM_NO_DEVICES = -2;
// The instrument answered the greeting with other bytes than the expected reply.
inline constexpr int LINK_GREETING_MISMATCH = -3;
// A platform call failed and the platform gave no error code for it.
inline constexpr int LINK_NO_ERROR_CODE = -4;

// Platform constants of Winsock 1.1 with the IrDA address family.
inline constexpr std::uint16_t WINSOCK_VERSION_1_1 = 0x0101;
inline constexpr int AF_IRDA_FAMILY = 26;
inline constexpr int SOCK_STREAM_TYPE = 1;
inline constexpr int SOL_IRLMP_LEVEL = 255;
inline constexpr int IRLMP_ENUMDEVICES_OPTION = 16;
inline constexpr int SD_SEND_DIRECTION = 1;

inline constexpr int DISCOVERY_TRIES = 49;
inline constexpr std::uint32_t DISCOVERY_PAUSE_MS = 10;
inline constexpr std::uint32_t CLOSE_PAUSE_MS = 1500;
inline constexpr std::size_t SEND_LIMIT = 64;
inline constexpr std::size_t RECEIVE_LIMIT = 132;

// How long a receive waits for the rest of a frame before it counts as failed. The instrument answers within
// a few hundred milliseconds over IrDA; 3 s is the IrLAP link's own default disconnect threshold, so a reply
// that has not come by then is not coming, and a silent instrument costs the user seconds, not a frozen
// program.
inline constexpr std::uint32_t RECEIVE_WAIT_MS = 3000;

// One bound on a whole run, from the start of the link to its close. Each layer has bounds of its own (the
// discovery tries, the stack's retries and busy waits, the receive wait), and on a marginal link they add up;
// the user guide promises a run ends within 20-30 s. Once the bound has passed, nothing new is begun with the
// instrument (no discovery try, connect or send): what is under way finishes, the answer to a frame already
// sent is still waited for (RECEIVE_WAIT_MS), and the link closes (CLOSE_PAUSE_MS), so a run ends within
// about 25 s and says how far it got: a write refused by the bound was never sent.
inline constexpr std::uint32_t RUN_BOUND_MS = 20000;

// A late reply is at most a few frames; a peer that never stops sending is not read for ever.
inline constexpr std::size_t DISCARD_READS_LIMIT = 16;

// The platform's SOCKADDR_IRDA as passed to connect: family (2), device id (4), service name (25), padding
// (1).
inline constexpr std::size_t ADDRESS_RECORD_SIZE = 32;
inline constexpr std::size_t ADDRESS_FAMILY_OFFSET = 0;
inline constexpr std::size_t ADDRESS_DEVICE_ID_OFFSET = 2;
inline constexpr std::size_t ADDRESS_SERVICE_NAME_OFFSET = 6;
inline constexpr std::size_t ADDRESS_SERVICE_NAME_SIZE = 25;
using AddressRecord = std::array<std::uint8_t, ADDRESS_RECORD_SIZE>;

// The platform's DEVICELIST: a 32-bit count, then IRDA_DEVICE_INFO records of 29 bytes.
inline constexpr std::size_t DEVICE_RECORD_SIZE = 29;
inline constexpr std::size_t DEVICE_ID_SIZE = 4;
inline constexpr std::size_t DEVICE_NAME_OFFSET = 4;
inline constexpr std::size_t DEVICE_NAME_SIZE = 22;
inline constexpr std::size_t DEVICE_LIST_HEADER_SIZE = 4;
inline constexpr std::size_t DEVICE_LIST_SIZE = 355;  // room for 12 records

// Every frame opens with a header: byte 0 its type or reply status, bytes 1-2 its total length, high byte
// first.
inline constexpr std::size_t FRAME_HEADER_SIZE = 3;
// The length field of a frame's header, as it stands.
std::size_t FrameLengthField(std::span<const std::uint8_t> header);
// The total length a frame's header gives, never less than the header itself.
std::size_t FrameLength(std::span<const std::uint8_t> header);

// Checks an IRLMP_ENUMDEVICES request as the platform would: 0 with the usable size of the caller's buffer in
// `room`, or the error code (WSAENOPROTOOPT for another option, WSAEFAULT for a buffer without room for the
// count).
int CheckDeviceListRequest(int level, int option, std::size_t valueSize, int length, std::size_t& room);

struct DeviceList {
    std::array<std::uint8_t, DEVICE_LIST_SIZE> bytes{};

    std::uint32_t Count() const;
    // The count, but never more records than the list holds.
    std::size_t Listed() const;
    void SetCount(std::uint32_t count);
    // Record i, which must be one of the 12 that fit.
    std::span<const std::uint8_t, DEVICE_RECORD_SIZE> Record(std::size_t i) const;
    std::span<std::uint8_t, DEVICE_RECORD_SIZE> Record(std::size_t i);
};

class IrdaLink {
  public:
    explicit IrdaLink(SocketCalls& calls) : calls_(calls) {}
    IrdaLink(const IrdaLink&) = delete;
    IrdaLink& operator=(const IrdaLink&) = delete;

    // Writes the IrDA family into the address, starts the socket library and opens the socket.
    // LINK_NO_SOCKETS when the library will not start, else LINK_STARTED (a failed socket shows up at
    // discovery).
    int StartLink(AddressRecord& address);
    // 0 when at least one device answered, ENUM_NO_DEVICES when none did, else the platform error.
    int EnumerateDevices(DeviceList& list);
    // Connects to device `index` by its own name and exchanges the greeting. 0: connected and greeted, the
    // link stays open. Anything else: the socket is closed and the socket library released.
    int ConnectAndGreet(std::size_t index, std::span<const std::uint8_t> frame,
                        std::span<const std::uint8_t> expectedReply, const DeviceList& list,
                        AddressRecord& address);

    // One use of the link, start to close, with its address record and device list kept here, fresh at each
    // start; the results are those of the operations above.
    int StartLink();
    int EnumerateDevices();
    // Connects to the first device listed that takes the connection, in the order listed, and greets it. A
    // device that refuses the connection (it offers no such service: a phone, a printer) is passed over while
    // another device is listed after it; one device listed is tried exactly as above.
    int ConnectAndGreet(std::span<const std::uint8_t> frame, std::span<const std::uint8_t> expectedReply);
    // Only the devices this accepts are tried (the user named one); all of them when it is empty.
    using DeviceFilter = std::function<bool(std::span<const std::uint8_t, DEVICE_RECORD_SIZE>)>;
    // `asked`: what the user typed, for the texts.
    void SetDeviceFilter(DeviceFilter filter, std::string asked) {
        filter_ = std::move(filter);
        deviceAsked_ = std::move(asked);
    }
    const std::string& DeviceAsked() const { return deviceAsked_; }
    // The devices of the last discovery that refused the connection and were passed over, in the order
    // tried.
    const std::vector<std::size_t>& PassedOver() const { return passedOver_; }
    // The last device tried by ConnectAndGreet (the one greeted when it returned 0); none when no device
    // was listed or the filter accepted none.
    std::optional<std::size_t> DeviceTried() const { return tried_; }
    // Whether device `index` of the last discovery takes the connection as well: with no link open, a
    // socket of its own is opened, connected and closed, and nothing is sent. 0 when it took it, else the
    // connect's error. Nothing is begun once the run's bound has passed.
    int ProbeDevice(std::size_t index);
    // Device `index` of the last discovery on a link of its own, with no link open: a socket is opened,
    // connected and greeted as ConnectAndGreet does. 0: greeted, the link stays open for the caller to use
    // and close. Anything else: the socket is closed and the library released, as there. Nothing is begun
    // once the run's bound has passed.
    int ConnectAndGreetDevice(std::size_t index, std::span<const std::uint8_t> frame,
                              std::span<const std::uint8_t> expectedReply);
    // Whether the run's bound (RUN_BOUND_MS from StartLink) has passed: nothing new may begin.
    bool OutOfTime();
    // The list the last discovery of this use left.
    const DeviceList& Devices() const { return devices_; }
    // The platform's error when the last socket could not be made, else 0.
    int SocketError() const { return socketError_; }
    // How the program's own IrDA stack failed in the last failed call, when it is that stack.
    std::optional<StackFailure> LastStackFailure() { return calls_.LastStackFailure(); }

    // Sends one frame of at most SEND_LIMIT bytes.
    int SendFrame(std::span<const std::uint8_t> bytes);
    // The same, saying how many of its bytes the platform took, whatever the result: a frame that failed
    // half way may still have reached the instrument.
    int SendFrame(std::span<const std::uint8_t> bytes, std::size_t& accepted);
    // Receives one frame: gathers bytes until the frame is complete by its own length field and takes all of
    // it off the connection, keeping its first dest.size() bytes (at most RECEIVE_LIMIT). A connection that
    // ends, fails or stays silent for RECEIVE_WAIT_MS first is a failed receive and leaves dest untouched. On
    // success the bytes of dest after the frame are zero.
    int ReceiveFrame(std::span<std::uint8_t> dest);
    // The same, within a wait that began at `waitStart` (a reading of Now()): several receives can share one
    // bound.
    int ReceiveFrame(std::span<std::uint8_t> dest, std::uint32_t waitStart);
    // The platform's millisecond clock, for ReceiveFrame's waitStart.
    std::uint32_t Now() { return calls_.TickCount(); }
    // Throws away whatever has arrived and not been received yet (a late reply to an earlier attempt),
    // without waiting, so the next reply read is the answer to the next request.
    void DiscardPending();
    // Shuts down sends, closes, pauses CLOSE_PAUSE_MS and releases the library. A failed close changes
    // nothing.
    int CloseLink();
    // Closes a link that is still open (its result ignored); true when there was one.
    bool CloseIfOpen();

    // The process-wide socket handle: 0 means no link.
    SocketHandle Handle() const { return handle_; }
    bool HasLink() const { return handle_ != 0; }
    // Forgets the handle without closing it; the main window does this once when it is created.
    void ResetHandle() { handle_ = 0; }
    // A fixed pause through the platform (recorded by the test instrument).
    void Pause(std::uint32_t ms) { calls_.Sleep(ms); }

  private:
    // Creates the socket and hands it to the hook library; only StartLink calls it.
    void OpenSocket();
    void TearDown();
    // Puts device `index` into the address record and connects; the socket stays as the connect left it.
    int ConnectTo(std::size_t index, const DeviceList& list, AddressRecord& address);
    int Greet(std::span<const std::uint8_t> frame, std::span<const std::uint8_t> expectedReply);
    int FailedCallError();
    // Opens a socket of its own and connects it to device `index`; torn down when the connect fails.
    int ConnectDevice(std::size_t index);

    SocketCalls& calls_;
    SocketHandle handle_ = 0;
    int socketError_ = 0;
    int discoveryLength_ = 0;
    ModuleHandle hookModule_ = 0;
    ProcHandle hookEntry_ = 0;
    AddressRecord address_{};
    DeviceList devices_{};
    std::optional<std::uint32_t> runStart_;  // the clock at StartLink
    DeviceFilter filter_;
    std::string deviceAsked_;
    std::vector<std::size_t> passedOver_;
    std::optional<std::size_t> tried_;
};

// Closes the link at the end of a scope if it is still open: the end of a run, the window's close.
class OpenLinkCloser {
  public:
    explicit OpenLinkCloser(IrdaLink& link) : link_(link) {}
    OpenLinkCloser(const OpenLinkCloser&) = delete;
    OpenLinkCloser& operator=(const OpenLinkCloser&) = delete;
    ~OpenLinkCloser() { link_.CloseIfOpen(); }

  private:
    IrdaLink& link_;
};

}  // namespace qx
