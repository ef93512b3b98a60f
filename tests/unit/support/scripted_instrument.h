// A scripted instrument behind the socket seam: the test says which requests it expects and what comes back,
// and the fake records every platform call, every byte sent and every pause (pauses advance a fake clock
// instead of sleeping). A scripted exchange left unused fails the test. Like the platform, a successful call
// leaves the last error as it was.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "link/socket_calls.h"
#include "link/traced_calls.h"
#include "support/device_list.h"
#include "support/instrument_bytes.h"

namespace qx::test {

// What the instrument does after it got a request.
struct Incoming {
    enum class Kind { Data, Silence, Close, Error, Late, Delay };
    Kind kind = Kind::Data;
    Bytes bytes;
    int error = 0;
    std::uint32_t delayMs = 0;
};
Incoming Data(Bytes bytes);
Incoming Silence();
Incoming Close();
Incoming RecvError(int code);
// Bytes that arrive late: only when the next request has gone out, ahead of that request's own reply.
Incoming Late(Bytes bytes);
// Nothing for `ms` on the fake clock; what follows arrives after that.
Incoming Delay(std::uint32_t ms);

struct Exchange {
    Bytes expect;                 // the request the instrument expects next
    int sendError = 0;            // non-zero: the send itself fails with this code
    std::vector<Incoming> reply;  // queued for receiving once the request went out
};

class ScriptedInstrument : public SocketCalls {
  public:
    ScriptedInstrument();
    ~ScriptedInstrument() override;

    // --- script ---
    int startupError = 0;
    bool socketFails = false;
    std::vector<Device> devices;  // what a successful discovery lists
    int discoveryFailures = 0;    // the first N discovery tries fail with discoveryError
    int discoveryError = WSAETIMEDOUT_CODE;
    bool failedTriesListDevices = false;  // a failing try still writes the device list
    int hookLoadError = 0;                // a failed hook load leaves this in the last error, as Windows does
    int connectError = 0;
    int closeError = 0;
    ModuleHandle hookModule = 0;  // 0: no hook library in the program's folder
    ProcHandle hookEntry = 0;
    void Expect(Bytes request, std::vector<Incoming> reply);
    void ExpectSendFailure(Bytes request, int code);
    // The greeting exchange answered with the expected reply.
    void ExpectGreeting();

    // --- record ---
    std::vector<std::string> calls;  // one line per platform call, e.g. "send 83 00 05 B1 D3", "Sleep 10"
    std::vector<Bytes> sent;
    std::vector<std::uint32_t> pauses;
    Bytes connectAddress;
    std::vector<std::uint32_t> connectedIds;  // the device id of every connect, in order
    std::vector<SocketHandle> hookCalls;
    int startups = 0;
    int cleanups = 0;
    int discoveryTries = 0;
    std::size_t UnusedExchanges() const { return script_.size(); }
    int CountCalls(const std::string& prefix) const;

    static constexpr SocketHandle SOCKET_VALUE = 0x1234;

    // --- SocketCalls ---
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
    void Sleep(std::uint32_t ms) override;
    std::uint32_t TickCount() override { return clock_; }
    ModuleHandle LoadHookLibrary() override;
    ProcHandle GetHookEntry(ModuleHandle module) override;
    void CallHookEntry(ProcHandle entry, SocketHandle s) override;

  private:
    int Fail(int code);
    void FillDeviceList(std::span<std::uint8_t> value, int length);
    bool Valid(SocketHandle s);

    std::deque<Exchange> script_;
    std::deque<Incoming> incoming_;
    std::deque<Incoming> late_;  // held until the next request goes out
    int lastError_ = 0;
    std::uint32_t clock_ = 1000;
    bool open_ = false;
    bool connected_ = false;
};

}  // namespace qx::test
