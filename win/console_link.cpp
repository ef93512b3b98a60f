#include "win/console_link.h"

namespace qx {

ConsoleLinkCalls::ConsoleLinkCalls() : port_(LoopbackPortFromEnvironment()) {
    if (port_) {
        loopback_ = std::make_unique<LoopbackCalls>(*port_, winsock_);
    }
}

}  // namespace qx
