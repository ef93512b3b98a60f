#include "posix_io.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace sim {

void Descriptor::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int PollUntil(pollfd& entry, std::chrono::steady_clock::time_point wake, const sigset_t& runMask) {
    const auto waitNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(wake - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero()));
    const timespec wait{static_cast<time_t>(waitNs.count() / 1000000000),
                        static_cast<long>(waitNs.count() % 1000000000)};
    return ::ppoll(&entry, 1, &wait, &runMask);
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace sim
