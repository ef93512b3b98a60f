#include "support/faulty_instrument.h"

#include <algorithm>
#include <array>

#include "link/irda_link.h"
#include "support/instrument_bytes.h"

namespace qx::test {

namespace {

constexpr int WSASYSNOTREADY_CODE = 10091;
constexpr int WSANOTINITIALISED_CODE = 10093;

constexpr std::array<Fault, 2> ERRORS = {Fault::ErrorReturn, Fault::ErrorWithoutCode};
constexpr std::array<Fault, 1> ERROR_ONLY = {Fault::ErrorReturn};
constexpr std::array<Fault, 3> SEND_FAULTS = {Fault::ErrorReturn, Fault::ErrorWithoutCode, Fault::Partial};
constexpr std::array<Fault, 3> WAIT_FAULTS = {Fault::ErrorReturn, Fault::ErrorWithoutCode, Fault::Silence};
constexpr std::array<Fault, 6> RECV_FAULTS = {Fault::ErrorReturn,      Fault::ErrorWithoutCode,
                                              Fault::Partial,          Fault::Truncated,
                                              Fault::TruncatedThenEnd, Fault::ConnectionEnded};
constexpr std::array<Fault, 1> LAST_ERROR_FAULTS = {Fault::StaleError};
constexpr std::array<Fault, 1> CLOCK_FAULTS = {Fault::ClockJump};
constexpr std::array<Fault, 1> HOOK_FAULTS = {Fault::Missing};

std::size_t FrameLength(std::span<const std::uint8_t> header) {
    return std::max<std::size_t>(3, static_cast<std::size_t>(header[1]) << 8 | header[2]);
}

}  // namespace

const char* CallName(Call call) {
    switch (call) {
        case Call::WSAStartup:
            return "WSAStartup";
        case Call::WSACleanup:
            return "WSACleanup";
        case Call::Socket:
            return "socket";
        case Call::GetSockOpt:
            return "getsockopt";
        case Call::Connect:
            return "connect";
        case Call::Send:
            return "send";
        case Call::WaitReadable:
            return "select";
        case Call::Recv:
            return "recv";
        case Call::Shutdown:
            return "shutdown";
        case Call::CloseSocket:
            return "closesocket";
        case Call::WSAGetLastError:
            return "WSAGetLastError";
        case Call::Sleep:
            return "Sleep";
        case Call::TickCount:
            return "GetTickCount";
        case Call::LoadHookLibrary:
            return "LoadHookLibrary";
        case Call::GetHookEntry:
            return "GetHookEntry";
        case Call::CallHookEntry:
            return "CallHookEntry";
    }
    return "?";
}

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::None:
            return "none";
        case Fault::ErrorReturn:
            return "error return";
        case Fault::ErrorWithoutCode:
            return "error return, last error 0";
        case Fault::Partial:
            return "fewer bytes, rest later";
        case Fault::Truncated:
            return "fewer bytes, rest lost";
        case Fault::TruncatedThenEnd:
            return "fewer bytes, then the connection ended";
        case Fault::Silence:
            return "no data within the wait";
        case Fault::ConnectionEnded:
            return "connection ended";
        case Fault::StaleError:
            return "stale error code";
        case Fault::ClockJump:
            return "clock jump";
        case Fault::Missing:
            return "missing";
    }
    return "?";
}

std::span<const Fault> FaultsOf(Call call) {
    switch (call) {
        case Call::WSAStartup:
        case Call::WSACleanup:
        case Call::Socket:
        case Call::Shutdown:
            return ERROR_ONLY;
        case Call::GetSockOpt:
        case Call::Connect:
        case Call::CloseSocket:
            return ERRORS;
        case Call::Send:
            return SEND_FAULTS;
        case Call::WaitReadable:
            return WAIT_FAULTS;
        case Call::Recv:
            return RECV_FAULTS;
        case Call::WSAGetLastError:
            return LAST_ERROR_FAULTS;
        case Call::TickCount:
            return CLOCK_FAULTS;
        case Call::LoadHookLibrary:
        case Call::GetHookEntry:
            return HOOK_FAULTS;
        case Call::Sleep:
        case Call::CallHookEntry:
            return {};
    }
    return {};
}

FaultyInstrument::FaultyInstrument(ConfigWord word, bool enable) : word(word), watch(enable) {}

void FaultyInstrument::Inject(std::size_t position, Fault fault) {
    faultPosition_ = position;
    fault_ = fault;
}

Fault FaultyInstrument::Enter(Call call) {
    calls.push_back(call);
    if (call == Call::GetSockOpt || call == Call::Connect || call == Call::Send) {
        clock_ += beginMs;
    }
    if (calls.size() > CALL_LIMIT && !runaway_) {
        runaway_ = true;
        watch.Violation("the run does not end: " + std::to_string(CALL_LIMIT) + " platform calls");
    }
    if (runaway_) {
        return Fault::ErrorReturn;
    }
    if (calls.size() - 1 == faultPosition_) {
        faultHit_ = true;
        return fault_;
    }
    return Fault::None;
}

int FaultyInstrument::Fail(int code, Fault fault) {
    lastError_ = fault == Fault::ErrorWithoutCode ? 0 : code;
    return SOCKET_ERROR_RESULT;
}

int FaultyInstrument::WSAStartup(std::uint16_t) {
    const bool failed = Enter(Call::WSAStartup) != Fault::None;
    watch.OnStartup(!failed);
    return failed ? WSASYSNOTREADY_CODE : 0;
}

int FaultyInstrument::WSACleanup() {
    const Fault fault = Enter(Call::WSACleanup);
    watch.OnCleanup();
    return fault != Fault::None ? Fail(WSANOTINITIALISED_CODE, fault) : 0;
}

SocketHandle FaultyInstrument::Socket(int, int, int) {
    if (Enter(Call::Socket) != Fault::None) {
        lastError_ = WSAEAFNOSUPPORT_CODE;
        watch.OnSocketFailed();
        return INVALID_SOCKET_HANDLE;
    }
    // Each socket gets a handle of its own, so a call on an old one shows.
    socket_ = nextSocket_;
    nextSocket_ += 4;
    open_ = true;
    connected_ = false;
    ended_ = false;
    inbox_.clear();
    outbox_.clear();
    watch.OnSocketOpened(socket_);
    return socket_;
}

int FaultyInstrument::GetSockOpt(SocketHandle s, int, int, std::span<std::uint8_t> value, int& length) {
    const Fault fault = Enter(Call::GetSockOpt);
    watch.OnSocketCall(s, "getsockopt");
    if (s != socket_ || !open_) {
        return Fail(WSAENOTSOCK_CODE, Fault::ErrorReturn);
    }
    if (fault != Fault::None) {
        return Fail(WSAETIMEDOUT_CODE, fault);
    }
    if (discoveryFailures > 0) {
        --discoveryFailures;
        return Fail(WSAETIMEDOUT_CODE, Fault::ErrorReturn);
    }
    const std::size_t room = std::min(value.size(), static_cast<std::size_t>(std::max(length, 0)));
    const std::size_t n = std::min(room, discovery.size());
    std::copy_n(discovery.begin(), n, value.begin());
    length = static_cast<int>(n);
    return 0;
}

int FaultyInstrument::Connect(SocketHandle s, std::span<const std::uint8_t> address) {
    const Fault fault = Enter(Call::Connect);
    watch.OnSocketCall(s, "connect");
    ++connects;
    connectAddress.assign(address.begin(), address.end());
    if (connects == 1) {
        firstConnectAddress = connectAddress;
    }
    if (s != socket_ || !open_) {
        return Fail(WSAENOTSOCK_CODE, Fault::ErrorReturn);
    }
    if (fault != Fault::None) {
        return Fail(WSAECONNREFUSED_CODE, fault);
    }
    connected_ = true;
    return 0;
}

int FaultyInstrument::Send(SocketHandle s, std::span<const std::uint8_t> bytes) {
    const Fault fault = Enter(Call::Send);
    watch.OnSocketCall(s, "send");
    if (fault == Fault::ErrorReturn || fault == Fault::ErrorWithoutCode) {
        watch.OnSend(bytes, SOCKET_ERROR_RESULT);
        return Fail(WSAECONNRESET_CODE, fault);
    }
    if (!Connected(s) || ended_) {
        watch.OnSend(bytes, SOCKET_ERROR_RESULT);
        return Fail(ended_ ? WSAECONNRESET_CODE : WSAENOTCONN_CODE, Fault::ErrorReturn);
    }
    std::size_t n = bytes.size();
    if (fault == Fault::Partial && n > 1) {
        n /= 2;
    }
    watch.OnSend(bytes, static_cast<int>(n));
    inbox_.insert(inbox_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    while (inbox_.size() >= 3 && inbox_.size() >= FrameLength(inbox_)) {
        const auto length = static_cast<std::ptrdiff_t>(FrameLength(inbox_));
        const std::vector<std::uint8_t> request(inbox_.begin(), inbox_.begin() + length);
        inbox_.erase(inbox_.begin(), inbox_.begin() + length);
        Answer(request);
    }
    return static_cast<int>(n);
}

// The instrument's side of the exchange: it answers every whole request as it comes.
void FaultyInstrument::Answer(std::span<const std::uint8_t> request) {
    Bytes reply;
    if (std::ranges::equal(request, GREETING)) {
        reply = GREETING_REPLY;
    } else if (std::ranges::equal(request, READ_REQUEST)) {
        reply = ReadReply(word);
    } else if (request.size() == WRITE_REQUEST_SIZE &&
               std::ranges::equal(request.first(WRITE_REQUEST_HEAD.size()), WRITE_REQUEST_HEAD)) {
        word = static_cast<ConfigWord>(request[8] | request[9] << 8);
        ++writesApplied;
        watch.OnWriteApplied();
        reply = WRITE_ACK;
    } else {
        reply = REFUSAL;
    }
    outbox_.insert(outbox_.end(), reply.begin(), reply.end());
}

int FaultyInstrument::WaitReadable(SocketHandle s, std::uint32_t timeoutMs) {
    const Fault fault = Enter(Call::WaitReadable);
    watch.OnSocketCall(s, "select");
    if (s != socket_ || !open_) {
        return Fail(WSAENOTSOCK_CODE, Fault::ErrorReturn);
    }
    if (fault == Fault::ErrorReturn || fault == Fault::ErrorWithoutCode) {
        return Fail(WSAENETDOWN_CODE, fault);
    }
    if (fault == Fault::None && (ended_ || !outbox_.empty())) {
        return 1;
    }
    clock_ += timeoutMs;
    return 0;
}

int FaultyInstrument::Recv(SocketHandle s, std::span<std::uint8_t> buffer) {
    const Fault fault = Enter(Call::Recv);
    watch.OnSocketCall(s, "recv");
    if (!Connected(s)) {
        return Fail(WSAENOTCONN_CODE, Fault::ErrorReturn);
    }
    if (fault == Fault::ErrorReturn || fault == Fault::ErrorWithoutCode) {
        return Fail(WSAECONNRESET_CODE, fault);
    }
    if (fault == Fault::ConnectionEnded) {
        ended_ = true;
        outbox_.clear();
    }
    if (ended_) {
        return 0;
    }
    if (outbox_.empty()) {
        watch.Violation("recv with nothing to receive: it would block for ever");
        return Fail(WSAETIMEDOUT_CODE, Fault::ErrorReturn);
    }
    std::size_t n = std::min(buffer.size(), outbox_.size());
    const bool fewer =
        fault == Fault::Partial || fault == Fault::Truncated || fault == Fault::TruncatedThenEnd;
    if (fewer && n > 1) {
        n -= 1;
    }
    std::copy_n(outbox_.begin(), n, buffer.begin());
    outbox_.erase(outbox_.begin(), outbox_.begin() + static_cast<std::ptrdiff_t>(n));
    watch.OnDelivered(buffer.first(n));
    if (fault == Fault::Truncated || fault == Fault::TruncatedThenEnd) {
        outbox_.clear();
    }
    ended_ = ended_ || fault == Fault::TruncatedThenEnd;
    return static_cast<int>(n);
}

int FaultyInstrument::Shutdown(SocketHandle s, int) {
    const Fault fault = Enter(Call::Shutdown);
    watch.OnSocketCall(s, "shutdown");
    if (s != socket_ || !open_) {
        return Fail(WSAENOTSOCK_CODE, Fault::ErrorReturn);
    }
    return fault != Fault::None ? Fail(WSAENETDOWN_CODE, fault) : 0;
}

int FaultyInstrument::CloseSocket(SocketHandle s) {
    const Fault fault = Enter(Call::CloseSocket);
    watch.OnSocketCall(s, "closesocket");
    if (s != socket_ || !open_) {
        watch.OnClose(s, false);
        return Fail(WSAENOTSOCK_CODE, Fault::ErrorReturn);
    }
    if (fault != Fault::None) {
        watch.OnClose(s, false);
        return Fail(WSAENETDOWN_CODE, fault);
    }
    open_ = false;
    connected_ = false;
    watch.OnClose(s, true);
    return 0;
}

int FaultyInstrument::WSAGetLastError() {
    return Enter(Call::WSAGetLastError) == Fault::StaleError ? WSAENETDOWN_CODE : lastError_;
}

void FaultyInstrument::Sleep(std::uint32_t ms) {
    Enter(Call::Sleep);
    clock_ += ms;
}

std::uint32_t FaultyInstrument::TickCount() {
    if (Enter(Call::TickCount) == Fault::ClockJump) {
        clock_ += RECEIVE_WAIT_MS;
    }
    return clock_;
}

ModuleHandle FaultyInstrument::LoadHookLibrary() {
    return Enter(Call::LoadHookLibrary) == Fault::None && hookPresent ? HOOK_MODULE : 0;
}

ProcHandle FaultyInstrument::GetHookEntry(ModuleHandle module) {
    return Enter(Call::GetHookEntry) == Fault::None && module == HOOK_MODULE ? HOOK_ENTRY : 0;
}

void FaultyInstrument::CallHookEntry(ProcHandle, SocketHandle s) {
    Enter(Call::CallHookEntry);
    watch.OnSocketCall(s, "the hook entry");
}

}  // namespace qx::test
