#include "posix/capture_file_calls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace qx {

CaptureFileCalls::Found PosixCaptureFileCalls::Examine(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return {};
    }
    const Kind kind = S_ISDIR(status.st_mode)   ? Kind::Folder
                      : S_ISREG(status.st_mode) ? Kind::File
                                                : Kind::Other;
    return {kind, std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" +
                      std::to_string(status.st_size) + ":" + std::to_string(status.st_mtim.tv_sec) + "." +
                      std::to_string(status.st_mtim.tv_nsec)};
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

CaptureFileCalls::Created PosixCaptureFileCalls::CreateNew(const std::string& path) {
    Close();
    // O_EXCL with O_CREAT refuses any name already there, a link included, dangling or not; O_NONBLOCK
    // so that nothing can hold the open.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        return {static_cast<std::uint32_t>(errno), errno == EEXIST};
    }
    return {};
}

std::uint32_t PosixCaptureFileCalls::Write(std::span<const std::uint8_t> bytes) {
    if (fd_ < 0) {
        return EBADF;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return static_cast<std::uint32_t>(errno);
        }
        if (n == 0) {
            return ENOSPC;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::uint32_t PosixCaptureFileCalls::Close() {
    if (fd_ < 0) {
        return 0;
    }
    std::uint32_t error = ::fsync(fd_) == 0 ? 0 : static_cast<std::uint32_t>(errno);
    if (::close(fd_) != 0 && error == 0 && errno != EINTR) {
        error = static_cast<std::uint32_t>(errno);
    }
    fd_ = -1;
    return error;
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
