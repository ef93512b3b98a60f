// The USB seam under the USB IrDA dongles: finding the devices on the bus and the few transfers a dongle's
// protocol is made of (control, bulk and interrupt, each with a timeout). libusb-1.0 (posix/), WinUSB (win/)
// and the simulated chips of the tests implement it; a transfer's failure comes back as one of a few kinds,
// the platform's own code kept beside it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qx::irda {

// bmRequestType of the control transfers the dongles use.
inline constexpr std::uint8_t USB_VENDOR_DEVICE_OUT = 0x40;
inline constexpr std::uint8_t USB_VENDOR_DEVICE_IN = 0xC0;
inline constexpr std::uint8_t USB_CLASS_INTERFACE_IN = 0xA1;
inline constexpr std::uint8_t USB_ENDPOINT_IN = 0x80;
inline constexpr std::uint8_t USB_TRANSFER_BULK = 2;
inline constexpr std::uint8_t USB_TRANSFER_INTERRUPT = 3;

enum class UsbStatus {
    Ok,
    Timeout,  // the timeout ended the transfer; an IN transfer's length says what came before it
    Stall,    // the device refused the request or halted the endpoint
    Gone,     // the device left the bus
    Busy,     // another program holds the device or its interface (at open)
    Failed,   // anything else the platform reported
};

struct UsbResult {
    UsbStatus status = UsbStatus::Ok;
    std::size_t length = 0;       // bytes moved
    std::int32_t systemCode = 0;  // the platform's own code of a failure (libusb error, Windows error)
    bool Ok() const { return status == UsbStatus::Ok; }
};

inline UsbResult UsbDone(std::size_t length) {
    return {UsbStatus::Ok, length, 0};
}
inline UsbResult UsbFailure(UsbStatus status, std::int32_t systemCode = 0) {
    return {status, 0, systemCode};
}

struct UsbSetup {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
};

struct UsbEndpoint {
    std::uint8_t address = 0;  // with USB_ENDPOINT_IN for IN endpoints
    std::uint8_t type = 0;     // USB_TRANSFER_BULK, USB_TRANSFER_INTERRUPT
    std::uint16_t maxPacket = 0;
};

struct UsbInterface {
    std::uint8_t number = 0;
    std::uint8_t interfaceClass = 0;
    std::uint8_t interfaceSubClass = 0;
    std::vector<UsbEndpoint> endpoints;
};

// Whether this program can open a device it sees.
enum class UsbAccess {
    Reachable,
    NoDriver,      // Windows: the device is not bound to WinUSB
    NoPermission,  // Linux: its usbfs node is not open to this user
};

// A device on the bus as enumeration finds it.
struct UsbDeviceInfo {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string path;  // the platform's name for it, for messages and to open it again
    std::vector<UsbInterface> interfaces;
    UsbAccess access = UsbAccess::Reachable;
    std::int32_t systemCode = 0;  // the platform's code when it is not reachable
};

// One opened device with one claimed interface. A timeout of 0 asks for the least wait the platform has,
// never for no limit (which libusb and WinUSB would otherwise take it for).
class UsbDevice {
  public:
    virtual ~UsbDevice() = default;
    virtual UsbResult ControlOut(const UsbSetup& setup, std::span<const std::uint8_t> data,
                                 std::uint32_t timeoutMs) = 0;
    // Reads up to data.size() bytes; the result's length says how many came.
    virtual UsbResult ControlIn(const UsbSetup& setup, std::span<std::uint8_t> data,
                                std::uint32_t timeoutMs) = 0;
    virtual UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                              std::uint32_t timeoutMs) = 0;
    // A bulk OUT that the device takes as one frame, so it always ends in a short packet: when its length is
    // a multiple of the endpoint's packet size, a zero-length packet follows it (Linux's URB_ZERO_PACKET).
    // A plain BulkOut of such a length ends with a full packet, and a device that finds a frame's end by a
    // short packet waits for more.
    virtual UsbResult BulkOutFrame(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                                   std::uint32_t timeoutMs) = 0;
    // For every IN transfer: one that its timeout ends returns Timeout with the bytes that came before it
    // (libusb's `transferred`, WinUSB's count), so a caller can tell a transfer cut short from one the
    // device ended. A control IN hands no count on timeout on either platform: its length is then 0.
    virtual UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                             std::uint32_t timeoutMs) = 0;
    virtual UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                                  std::uint32_t timeoutMs) = 0;
    virtual UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                                   std::uint32_t timeoutMs) = 0;
    virtual UsbResult ClearHalt(std::uint8_t endpoint) = 0;
};

class UsbHost {
  public:
    virtual ~UsbHost() = default;
    // False when the platform's USB library could not start: the bus then looks empty, and is not.
    virtual bool Started() const { return true; }
    // The devices on the bus now (all of them; the caller picks the dongles).
    virtual std::vector<UsbDeviceInfo> Enumerate() = 0;
    // Opens `device` and claims interface `interfaceNumber`; nullptr with `failure` set when it cannot.
    virtual std::unique_ptr<UsbDevice> Open(const UsbDeviceInfo& device, std::uint8_t interfaceNumber,
                                            UsbResult& failure) = 0;
};

}  // namespace qx::irda
