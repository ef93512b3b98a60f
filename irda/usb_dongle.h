// The USB IrDA dongle families the stack drives itself, and what they have in common: each family is one file
// that speaks its chip's USB protocol through the USB seam. The chips that carry SIR bytes (STIr4200,
// MCS7780, the KingSun KS-959, KingSun Dazzle and KingSun/DonShine) take and give them here, so IrLAP reaches
// them through SIR framing as it reaches a serial adapter; the USB IrDA Bridge class frames by itself and is
// a frame medium of its own below IrLAP (FrameMedium).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "irda/irda_medium.h"
#include "irda/serial_port.h"
#include "irda/usb_seam.h"

namespace qx::irda {

enum class DongleFamily { Bridge, Stir4200, Mcs7780, Ks959, KsDazzle, KingSun };

// A vendor and product id of a family, from its Linux driver's id table.
struct DongleId {
    std::uint16_t vendor;
    std::uint16_t product;
    DongleFamily family;
};
std::span<const DongleId> KnownDongleIds();

// Interface class and subclass of the USB IrDA Bridge class: application specific, IrDA bridge.
inline constexpr std::uint8_t USB_CLASS_APPLICATION = 0xFE;
inline constexpr std::uint8_t USB_SUBCLASS_IRDA_BRIDGE = 0x02;

// The name a family goes by in the caption and the ports list: "IrDA Bridge", "STIr4200", "MCS7780",
// "KS-959", "KingSun Dazzle", "KingSun/DonShine".
std::string_view FamilyName(DongleFamily family);

// Which family drives `device`, and through which interface; nothing for a device that is no known dongle.
struct DongleMatch {
    DongleFamily family;
    std::uint8_t interfaceNumber = 0;
};
std::optional<DongleMatch> MatchDongle(const UsbDeviceInfo& device);

// One family's chip, opened.
class UsbDongle {
  public:
    virtual ~UsbDongle() = default;
    virtual DongleFamily Family() const = 0;
    // The family's open sequence; leaves the dongle at 9600 baud, ready to send and receive.
    virtual UsbResult Start() = 0;
    // Sets the line speed (SIR rates; the stack stays at 9600 today).
    virtual UsbResult SetSpeed(std::uint32_t baud) = 0;
    // One SIR-wrapped frame (extra BOFs, BOF, escaped frame and FCS, EOF) onto the light.
    virtual UsbResult Send(std::span<const std::uint8_t> wrapped) = 0;
    // Appends the SIR bytes that came off the light within `timeoutMs` to `bytes`; Ok with none appended
    // when nothing came.
    virtual UsbResult Receive(std::vector<std::uint8_t>& bytes, std::uint32_t timeoutMs) = 0;
    // A dongle that frames for itself is a frame medium, and Send and Receive fail; nullptr for one that
    // carries SIR bytes.
    virtual IrdaMedium* FrameMedium() { return nullptr; }
};

// The family's driver for `device` (which must outlive it); `clock` paces the waits some chips need.
std::unique_ptr<UsbDongle> MakeDongle(const DongleMatch& match, const UsbInterface& usbInterface,
                                      UsbDevice& device, StackClock& clock);

// Port values that choose a dongle: "USB" (the first dongle found) or "USB:VVVV:PPPP" (that vendor and
// product, four hex digits each), in any letter case.
inline constexpr std::string_view USB_PORT_PREFIX = "USB";
struct UsbPortChoice {
    std::optional<std::uint16_t> vendor;  // both set, or both empty
    std::optional<std::uint16_t> product;
};
std::optional<UsbPortChoice> ParseUsbPort(std::string_view text);
// "USB" or "USB:VVVV:PPPP" (upper-case hex), as ParseUsbPort reads it.
std::string UsbPortName(const UsbPortChoice& choice);

// Windows error codes a dongle's open and transfers fail with (the stack reports them as a port's).
inline constexpr std::uint32_t USB_ERROR_NO_DONGLE = PORT_ERROR_FILE_NOT_FOUND;  // no supported dongle
inline constexpr std::uint32_t USB_ERROR_NO_PERMISSION = PORT_ERROR_ACCESS_DENIED;
inline constexpr std::uint32_t USB_ERROR_NOT_WINUSB = 50;   // ERROR_NOT_SUPPORTED: not bound to WinUSB
inline constexpr std::uint32_t USB_ERROR_UNPLUGGED = 1167;  // ERROR_DEVICE_NOT_CONNECTED
inline constexpr std::uint32_t USB_ERROR_DEVICE = PORT_ERROR_GEN_FAILURE;  // stall, garbage, refused open
inline constexpr std::uint32_t USB_ERROR_IN_USE = PORT_ERROR_SHARING_VIOLATION;  // held by another program
inline constexpr std::uint32_t USB_ERROR_LIBRARY =
    1114;  // ERROR_DLL_INIT_FAILED: the USB library did not start

// The Windows error code for a failed transfer.
std::uint32_t UsbErrorCode(const UsbResult& result);

// A dongle found on the bus, for the ports list.
struct FoundDongle {
    UsbDeviceInfo device;
    DongleMatch match;
};
std::vector<FoundDongle> FindDongles(UsbHost& host);
// The dongle a port value picks among those found: the first reachable one that matches, else the first one
// that matches but cannot be reached (so that its failure can be named), else nothing.
const FoundDongle* PickDongle(const std::vector<FoundDongle>& dongles, const UsbPortChoice& choice);

class OutTransferWatch;

// A USB dongle behind the serial-port seam, so that the stack takes it for a COM port with a serial adapter.
// Open takes a USB port value (ParseUsbPort), finds the dongle, opens it and runs its family's open sequence.
class UsbSerialPort : public SerialPort {
  public:
    UsbSerialPort(UsbHost& host, StackClock& clock);
    ~UsbSerialPort() override;
    UsbSerialPort(const UsbSerialPort&) = delete;
    UsbSerialPort& operator=(const UsbSerialPort&) = delete;

    bool Open(const std::string& name) override;
    void Close() override;
    bool IsOpen() const override { return dongle_ != nullptr; }
    bool Write(std::span<const std::uint8_t> bytes) override;
    bool LastWriteHandedOver() const override { return handedOver_; }
    int Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override;
    std::uint32_t LastError() const override { return lastError_; }
    IrdaMedium* FrameMedium() override { return dongle_ != nullptr ? dongle_->FrameMedium() : nullptr; }

    // The family of the dongle opened last (also after it was closed again).
    std::optional<DongleFamily> Family() const { return family_; }

  private:
    bool Fail(std::uint32_t error);
    bool FailTransfer(const UsbResult& result);

    UsbHost& host_;
    StackClock& clock_;
    std::unique_ptr<UsbDevice> device_;
    std::unique_ptr<OutTransferWatch> watch_;  // device_ as the family's driver uses it
    std::unique_ptr<UsbDongle> dongle_;
    std::optional<DongleFamily> family_;
    std::vector<std::uint8_t> pending_;  // received, not read yet
    std::uint32_t lastError_ = 0;
    bool handedOver_ = false;
};

}  // namespace qx::irda
