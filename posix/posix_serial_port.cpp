#include "posix/posix_serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace qx {

std::uint32_t WindowsErrorOf(int error) {
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTDIR:
            return irda::PORT_ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return irda::PORT_ERROR_ACCESS_DENIED;
        case EBUSY:
        case EWOULDBLOCK:
            return irda::PORT_ERROR_SHARING_VIOLATION;
        case ENOTTY:
        case EINVAL:
        case EISDIR:  // a folder named as the port
            return irda::PORT_ERROR_INVALID_FUNCTION;
        case EBADF:
            return irda::PORT_ERROR_INVALID_HANDLE;
        case ENAMETOOLONG:
            return irda::PORT_ERROR_INVALID_NAME;
        default:
            return irda::PORT_ERROR_GEN_FAILURE;
    }
}

PosixSerialPort::~PosixSerialPort() {
    Close();
}

bool PosixSerialPort::Fail(int error) {
    lastError_ = WindowsErrorOf(error);
    lastErrno_ = error;
    return false;
}

bool PosixSerialPort::FailOpen(int fd, int error) {
    ::close(fd);
    return Fail(error);
}

bool PosixSerialPort::Open(const std::string& name) {
    Close();
    // Not blocking: a port whose carrier is down would otherwise hold the open for ever.
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Fail(errno);
    }
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        return FailOpen(fd, errno);
    }
    // This program's alone: the flock keeps out every program that takes the same lock (the serial tools of
    // the field that lock at all: picocom, pyserial's exclusive ports, another QX2205R-cli), and goes with
    // the process however it ends, so no stale lock file is ever left behind; TIOCEXCL refuses any later
    // open of the device by a program that does not lock, root's aside.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return FailOpen(fd, errno);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        return FailOpen(fd, errno);
    }
    savedSettings_ = settings;
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        const int error = errno;
        ::ioctl(fd, TIOCNXCL);
        return FailOpen(fd, error);
    }
    // The adapter's line profile (its power and mode), set whole with TIOCMSET; "none" leaves the lines as
    // they are. A pty has no modem lines, and the port is used all the same.
    int lines = 0;
    linesSaved_ = ::ioctl(fd, TIOCMGET, &lines) == 0;
    if (linesSaved_) {
        savedLines_ = lines;
        if (const auto levels = irda::LevelsOf(LineProfileToUse())) {
            lines = (lines & ~(TIOCM_DTR | TIOCM_RTS)) | (levels->dtr ? TIOCM_DTR : 0) |
                    (levels->rts ? TIOCM_RTS : 0);
            ::ioctl(fd, TIOCMSET, &lines);
        }
    }
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    return true;
}

void PosixSerialPort::Close() {
    if (fd_ < 0) {
        return;
    }
    // The next program finds the port as this one found it; on a device that has gone, these fail and the
    // close still happens.
    ::tcflush(fd_, TCIOFLUSH);
    if (linesSaved_) {
        ::ioctl(fd_, TIOCMSET, &savedLines_);
    }
    ::tcsetattr(fd_, TCSANOW, &savedSettings_);
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
    linesSaved_ = false;
}

bool PosixSerialPort::Write(std::span<const std::uint8_t> bytes) {
    handedOver_ = false;
    if (fd_ < 0) {
        return Fail(EBADF);
    }
    // One bound for the whole write, however the driver takes it in pieces.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(irda::PORT_WRITE_WAIT_MS + irda::WireMs(bytes.size()));
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written > 0) {
            handedOver_ = true;
            bytes = bytes.subspan(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN) {
            return Fail(errno);
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        pollfd wait{fd_, POLLOUT, 0};
        const int ready = left <= 0 ? 0 : ::poll(&wait, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            return Fail(errno);
        }
        if (ready == 0) {
            return Fail(EIO);
        }
    }
    return true;
}

int PosixSerialPort::Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) {
    if (fd_ < 0) {
        Fail(EBADF);
        return -1;
    }
    pollfd wait{fd_, POLLIN, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(timeoutMs));
    if (ready < 0) {
        if (errno == EINTR) {
            return 0;
        }
        Fail(errno);
        return -1;
    }
    if (ready == 0) {
        return 0;
    }
    const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
    if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            return 0;
        }
        Fail(errno);
        return -1;
    }
    if (got == 0 && (wait.revents & (POLLHUP | POLLERR)) != 0) {
        // The other end of a pty went away, or the adapter was unplugged: nothing will ever come, and
        // waiting again would spin.
        Fail(EIO);
        return -1;
    }
    return static_cast<int>(got);
}

}  // namespace qx
