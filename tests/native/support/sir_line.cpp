#include "support/sir_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace qxtest {

SirLine::SirLine(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    if (fd_ >= 0 && ::tcgetattr(fd_, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::cfsetspeed(&settings, B9600);
        ::tcsetattr(fd_, TCSANOW, &settings);
        ::tcflush(fd_, TCIOFLUSH);
    }
}

SirLine::~SirLine() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool SirLine::SendFrame(std::span<const std::uint8_t> frame) {
    const std::vector<std::uint8_t> bytes = qx::irda::SirWrap(frame);
    std::span<const std::uint8_t> rest(bytes);
    while (!rest.empty()) {
        const ssize_t written = ::write(fd_, rest.data(), rest.size());
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (written > 0) {
            rest = rest.subspan(static_cast<std::size_t>(written));
        }
    }
    return true;
}

std::optional<std::vector<std::uint8_t>> SirLine::ReceiveFrame(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (frames_.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        std::uint8_t buffer[256];
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        for (ssize_t i = 0; i < got; ++i) {
            if (deframer_.Push(buffer[i])) {
                frames_.emplace_back(deframer_.Frame().begin(), deframer_.Frame().end());
            }
        }
    }
    std::vector<std::uint8_t> frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
}

}  // namespace qxtest
