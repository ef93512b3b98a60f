#include "link/win_winsock_calls.h"

// clang-format off
#include <winsock2.h>
#include <af_irda.h>
#include <windows.h>
// clang-format on

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>

#include "app/mode_switch.h"
#include "link/irda_link.h"
#include "support/recording_host.h"

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

}  // namespace
}  // namespace qx::test
