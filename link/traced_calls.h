// The socket seam with a witness: every call passes through unchanged, and on the way the run is recorded
// (the outcome of each step and every frame that crossed the link, reassembled from the bytes by its own
// length field) and, when a trace sink is given, written out line by line with milliseconds since start. The
// console program tells the user from this record what the instrument received, and prints it for --trace.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "link/irda_link.h"
#include "link/socket_calls.h"

namespace qx {

struct TracedFrame {
    bool sent = false;  // true: to the instrument; false: from it
    std::vector<std::uint8_t> bytes;
    bool complete = true;  // false: the link closed before the frame's length was reached
};

struct RunRecord {
    bool startupFailed = false;
    bool socketFailed = false;
    int socketError = 0;
    int discoveryTries = 0;
    bool discovered = false;  // a discovery try succeeded
    int discoveryError = 0;   // the error of the last failed try
    DeviceList devices{};     // as the last successful try left it
    bool connected = false;
    int connectError = 0;
    std::vector<TracedFrame> frames;  // only bytes that really crossed the link
};

// "80 00 12": bytes as the frame tables write them.
std::string HexBytes(std::span<const std::uint8_t> bytes);

class TracedCalls final : public SocketCalls {
  public:
    // One trace line without its line end; an empty sink traces nothing and only records.
    using Sink = std::function<void(const std::string&)>;
    // Milliseconds since the program started.
    using Clock = std::function<std::uint32_t()>;

    TracedCalls(SocketCalls& inner, Sink sink, Clock clock);

    const RunRecord& Record() const { return record_; }

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
    int WSAGetLastError() override;
    void Sleep(std::uint32_t ms) override;
    std::uint32_t TickCount() override;
    ModuleHandle LoadHookLibrary() override;
    ProcHandle GetHookEntry(ModuleHandle module) override;
    void CallHookEntry(ProcHandle entry, SocketHandle s) override;

  private:
    void Line(const std::string& text);
    // The result of an int-returning socket call, with the platform's error when it is the failure value.
    std::string Outcome(int result, int& error);
    // Adds bytes that crossed the link to the frame being gathered in that direction.
    void Gather(bool sent, std::span<const std::uint8_t> bytes);
    // Records what is left of a frame when the connection ends.
    void FlushPartial();

    SocketCalls& inner_;
    Sink sink_;
    Clock clock_;
    RunRecord record_;
    std::vector<std::uint8_t> gathering_[2];  // [0] received, [1] sent
};

}  // namespace qx
