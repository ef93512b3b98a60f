#include "win/platform_calls.h"

namespace qx {

PlatformCalls::PlatformCalls() : port_(LoopbackPortFromEnvironment()) {
    if (port_) {
        loopback_ = std::make_unique<LoopbackCalls>(*port_, winsock_);
    }
}

}  // namespace qx
