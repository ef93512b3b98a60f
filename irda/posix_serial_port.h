// The serial-port seam on POSIX termios, for native builds: the simulator's serial mode and the native tests
// open a pty or a real serial device with it. Errors come back as the Windows codes the seam speaks.
#pragma once

#include "irda/serial_port.h"

namespace qx::irda {

class PosixSerialPort : public SerialPort {
  public:
    PosixSerialPort() = default;
    ~PosixSerialPort() override;
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    // `name` is the device's path, e.g. /dev/ttyUSB0 or /dev/pts/3.
    bool Open(const std::string& name) override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    bool Write(std::span<const std::uint8_t> bytes) override;
    int Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override;
    std::uint32_t LastError() const override { return lastError_; }

  private:
    bool Fail(int error);

    int fd_ = -1;
    std::uint32_t lastError_ = 0;
};

// The Windows error code that stands for a POSIX errno.
std::uint32_t WindowsErrorOf(int error);

}  // namespace qx::irda
