#include "win/winsock_calls.h"

// clang-format off
#include <winsock2.h>
#include <af_irda.h>
#include <windows.h>
// clang-format on

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "app/mode_switch.h"
#include "link/irda_link.h"
#include "support/recording_host.h"
#include "win/program_folder.h"

namespace qx::test {
namespace {

namespace fs = std::filesystem;

TEST(WinsockRecords, LinkLayoutsAreThePlatforms) {
    EXPECT_EQ(sizeof(SOCKADDR_IRDA), ADDRESS_RECORD_SIZE);
    EXPECT_EQ(offsetof(SOCKADDR_IRDA, irdaAddressFamily), ADDRESS_FAMILY_OFFSET);
    EXPECT_EQ(offsetof(SOCKADDR_IRDA, irdaDeviceID), ADDRESS_DEVICE_ID_OFFSET);
    EXPECT_EQ(offsetof(SOCKADDR_IRDA, irdaServiceName), ADDRESS_SERVICE_NAME_OFFSET);
    EXPECT_EQ(sizeof(SOCKADDR_IRDA::irdaServiceName), ADDRESS_SERVICE_NAME_SIZE);

    EXPECT_EQ(sizeof(IRDA_DEVICE_INFO), DEVICE_RECORD_SIZE);
    EXPECT_EQ(offsetof(IRDA_DEVICE_INFO, irdaDeviceName), DEVICE_NAME_OFFSET);
    EXPECT_EQ(sizeof(IRDA_DEVICE_INFO::irdaDeviceName), DEVICE_NAME_SIZE);
    EXPECT_EQ(offsetof(DEVICELIST, Device), DEVICE_LIST_HEADER_SIZE);
    EXPECT_EQ(sizeof(DEVICELIST::numDevice), DEVICE_LIST_HEADER_SIZE);

    EXPECT_EQ(AF_IRDA, AF_IRDA_FAMILY);
    EXPECT_EQ(SOL_IRLMP, SOL_IRLMP_LEVEL);
    EXPECT_EQ(IRLMP_ENUMDEVICES, IRLMP_ENUMDEVICES_OPTION);
    EXPECT_EQ(SD_SEND, SD_SEND_DIRECTION);
    EXPECT_EQ(INVALID_SOCKET, static_cast<SOCKET>(INVALID_SOCKET_HANDLE));
    EXPECT_EQ(WSAENOTSOCK, WSAENOTSOCK_CODE);
    EXPECT_EQ(WSAETIMEDOUT, WSAETIMEDOUT_CODE);
    EXPECT_EQ(WSAEDISCON, WSAEDISCON_CODE);
}

// This machine has no IrDA: the socket cannot be created, and that reaches the user at discovery.
TEST(WinsockWithoutIrda, RunEndsInTheFailureBoxWithTheDiscoveryError) {
    WinsockCalls calls;
    IrdaLink link(calls);
    MessageSlots slots;
    slots[Slot::Searching] = "Searching devices";
    slots[Slot::SearchError] = "Searching devices error";
    slots[Slot::WriteFailed] = "Error Data are't writen";
    RecordingHost host;

    AddressRecord address{};
    EXPECT_EQ(link.StartLink(address), LINK_STARTED);
    EXPECT_EQ(link.Handle(), INVALID_SOCKET_HANDLE);
    DeviceList list{};
    const int discovery = link.EnumerateDevices(list);
    EXPECT_NE(discovery, LINK_OK);
    EXPECT_NE(discovery, ENUM_NO_DEVICES);
    EXPECT_NE(link.CloseLink(), LINK_OK) << "an invalid socket cannot be closed";
    link.ResetHandle();
    calls.WSACleanup();

    EXPECT_FALSE(SetSearchMode(true, link, slots, host));
    ASSERT_EQ(host.statuses.size(), 3u);
    EXPECT_EQ(host.statuses[0], "Searching devices");
    EXPECT_EQ(host.statuses[1], "Searching devices error" + std::to_string(discovery));
    EXPECT_EQ(host.statuses[2], "");
    ASSERT_EQ(host.results.size(), 1u);
    EXPECT_EQ(host.results[0].text, "Error Data are't writen");
    EXPECT_EQ(host.results[0].icon, ResultIcon::Error);
}

fs::path ProgramFolder() {
    return fs::path(BesideProgram(L""));
}

// Puts the stand-in hook library at `where` under the name the program looks for, and removes it again.
class PlacedHook {
  public:
    explicit PlacedHook(const fs::path& folder) : path_(folder / L"SockDll.dll") {
        fs::copy_file(ProgramFolder() / QX_HOOK_FIXTURE, path_, fs::copy_options::overwrite_existing);
    }
    ~PlacedHook() {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }

  private:
    fs::path path_;
};

TEST(WinsockHook, LoadedFromTheProgramsFolderAndGivenTheHandle) {
    PlacedHook hook(ProgramFolder());
    WinsockCalls calls;
    const ModuleHandle module = calls.LoadHookLibrary();
    ASSERT_NE(module, 0u);
    const ProcHandle entry = calls.GetHookEntry(module);
    ASSERT_NE(entry, 0u);
    // The whole handle arrives, at the platform's width: in the 64-bit program the high half too.
    const SocketHandle handle = sizeof(SocketHandle) == 8
                                    ? static_cast<SocketHandle>(0x1234'5678'0000'4321ull)
                                    : SocketHandle{0x4321};
    calls.CallHookEntry(entry, handle);
    // (Through void (*)() first: FARPROC to another function type warns on x86_64.)
    const auto last = reinterpret_cast<std::uintptr_t(WINAPI*)()>(
        reinterpret_cast<void (*)()>(::GetProcAddress(reinterpret_cast<HMODULE>(module), "LastSockVal")));
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last(), handle);
    ::FreeLibrary(
        reinterpret_cast<HMODULE>(module));  // the program never unloads it; the test must, to clean up
}

TEST(WinsockHook, LookingForTheLibraryKeepsTheCallersLastError) {
    struct Lookup {
        const char* name;
        bool placed;  // the library is in the program's folder
    };
    for (const Lookup& c : {Lookup{"absent", false}, Lookup{"present", true}}) {
        SCOPED_TRACE(c.name);
        std::optional<PlacedHook> hook;
        if (c.placed) {
            hook.emplace(ProgramFolder());
        }
        WinsockCalls calls;
        ::WSASetLastError(WSAEWOULDBLOCK);
        const ModuleHandle module = calls.LoadHookLibrary();
        EXPECT_EQ(module != 0, c.placed);
        EXPECT_EQ(calls.WSAGetLastError(), WSAEWOULDBLOCK);
        if (module != 0) {
            // An entry that is not there fails the lookup, which must not show either.
            ::WSASetLastError(WSAEWOULDBLOCK);
            EXPECT_NE(calls.GetHookEntry(module), 0u);
            EXPECT_EQ(calls.WSAGetLastError(), WSAEWOULDBLOCK);
            ::FreeLibrary(reinterpret_cast<HMODULE>(module));
        }
    }
}

TEST(WinsockHook, NotLoadedFromTheCurrentFolder) {
    const fs::path planted = fs::temp_directory_path() / L"qx_planted_hook";
    fs::create_directories(planted);
    const fs::path before = fs::current_path();
    {
        PlacedHook hook(planted);
        fs::current_path(planted);
        WinsockCalls calls;
        EXPECT_EQ(calls.LoadHookLibrary(), 0u);
        fs::current_path(before);
    }
    fs::remove_all(planted);
}

// The calls IrDA uses are the same Winsock calls for any stream socket: on a connected TCP pair they run for
// real here, where Wine has no IrDA.
class TcpPair {
  public:
    TcpPair() {
        WSADATA data{};
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        address_.sin_family = AF_INET;
        address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof address_;
        ::bind(listener_, reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address_), &size);
    }
    ~TcpPair() {
        ::closesocket(peer_);
        ::closesocket(listener_);
        if (started_) {
            ::WSACleanup();
        }
    }
    TcpPair(const TcpPair&) = delete;
    TcpPair& operator=(const TcpPair&) = delete;

    std::span<const std::uint8_t> Address() const {
        return {reinterpret_cast<const std::uint8_t*>(&address_), sizeof address_};
    }
    SOCKET Accept() { return peer_ = ::accept(listener_, nullptr, nullptr); }

  private:
    bool started_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
    sockaddr_in address_{};
};

TEST(WinsockOnAConnectedPair, ConnectSendWaitReceiveAndShutdownRunForReal) {
    TcpPair pair;
    WinsockCalls calls;
    ASSERT_EQ(calls.WSAStartup(WINSOCK_VERSION_1_1), 0);
    const SocketHandle s = calls.Socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, INVALID_SOCKET_HANDLE);
    ASSERT_EQ(calls.Connect(s, pair.Address()), 0) << calls.WSAGetLastError();
    const SOCKET peer = pair.Accept();
    ASSERT_NE(peer, INVALID_SOCKET);

    const std::array<std::uint8_t, 5> request = {0x83, 0x00, 0x05, 0xB1, 0xD3};
    EXPECT_EQ(calls.Send(s, request), 5);
    std::array<char, 5> atPeer{};
    // Gathered by hand: MSG_WAITALL is newer than Windows XP, which the headers are set to.
    int got = 0;
    while (got < 5) {
        const int n = ::recv(peer, atPeer.data() + got, 5 - got, 0);
        if (n <= 0) {
            break;
        }
        got += n;
    }
    EXPECT_EQ(got, 5);
    EXPECT_EQ(std::memcmp(atPeer.data(), request.data(), 5), 0);

    EXPECT_EQ(calls.WaitReadable(s, 0), 0) << "nothing has come yet";
    const char reply[] = {'\xA0', '\x00', '\x03'};
    ASSERT_EQ(::send(peer, reply, 3, 0), 3);
    EXPECT_EQ(calls.WaitReadable(s, 5000), 1);
    std::array<std::uint8_t, 8> received{};
    EXPECT_EQ(calls.Recv(s, received), 3);
    EXPECT_THAT(std::span(received).first(3), ::testing::ElementsAre(0xA0, 0x00, 0x03));

    // After the shutdown the peer reads the end of the stream; its own end then shows as readable, 0 bytes.
    EXPECT_EQ(calls.Shutdown(s, SD_SEND_DIRECTION), 0);
    EXPECT_EQ(::recv(peer, atPeer.data(), 5, 0), 0);
    ::shutdown(peer, SD_SEND);
    EXPECT_EQ(calls.WaitReadable(s, 5000), 1);
    EXPECT_EQ(calls.Recv(s, received), 0);
    EXPECT_EQ(calls.CloseSocket(s), 0);
    EXPECT_EQ(calls.Send(s, request), SOCKET_ERROR_RESULT);
    EXPECT_EQ(calls.WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(calls.WSACleanup(), 0);
}

}  // namespace
}  // namespace qx::test
