// The WinUSB binding under Wine, as far as Wine goes: the libraries load at run time or the bus is empty,
// a Wine prefix offers no USB dongle (so "USB" fails as no dongle, not as anything else), opening a device
// that is not there fails as gone, and WinUSB's error codes and the device paths read as they should. Real
// dongles bound to WinUSB cannot be reached here.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "irda/serial_irda_calls.h"
#include "irda/usb_dongle.h"
#include "win/winsock_calls.h"
#include "win/winusb_host.h"

namespace {

TEST(WinUsbHost, AWinePrefixHasNoDongle) {
    qx::WinUsbHost host;
    const auto dongles = qx::irda::FindDongles(host);
    EXPECT_TRUE(dongles.empty());
    if (!host.Loaded()) {
        EXPECT_TRUE(host.Enumerate().empty()) << "without WinUSB the bus looks empty";
    }
    qx::WinsockCalls winsock;
    qx::irda::PlatformClock clock(winsock);
    qx::irda::UsbSerialPort port(host, clock);
    EXPECT_FALSE(port.Open("USB"));
    EXPECT_EQ(port.LastError(), qx::irda::USB_ERROR_NO_DONGLE);
    EXPECT_FALSE(port.Open("USB:066F:4200"));
    EXPECT_EQ(port.LastError(), qx::irda::USB_ERROR_NO_DONGLE);
    const qx::irda::PortProbe probe = qx::irda::ProbeUsbPort("USB", host, clock);
    EXPECT_EQ(probe.openError, qx::irda::USB_ERROR_NO_DONGLE);
    EXPECT_TRUE(probe.adapter.empty());
}

TEST(WinUsbHost, OpeningADeviceThatIsNotThereFails) {
    qx::WinUsbHost host;
    qx::irda::UsbDeviceInfo device;
    device.vendor = 0x066F;
    device.product = 0x4200;
    device.path = "\\\\?\\usb#vid_066f&pid_4200#0123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    qx::irda::UsbResult failure;
    EXPECT_EQ(host.Open(device, 0, failure), nullptr);
    EXPECT_FALSE(failure.Ok());
    EXPECT_NE(failure.systemCode, 0);
}

TEST(WinUsbHost, ErrorCodesAndDevicePaths) {
    EXPECT_EQ(qx::WinUsbFailure(ERROR_SEM_TIMEOUT).status, qx::irda::UsbStatus::Timeout);
    EXPECT_EQ(qx::WinUsbFailure(ERROR_GEN_FAILURE).status, qx::irda::UsbStatus::Stall);
    EXPECT_EQ(qx::WinUsbFailure(ERROR_DEVICE_NOT_CONNECTED).status, qx::irda::UsbStatus::Gone);
    EXPECT_EQ(qx::WinUsbFailure(ERROR_BAD_COMMAND).status, qx::irda::UsbStatus::Gone);
    EXPECT_EQ(qx::WinUsbFailure(ERROR_ACCESS_DENIED).status, qx::irda::UsbStatus::Failed);
    EXPECT_EQ(qx::WinUsbFailure(ERROR_ACCESS_DENIED).systemCode, ERROR_ACCESS_DENIED);

    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    ASSERT_TRUE(qx::VendorProductOfPath(
        L"\\\\?\\USB#VID_9710&PID_7780#5&1a2b#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", vendor, product));
    EXPECT_EQ(vendor, 0x9710);
    EXPECT_EQ(product, 0x7780);
    EXPECT_FALSE(qx::VendorProductOfPath(L"\\\\?\\usb#vid_97x0&pid_7780#", vendor, product));
    EXPECT_FALSE(qx::VendorProductOfPath(L"\\\\?\\root#system#0000", vendor, product));
}

// What an unbound device's compatible ids say of its interface, and what that makes of the device.
TEST(WinUsbHost, InterfaceClassOfCompatibleIds) {
    struct Case {
        std::wstring ids;  // a multi-string: each id ends with a NUL, the list with one more
        bool found;
        std::uint8_t interfaceClass, subClass;
    };
    using namespace std::string_literals;
    for (const Case& c : {
             Case{L"USB\\Class_FE&SubClass_02&Prot_00\0USB\\Class_FE&SubClass_02\0USB\\Class_FE\0\0"s, true,
                  0xFE, 0x02},
             Case{L"usb\\class_fe&subclass_02\0\0"s, true, 0xFE, 0x02},
             Case{L"USB\\Class_FE&SubClass_01&Prot_02\0\0"s, true, 0xFE, 0x01},  // DFU
             Case{L"USB\\Class_FF&SubClass_FF&Prot_FF\0USB\\Class_FF\0\0"s, true, 0xFF, 0xFF},
             Case{L"USB\\DevClass_FE&SubClass_02\0USB\\Class_03&SubClass_01\0\0"s, true, 0x03, 0x01},
             Case{L"USB\\COMPOSITE\0USB\\DevClass_00&SubClass_00\0\0"s, false, 0, 0},
             Case{L"USB\\Class_FE\0\0"s, false, 0, 0},
             Case{L"USB\\Class_F&SubClass_02\0\0"s, false, 0, 0},
             Case{L"USB\\Class_FE&SubClass_02x\0\0"s, false, 0, 0},
             Case{L"USB\\Class_FE&SubClass_0"s, false, 0, 0},  // cut short, no ending
             Case{L"\0\0"s, false, 0, 0},
             Case{L""s, false, 0, 0},
         }) {
        SCOPED_TRACE(testing::Message() << c.ids.size() << " characters, found " << c.found);
        const auto usbInterface = qx::InterfaceOfCompatibleIds(c.ids.data(), c.ids.size());
        ASSERT_EQ(usbInterface.has_value(), c.found);
        if (c.found) {
            EXPECT_EQ(usbInterface->interfaceClass, c.interfaceClass);
            EXPECT_EQ(usbInterface->interfaceSubClass, c.subClass);
        }
    }

    // A bridge-class dongle of no known id that WinUSB does not hold is a dongle not bound to WinUSB.
    const std::wstring bridge = L"USB\\Class_FE&SubClass_02&Prot_00\0USB\\Class_FE\0\0"s;
    qx::irda::UsbDeviceInfo unbound;
    unbound.vendor = 0x1234;
    unbound.product = 0x5678;
    unbound.access = qx::irda::UsbAccess::NoDriver;
    unbound.interfaces.push_back(*qx::InterfaceOfCompatibleIds(bridge.data(), bridge.size()));
    const auto match = qx::irda::MatchDongle(unbound);
    ASSERT_TRUE(match.has_value());
    EXPECT_EQ(match->family, qx::irda::DongleFamily::Bridge);
}

}  // namespace
