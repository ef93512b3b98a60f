// Simulated USB IrDA dongles: each chip behind the USB seam as its Linux driver shows it behaves (registers,
// speed setting, transfer headers, receive buffering, a stall for a request it does not know), with its
// infrared side a serial line that carries the SIR bytes it sends and hears. A chip can be unplugged, after
// which every transfer finds it gone. SimUsbHost puts chips on a simulated bus.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "irda/serial_port.h"
#include "irda/sir_framing.h"
#include "irda/usb_dongle.h"
#include "irda/usb_seam.h"

namespace dongle_sim {

using qx::irda::UsbResult;
using qx::irda::UsbSetup;

// What every simulated chip shares: its light side, the unplugging, and the transfers it does not support.
class SimChip : public qx::irda::UsbDevice {
  public:
    // `light` must outlive the chip.
    explicit SimChip(qx::irda::SerialPort& light) : light_(light) {}
    void Unplug() { gone_ = true; }
    bool Gone() const { return gone_; }
    // Frames the chip put on the light, as SIR bytes, for the tests that look.
    std::size_t BytesSent() const { return bytesSent_; }
    // Other stations' traffic that the chip hears from now on for `ms` (UINT32_MAX: for good), for the chips
    // that report a busy medium to the host; false for a chip that has no such report.
    virtual bool HearTraffic(std::uint32_t) { return false; }
    // The chip's transmit FIFO stops draining and its count grows until the host clears it (a confused
    // queue, which stir4200.c clears); false for a chip without such a FIFO.
    virtual bool ConfuseFifo() { return false; }
    // When the chip last told the host the medium was busy, for the chips that do.
    virtual std::optional<std::chrono::steady_clock::time_point> LastBusyReport() const {
        return std::nullopt;
    }
    // When the chip first put the host's bytes on the light.
    std::optional<std::chrono::steady_clock::time_point> FirstSentAt() const { return firstSent_; }
    // A chip slow to answer (the KS-959, the MCS7780 and the IrDA Bridge here): each packet of an IN
    // transfer's data goes `ms` after the one before it, so a host's timeout can end a transfer part way. A
    // packet that did not go stays with the chip for the next transfer. 0, the default, answers at once.
    void AnswerLate(std::uint32_t ms) { lateMs_ = ms; }

    // Every transfer a chip does not take stalls (fails as gone once unplugged).
    UsbResult ControlOut(const UsbSetup& setup, std::span<const std::uint8_t> data,
                         std::uint32_t timeoutMs) override;
    UsbResult ControlIn(const UsbSetup& setup, std::span<std::uint8_t> data,
                        std::uint32_t timeoutMs) override;
    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                      std::uint32_t timeoutMs) override;
    // A chip that does not find frames by short packets takes it as any bulk OUT.
    UsbResult BulkOutFrame(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override;
    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override;
    UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) override;
    UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override;
    UsbResult ClearHalt(std::uint8_t endpoint) override;

    virtual qx::irda::UsbDeviceInfo Info() const = 0;

  protected:
    UsbResult Unavailable() const;  // Gone when unplugged, else a stall
    // For a late chip: an answer starts now; PacketDue waits until its next packet may go, false when
    // `deadline` (the host's timeout) comes first. A chip that is not late never waits.
    void StartAnswer();
    bool PacketDue(std::chrono::steady_clock::time_point deadline);
    void Emit(std::span<const std::uint8_t> sirBytes);
    // Bytes the light delivered within `timeoutMs` (0 when none).
    std::size_t Hear(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs);
    virtual bool HasEndpoint(std::uint8_t endpoint) const = 0;

    bool gone_ = false;
    std::uint32_t lateMs_ = 0;
    std::chrono::steady_clock::time_point lastPacket_{};

  private:
    qx::irda::SerialPort& light_;
    std::size_t bytesSent_ = 0;
    std::optional<std::chrono::steady_clock::time_point> firstSent_;
};

std::unique_ptr<SimChip> MakeBridgeChip(qx::irda::SerialPort& light);
std::unique_ptr<SimChip> MakeStir4200Chip(qx::irda::SerialPort& light);
std::unique_ptr<SimChip> MakeMcs7780Chip(qx::irda::SerialPort& light);
std::unique_ptr<SimChip> MakeKs959Chip(qx::irda::SerialPort& light);
std::unique_ptr<SimChip> MakeKsDazzleChip(qx::irda::SerialPort& light);
std::unique_ptr<SimChip> MakeKingSunChip(qx::irda::SerialPort& light);
std::unique_ptr<SimChip> MakeChip(qx::irda::DongleFamily family, qx::irda::SerialPort& light);

// What the platform does to a transfer from a program before it reaches the device. usbfs (Linux, under
// libusb) refuses a control request that is not vendor-type when it names an interface that does not exist,
// or an endpoint of none, as the wIndex's low byte says (devio.c's check_ctrlrecip); WinUSB puts the
// handle's interface number in the low byte of an interface request's wIndex (WinUsb_ControlTransfer). Both
// take bulk and interrupt transfers only to an endpoint of the claimed interface.
enum class UsbRules { Usbfs, WinUsb };
// The setup packet as it goes on the wire, or nothing when the platform refuses it.
std::optional<UsbSetup> SetupOnTheWire(UsbRules rules, const qx::irda::UsbDeviceInfo& device,
                                       std::uint8_t claimed, UsbSetup setup);
// Whether `endpoint` belongs to the claimed interface.
bool ClaimedEndpoint(const qx::irda::UsbDeviceInfo& device, std::uint8_t claimed, std::uint8_t endpoint);
// The failure of a transfer the platform refused (libusb's I/O error for usbfs's refusal).
UsbResult Refused();

// A bus of simulated chips, and devices that are no dongle or that this program may not open. Transfers
// pass the platform's rules (usbfs unless told otherwise) on their way to the chip.
class SimUsbHost : public qx::irda::UsbHost {
  public:
    explicit SimUsbHost(UsbRules rules = UsbRules::Usbfs) : rules_(rules) {}
    // The chip stays owned by the caller.
    void Attach(SimChip& chip) { chips_.push_back(&chip); }
    // A device that enumerates but is not opened (another device, or a dongle not reachable).
    void AddDevice(qx::irda::UsbDeviceInfo info) { others_.push_back(std::move(info)); }
    int Opens() const { return opens_; }
    // The next Open fails with this result (as a driver that refuses).
    void FailNextOpen(UsbResult failure) { openFailure_ = failure; }

    std::vector<qx::irda::UsbDeviceInfo> Enumerate() override;
    std::unique_ptr<qx::irda::UsbDevice> Open(const qx::irda::UsbDeviceInfo& device,
                                              std::uint8_t interfaceNumber, UsbResult& failure) override;

  private:
    UsbRules rules_;
    std::vector<SimChip*> chips_;
    std::vector<qx::irda::UsbDeviceInfo> others_;
    int opens_ = 0;
    std::optional<UsbResult> openFailure_;
};

}  // namespace dongle_sim
