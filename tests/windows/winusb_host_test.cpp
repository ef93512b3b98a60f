// The WinUSB binding under Wine, as far as Wine goes: the libraries load at run time or the bus is empty,
// a Wine prefix offers no USB dongle (so "USB" fails as no dongle, not as anything else), opening a device
// that is not there fails as gone, and WinUSB's error codes and the device paths read as they should. Real
// dongles bound to WinUSB cannot be reached here.
#include <windows.h>

#include <gtest/gtest.h>

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

}  // namespace
