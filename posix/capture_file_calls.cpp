#include "posix/capture_file_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qx {

std::optional<std::vector<std::uint8_t>> PosixCaptureFileCalls::ReadStart(const std::string& path,
                                                                          std::size_t count) {
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

bool PosixCaptureFileCalls::Replace(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void PosixCaptureFileCalls::Remove(const std::string& path) {
    ::unlink(path.c_str());
}

}  // namespace qx
