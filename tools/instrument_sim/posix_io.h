// Small POSIX pieces both of the simulator's modes use: an owned file descriptor and a file written whole.
#pragma once

#include <poll.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <utility>

namespace sim {

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { Close(); }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Close();

  private:
    int fd_;
};

// ppoll on one descriptor until `wake` at the latest, with `runMask` as the signal mask while it waits.
int PollUntil(pollfd& entry, std::chrono::steady_clock::time_point wake, const sigset_t& runMask);

// Writes `text` to a temporary file beside `path` and renames it into place, so a reader never sees half of
// it.
bool WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace sim
