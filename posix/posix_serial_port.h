// The serial-port seam on POSIX termios: a serial IrDA adapter on /dev/ttyUSB0, /dev/ttyS0, a
// /dev/serial/by-id/ link, or a pty standing in for one. The port is this program's alone while it is open
// (TIOCEXCL and an flock on the device), runs at 9600 baud 8N1 raw with the adapter's modem lines set by
// TIOCMSET, and gets its line settings and modem lines back as they were when it closes. Errors come back as
// the Windows codes the seam speaks.
#pragma once

#include <termios.h>

#include "irda/serial_port.h"

namespace qx {

class PosixSerialPort : public irda::SerialPort {
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
    bool LastWriteHandedOver() const override { return handedOver_; }
    int Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override;
    std::uint32_t LastError() const override { return lastError_; }
    int LastSystemError() const override { return lastErrno_; }

  private:
    bool Fail(int error);
    // Closes `fd` after a failed step of Open, keeping that step's error.
    bool FailOpen(int fd, int error);

    int fd_ = -1;
    std::uint32_t lastError_ = 0;
    int lastErrno_ = 0;
    bool handedOver_ = false;  // the last Write's bytes were taken, in part at least
    termios savedSettings_{};
    int savedLines_ = 0;
    bool linesSaved_ = false;
};

// The Windows error code that stands for a POSIX errno.
std::uint32_t WindowsErrorOf(int error);

}  // namespace qx
