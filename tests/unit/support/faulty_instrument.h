// A behavioural instrument behind the socket seam: it holds a configuration word and answers the greeting,
// read and write requests the way the real one does, whatever order they come in. One chosen platform call of
// the run can be made to fail in one chosen way. Everything that crosses the seam is reported to a RunWatch.
// It uses no test framework, so the fuzz targets drive it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "link/device_frames.h"
#include "link/socket_calls.h"
#include "support/device_list.h"
#include "support/run_watch.h"

namespace qx::test {

// The platform calls, one per SocketCalls function.
enum class Call {
    WSAStartup,
    WSACleanup,
    Socket,
    GetSockOpt,
    Connect,
    Send,
    WaitReadable,
    Recv,
    Shutdown,
    CloseSocket,
    WSAGetLastError,
    Sleep,
    TickCount,
    LoadHookLibrary,
    GetHookEntry,
    CallHookEntry,
};
const char* CallName(Call call);

enum class Fault {
    None,
    ErrorReturn,       // the call's error return, with its error code set
    ErrorWithoutCode,  // the error return, but the last error reads 0 (some calls reset it)
    Partial,           // send or recv: fewer bytes than asked; the rest follows with the next call
    Truncated,         // recv: fewer bytes than asked; the rest of the reply never comes
    TruncatedThenEnd,  // recv: fewer bytes than asked; then the instrument ends the connection
    Silence,           // select: nothing within the wait; what was on its way arrives later
    ConnectionEnded,   // recv: 0, the instrument ended the connection for good
    StaleError,        // WSAGetLastError: a non-zero code although nothing failed
    ClockJump,         // GetTickCount: the clock jumps past a whole receive wait
    Missing,           // the hook library or its entry is not there
};
const char* FaultName(Fault fault);
// The ways `call` can fail; empty for the calls that have no failure.
std::span<const Fault> FaultsOf(Call call);

class FaultyInstrument : public SocketCalls {
  public:
    FaultyInstrument(ConfigWord word, bool enable);

    // --- the instrument and its surroundings ---
    ConfigWord word;
    // What a successful discovery writes into the caller's buffer (as much as fits).
    std::vector<std::uint8_t> discovery = DeviceListOf({{0x11223300, "QX2205R"}});
    // The first N discovery tries fail with WSAETIMEDOUT.
    int discoveryFailures = 0;
    bool hookPresent = true;
    // How long each discovery try, connect and send takes on the clock: a slow stack or a marginal link
    // under the calls.
    std::uint32_t beginMs = 0;
    // What the last error holds when the run starts: a code something earlier on the thread left there (a
    // hook library that failed to load leaves 126). Like the platform, successful calls do not clear it.
    void LeaveError(int code) { lastError_ = code; }
    // Makes call number `position` (counting from 0) fail with `fault`.
    void Inject(std::size_t position, Fault fault);

    // --- record ---
    RunWatch watch;
    std::vector<Call> calls;
    std::vector<std::uint8_t> connectAddress;  // the last connect's
    std::vector<std::uint8_t> firstConnectAddress;
    int connects = 0;
    int writesApplied = 0;
    bool FaultHit() const { return faultHit_; }

    static constexpr ModuleHandle HOOK_MODULE = 0x5000;
    static constexpr ProcHandle HOOK_ENTRY = 0x6000;
    // A run that has made this many calls is not ending; from there on every call fails.
    static constexpr std::size_t CALL_LIMIT = 20000;

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
    int WSAGetLastError() override;
    void Sleep(std::uint32_t ms) override;
    std::uint32_t TickCount() override;
    ModuleHandle LoadHookLibrary() override;
    ProcHandle GetHookEntry(ModuleHandle module) override;
    void CallHookEntry(ProcHandle entry, SocketHandle s) override;

  private:
    // Counts the call and returns the fault it must show (None for all but the chosen one).
    Fault Enter(Call call);
    int Fail(int code, Fault fault);
    bool Connected(SocketHandle s) const { return s == socket_ && open_ && connected_; }
    void Answer(std::span<const std::uint8_t> request);

    std::size_t faultPosition_ = SIZE_MAX;
    Fault fault_ = Fault::None;
    bool faultHit_ = false;
    bool runaway_ = false;

    int lastError_ = 0;
    std::uint32_t clock_ = 5000;
    SocketHandle nextSocket_ = 0x100;
    SocketHandle socket_ = 0;
    bool open_ = false;
    bool connected_ = false;
    bool ended_ = false;
    std::vector<std::uint8_t> inbox_;  // request bytes not yet a whole frame
    std::deque<std::uint8_t> outbox_;  // reply bytes on their way to the program
};

}  // namespace qx::test
