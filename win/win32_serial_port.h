// The serial-port seam on the Win32 comm API: a COM port opened for this program alone, 9600 8N1 raw, DTR and
// RTS as the adapter's line profile sets them where the port has them. Each call is the platform's,
// translated; errors are the system's own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "irda/serial_port.h"

namespace qx {

class Win32SerialPort : public irda::SerialPort {
  public:
    Win32SerialPort();
    ~Win32SerialPort() override;
    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    // `name` is "COM1" ... "COM256" (opened as \\.\COMn) or a full device path.
    bool Open(const std::string& name) override;
    void Close() override;
    bool IsOpen() const override;
    bool Write(std::span<const std::uint8_t> bytes) override;
    bool LastWriteHandedOver() const override { return handedOver_; }
    int Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override;
    std::uint32_t LastError() const override { return lastError_; }

  private:
    struct Handle;
    bool Fail();
    bool SetReadTimeout(std::uint32_t timeoutMs);

    std::unique_ptr<Handle> handle_;
    std::uint32_t lastError_ = 0;
    bool handedOver_ = false;  // the last Write's bytes were taken, in part at least
    std::uint32_t readTimeout_ = 0;
    bool timeoutSet_ = false;
};

// The COM ports this PC has, "COM1" ... "COM256", in their number's order.
std::vector<std::string> ListComPorts();

}  // namespace qx
