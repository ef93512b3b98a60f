#include "win/winsock_calls.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <string>

#include "loopback/tcp.h"
#include "win/program_folder.h"

namespace qx {

namespace {

constexpr const wchar_t* HOOK_LIBRARY_NAME = L"SockDll.dll";
constexpr const char* HOOK_ENTRY_NAME = "SetSockVal";

SOCKET ToSocket(SocketHandle s) {
    return static_cast<SOCKET>(s);
}

}  // namespace

int WinsockCalls::WSAStartup(std::uint16_t version) {
    WSADATA data{};
    return ::WSAStartup(version, &data);
}

int WinsockCalls::WSACleanup() {
    return ::WSACleanup();
}

SocketHandle WinsockCalls::Socket(int family, int type, int protocol) {
    return static_cast<SocketHandle>(::socket(family, type, protocol));
}

int WinsockCalls::GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                             int& length) {
    if (length > static_cast<int>(value.size())) {
        length = static_cast<int>(value.size());
    }
    return ::getsockopt(ToSocket(s), level, option, reinterpret_cast<char*>(value.data()), &length);
}

int WinsockCalls::Connect(SocketHandle s, std::span<const std::uint8_t> address) {
    return ::connect(ToSocket(s), reinterpret_cast<const sockaddr*>(address.data()),
                     static_cast<int>(address.size()));
}

int WinsockCalls::Send(SocketHandle s, std::span<const std::uint8_t> bytes) {
    return ::send(ToSocket(s), reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
                  0);
}

int WinsockCalls::WaitReadable(SocketHandle s, std::uint32_t timeoutMs) {
    // The one select() wait on a Winsock socket, shared with the loopback emulation's TCP: 1, 0 or -1, which
    // is SOCKET_ERROR_RESULT.
    return TcpWaitReadable(static_cast<TcpSocket>(ToSocket(s)), timeoutMs);
}

int WinsockCalls::Recv(SocketHandle s, std::span<std::uint8_t> buffer) {
    return ::recv(ToSocket(s), reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
}

int WinsockCalls::Shutdown(SocketHandle s, int how) {
    return ::shutdown(ToSocket(s), how);
}

int WinsockCalls::CloseSocket(SocketHandle s) {
    return ::closesocket(ToSocket(s));
}

int WinsockCalls::WSAGetLastError() {
    return ::WSAGetLastError();
}

void WinsockCalls::Sleep(std::uint32_t ms) {
    ::Sleep(ms);
}

std::uint32_t WinsockCalls::TickCount() {
    return ::GetTickCount();
}

namespace {

// The thread's last error is also Winsock's: a hook library that is missing (the usual case) would leave 126
// there for whoever asks Winsock next. The lookups keep the caller's error as they found it.
class LastErrorKept {
  public:
    LastErrorKept() : saved_(::GetLastError()) {}
    ~LastErrorKept() { ::SetLastError(saved_); }
    LastErrorKept(const LastErrorKept&) = delete;
    LastErrorKept& operator=(const LastErrorKept&) = delete;

  private:
    DWORD saved_;
};

}  // namespace

ModuleHandle WinsockCalls::LoadHookLibrary() {
    const LastErrorKept kept;
    // A full path: the default search order would also try the current folder, where anyone could plant a
    // library that then runs inside the program.
    const std::wstring path = BesideProgram(HOOK_LIBRARY_NAME);
    if (path.empty()) {
        return 0;
    }
    return reinterpret_cast<ModuleHandle>(
        ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

ProcHandle WinsockCalls::GetHookEntry(ModuleHandle module) {
    const LastErrorKept kept;
    return reinterpret_cast<ProcHandle>(::GetProcAddress(reinterpret_cast<HMODULE>(module), HOOK_ENTRY_NAME));
}

void WinsockCalls::CallHookEntry(ProcHandle entry, SocketHandle s) {
    // The entry takes the SOCKET itself: a 32-bit value for the 32-bit program's hook library, a 64-bit one
    // for the 64-bit program's (a 64-bit SockDll.dll built for the 64-bit release).
    using HookEntry = int(WINAPI*)(SOCKET);
    reinterpret_cast<HookEntry>(entry)(s);
}

}  // namespace qx
