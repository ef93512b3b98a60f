#include "link/traced_calls.h"

#include "link/irda_link.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace qx {
namespace {

std::string HandleText(std::uintptr_t handle) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(handle));
    return text;
}

}  // namespace

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (const std::uint8_t b : bytes) {
        char part[4];
        std::snprintf(part, sizeof part, "%s%02X", out.empty() ? "" : " ", b);
        out += part;
    }
    return out;
}

TracedCalls::TracedCalls(SocketCalls& inner, Sink sink, Clock clock)
    : inner_(inner), sink_(std::move(sink)), clock_(std::move(clock)) {}

void TracedCalls::Line(const std::string& text) {
    if (!sink_) {
        return;
    }
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "%7u ms  ", static_cast<unsigned>(clock_()));
    sink_(stamp + text);
}

std::string TracedCalls::Outcome(int result, int& error) {
    error = 0;
    if (result != SOCKET_ERROR_RESULT) {
        return std::to_string(result);
    }
    error = inner_.WSAGetLastError();
    return std::to_string(result) + ", error " + std::to_string(error);
}

void TracedCalls::Gather(bool sent, std::span<const std::uint8_t> bytes) {
    auto& pending = gathering_[sent ? 1 : 0];
    pending.insert(pending.end(), bytes.begin(), bytes.end());
    // The frame's own length field (bytes 1-2, high byte first) says where it ends, however the bytes were
    // cut into calls.
    while (pending.size() >= FRAME_HEADER_SIZE) {
        const std::size_t length = FrameLength(pending);
        if (pending.size() < length) {
            break;
        }
        Line(std::string(sent ? "frame sent: " : "frame received: ") +
             HexBytes(std::span(pending).first(length)));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
    }
}

void TracedCalls::FlushPartial() {
    for (const bool sent : {true, false}) {
        auto& pending = gathering_[sent ? 1 : 0];
        if (!pending.empty()) {
            Line(std::string(sent ? "incomplete frame sent: " : "incomplete frame received: ") +
                 HexBytes(pending));
            pending.clear();
        }
    }
}

int TracedCalls::WSAStartup(std::uint16_t version) {
    const int result = inner_.WSAStartup(version);
    char text[64];
    std::snprintf(text, sizeof text, "WSAStartup(0x%04X) -> %d", version, result);
    Line(text);
    return result;
}

int TracedCalls::WSACleanup() {
    const int result = inner_.WSACleanup();
    int error = 0;
    Line("WSACleanup() -> " + Outcome(result, error));
    return result;
}

SocketHandle TracedCalls::Socket(int family, int type, int protocol) {
    const SocketHandle s = inner_.Socket(family, type, protocol);
    std::string text = "socket(" + std::to_string(family) + ", " + std::to_string(type) + ", " +
                       std::to_string(protocol) + ") -> ";
    if (s == INVALID_SOCKET_HANDLE) {
        text += "INVALID_SOCKET";
    } else {
        text += HandleText(s);
    }
    Line(text);
    return s;
}

int TracedCalls::GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                            int& length) {
    const int lengthIn = length;
    const int result = inner_.GetSockOpt(s, level, option, value, length);
    int error = 0;
    const std::string outcome = Outcome(result, error);
    std::string text = "getsockopt(" + HandleText(s) + ", " + std::to_string(level) + ", " +
                       std::to_string(option) + ", " + std::to_string(lengthIn) + " bytes) -> " + outcome;
    if (result != SOCKET_ERROR_RESULT && value.size() >= DEVICE_LIST_HEADER_SIZE) {
        text += ", " + std::to_string(ReadLittle32(value)) + " device(s)";
    }
    Line(text);
    return result;
}

int TracedCalls::Connect(SocketHandle s, std::span<const std::uint8_t> address) {
    const int result = inner_.Connect(s, address);
    int error = 0;
    Line("connect(" + HandleText(s) + ", " + HexBytes(address) + ") -> " + Outcome(result, error));
    if (result != SOCKET_ERROR_RESULT) {
        gathering_[0].clear();
        gathering_[1].clear();
    }
    return result;
}

int TracedCalls::Send(SocketHandle s, std::span<const std::uint8_t> bytes) {
    const int result = inner_.Send(s, bytes);
    int error = 0;
    Line("send(" + HandleText(s) + ", " + std::to_string(bytes.size()) + " bytes) -> " +
         Outcome(result, error));
    if (result > 0) {
        Gather(true, bytes.first(std::min(bytes.size(), static_cast<std::size_t>(result))));
    }
    return result;
}

int TracedCalls::WaitReadable(SocketHandle s, std::uint32_t timeoutMs) {
    const int result = inner_.WaitReadable(s, timeoutMs);
    int error = 0;
    Line("select(" + HandleText(s) + ", " + std::to_string(timeoutMs) + " ms) -> " + Outcome(result, error));
    return result;
}

int TracedCalls::Recv(SocketHandle s, std::span<std::uint8_t> buffer) {
    const int result = inner_.Recv(s, buffer);
    int error = 0;
    std::string text = "recv(" + HandleText(s) + ", " + std::to_string(buffer.size()) + " bytes) -> " +
                       Outcome(result, error);
    const auto got = buffer.first(result > 0 ? std::min(buffer.size(), static_cast<std::size_t>(result)) : 0);
    if (!got.empty()) {
        text += ": " + HexBytes(got);
    }
    Line(text);
    Gather(false, got);
    return result;
}

int TracedCalls::Shutdown(SocketHandle s, int how) {
    const int result = inner_.Shutdown(s, how);
    int error = 0;
    Line("shutdown(" + HandleText(s) + ", " + std::to_string(how) + ") -> " + Outcome(result, error));
    return result;
}

int TracedCalls::CloseSocket(SocketHandle s) {
    const int result = inner_.CloseSocket(s);
    int error = 0;
    Line("closesocket(" + HandleText(s) + ") -> " + Outcome(result, error));
    FlushPartial();
    return result;
}

int TracedCalls::WSAGetLastError() {
    const int result = inner_.WSAGetLastError();
    Line("WSAGetLastError() -> " + std::to_string(result));
    return result;
}

void TracedCalls::Sleep(std::uint32_t ms) {
    Line("Sleep(" + std::to_string(ms) + ")");
    inner_.Sleep(ms);
}

std::uint32_t TracedCalls::TickCount() {
    const std::uint32_t result = inner_.TickCount();
    Line("GetTickCount() -> " + std::to_string(result));
    return result;
}

ModuleHandle TracedCalls::LoadHookLibrary() {
    const ModuleHandle result = inner_.LoadHookLibrary();
    Line("LoadLibrary(SockDll.dll) -> " + (result != 0 ? HandleText(result) : std::string("not loaded")));
    return result;
}

ProcHandle TracedCalls::GetHookEntry(ModuleHandle module) {
    const ProcHandle result = inner_.GetHookEntry(module);
    Line("GetProcAddress(" + HandleText(module) + ", SetSockVal) -> " +
         (result != 0 ? HandleText(result) : std::string("not found")));
    return result;
}

void TracedCalls::CallHookEntry(ProcHandle entry, SocketHandle s) {
    Line("SetSockVal(" + HandleText(s) + ")");
    inner_.CallHookEntry(entry, s);
}

}  // namespace qx
