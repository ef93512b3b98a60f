// The socket seam with a witness: every call passes through unchanged and is written out line by line, with
// milliseconds since start, together with every whole frame that crossed the link (reassembled from the
// bytes by its own length field) and what it is: greeting, read, write, their replies. Unless asked for
// everything, identical discovery tries are folded into one line with their count and the clock readings are
// left out. It only traces: what a run came to travels back up the call chain.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/socket_calls.h"

namespace qx {

// "80 00 12": bytes as the frame tables write them.
std::string HexBytes(std::span<const std::uint8_t> bytes);

class TracedCalls final : public SocketCalls {
  public:
    // One trace line without its line end.
    using Sink = std::function<void(const std::string&)>;
    // Milliseconds since the program started.
    using Clock = std::function<std::uint32_t()>;

    // `everything`: every call on a line of its own, the clock readings included.
    TracedCalls(SocketCalls& inner, Sink sink, Clock clock, bool everything = false);
    ~TracedCalls() override;
    TracedCalls(const TracedCalls&) = delete;
    TracedCalls& operator=(const TracedCalls&) = delete;

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
    std::optional<StackFailure> LastStackFailure() override { return inner_.LastStackFailure(); }

  private:
    void Line(const std::string& text);
    // The discovery tries held back for folding, written out as one line.
    void FlushFold();
    // The result of an int-returning socket call, with the platform's error when it is the failure value.
    std::string Outcome(int result, int& error);
    // Adds bytes that crossed the link to the frame being gathered in that direction.
    void Gather(bool sent, std::span<const std::uint8_t> bytes);
    // Traces what is left of a frame when the connection ends.
    void FlushPartial();

    SocketCalls& inner_;
    Sink sink_;
    Clock clock_;
    std::vector<std::uint8_t> gathering_[2];  // [0] received, [1] sent
    bool everything_;
    // Identical discovery tries in a row, and the pauses between them, not yet written out.
    struct Fold {
        std::string text;
        std::uint32_t stamp = 0;
        int tries = 0;
        int pauses = 0;
    };
    std::optional<Fold> fold_;
};

}  // namespace qx
