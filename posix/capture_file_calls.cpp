#include "posix/capture_file_calls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qx {

CaptureFileCalls::Kind PosixCaptureFileCalls::Examine(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return Kind::Missing;
    }
    return S_ISDIR(status.st_mode) ? Kind::Folder : Kind::File;
}

std::optional<std::vector<std::uint8_t>> PosixCaptureFileCalls::Head(const std::string& path,
                                                                     std::size_t count) {
    // Not blocking: a fifo or a device named by mistake must not hold the program before anything is sent.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> start(count);
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd, start.data() + got, count - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    start.resize(got);
    return start;
}

std::uint32_t PosixCaptureFileCalls::CheckWritable(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return static_cast<std::uint32_t>(errno);
    }
    ::close(fd);
    return 0;
}

std::uint32_t PosixCaptureFileCalls::Create(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ < 0 ? static_cast<std::uint32_t>(errno) : 0;
}

bool PosixCaptureFileCalls::Write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

void PosixCaptureFileCalls::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::uint32_t PosixCaptureFileCalls::Replace(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : static_cast<std::uint32_t>(errno);
}

void PosixCaptureFileCalls::Remove(const std::string& path) {
    ::unlink(path.c_str());
}

std::string PosixCaptureFileCalls::ErrorText(std::uint32_t error) {
    return std::strerror(static_cast<int>(error));
}

}  // namespace qx
