// The socket-call face of the program's own IrDA stack: a COM port with a serial IrDA adapter made to look
// like Windows' IrDA sockets to the link. socket opens the port, IRLMP_ENUMDEVICES is one discovery, connect
// is IrLAP, IAS, IrLMP and TinyTP in turn, send and receive carry TinyTP data, shutdown and close disconnect
// and close the port. Pauses and the clock are the platform's; the hook library is never loaded (it expects a
// Winsock socket).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "irda/capture.h"
#include "irda/irlap.h"
#include "irda/irlmp.h"
#include "irda/serial_port.h"
#include "irda/sir_medium.h"
#include "irda/tinytp.h"
#include "irda/usb_dongle.h"
#include "link/forwarding_calls.h"

namespace qx::irda {

inline constexpr int WSAEMFILE_CODE = 10024;
// A service name of this form names the peer's LSAP itself and skips the IAS query.
inline constexpr std::string_view LSAP_SEL_PREFIX = "LSAP-SEL";

// The stack's clock and pauses taken from the platform's socket calls.
class PlatformClock : public StackClock {
  public:
    explicit PlatformClock(SocketCalls& platform) : platform_(platform) {}
    std::uint32_t NowMs() override { return platform_.TickCount(); }
    void SleepMs(std::uint32_t ms) override { platform_.Sleep(ms); }

  private:
    SocketCalls& platform_;
};

// A random IrLAP device address, never 0 and never the broadcast address.
std::uint32_t RandomOwnAddress();

// A failed call sets the last error to a Winsock code that fits (or, for socket, the Windows error of opening
// the port); a successful call leaves it as it was, as Winsock does.
class SerialIrdaCalls : public ForwardingCalls {
  public:
    // `port` and `platform` (and `capture`, when given) must outlive this object. ownAddress 0: a random one.
    SerialIrdaCalls(std::string portName, SerialPort& port, SocketCalls& platform,
                    FrameSink* capture = nullptr, std::uint32_t ownAddress = 0);
    ~SerialIrdaCalls() override;
    SerialIrdaCalls(const SerialIrdaCalls&) = delete;
    SerialIrdaCalls& operator=(const SerialIrdaCalls&) = delete;

    const std::string& PortName() const { return portName_; }
    // From any thread (Ctrl+C): ends at once the discovery or connection under way, with DISC where a link
    // is up, and refuses to begin either again; a send whose frame went out still waits for its answer.
    void Interrupt() { stopRequested_ = true; }

    // No socket library is needed.
    int WSAStartup(std::uint16_t version) override;
    int WSACleanup() override;
    SocketHandle Socket(int family, int type, int protocol) override;
    int GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                   int& length) override;
    int Connect(SocketHandle s, std::span<const std::uint8_t> address) override;
    int Send(SocketHandle s, std::span<const std::uint8_t> bytes) override;
    int WaitReadable(SocketHandle s, std::uint32_t timeoutMs) override;
    int Recv(SocketHandle s, std::span<std::uint8_t> buffer) override;
    int Shutdown(SocketHandle s, int how) override;
    int CloseSocket(SocketHandle s) override;
    int WSAGetLastError() override { return lastError_; }
    // A pause that keeps a connection alive with polls.
    void Sleep(std::uint32_t ms) override;
    ModuleHandle LoadHookLibrary() override { return 0; }
    ProcHandle GetHookEntry(ModuleHandle) override { return 0; }
    void CallHookEntry(ProcHandle, SocketHandle) override {}
    std::optional<StackFailure> LastStackFailure() override { return failure_; }

  private:
    bool Valid(SocketHandle s);
    int Fail(int code);
    // Fails with the Winsock code for `status` and keeps the failure typed: a port failure as the port's,
    // with its system error, anything else as `layer`'s.
    int FailWith(StackLayer layer, LapStatus status);
    bool Readable() const;
    void EndConnection();

    std::string portName_;
    std::atomic<bool> stopRequested_ = false;
    SerialPort& port_;
    PlatformClock clock_;
    PortMedium medium_;
    IrlapPrimary lap_;
    IrlmpClient lmp_;
    TinyTp ttp_;
    SocketHandle handle_ = 0;
    SocketHandle nextHandle_ = 0x5100;
    int lastError_ = 0;
    int openError_ = 0;  // of the last socket call that failed to open the port
    std::optional<StackFailure> failure_;
    bool shutDown_ = false;
    bool portFailed_ = false;  // the port failed a read or a write since this socket opened it
    bool dataSent_ = false;    // data of the program went out since this socket opened the port
    std::size_t offset_ = 0;   // into the oldest SDU received
};

// The Winsock code for how a stack operation ended.
int WinsockCode(LapStatus status);
// The same typed, for a failure in `layer`; a port failure is the port's, with `portError` beside it.
StackFailure TypedFailure(StackLayer layer, LapStatus status, std::uint32_t portError);

// One discovery on a named port, for the console's list of ports: the devices in range, or what failed
// (`openError`: the Windows error of opening the port; `discoveryError`: the Winsock code of the discovery).
struct PortProbe {
    std::string adapter;  // what sits on the port when it is no COM port: a USB dongle's family
    std::uint32_t openError = 0;
    int discoveryError = 0;
    std::vector<DiscoveredDevice> devices;
};
// The port values of the USB dongles on the bus ("USB:VVVV:PPPP"), each once, for the list of ports.
std::vector<std::string> UsbPortValues(UsbHost& host);
// The dongle a USB port value picks, by family and USB id ("STIr4200 (066F:4200)"); empty when none is found.
std::string UsbDongleName(const std::string& portValue, UsbHost& host);
// ProbePort on a USB port value, naming the dongle's family as the adapter.
PortProbe ProbeUsbPort(const std::string& name, UsbHost& host, StackClock& clock);
PortProbe ProbePort(const std::string& name, SerialPort& port, StackClock& clock,
                    FrameSink* capture = nullptr);

}  // namespace qx::irda
