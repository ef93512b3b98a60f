// The socket calls the console program's link uses: Winsock with IrDA, or the IrDA loopback emulation when
// QX2205R_IRDA_LOOPBACK names a port (as for the window).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "link/loopback_calls.h"
#include "link/socket_calls.h"
#include "link/win_winsock_calls.h"

namespace qx {

class ConsoleLinkCalls {
  public:
    ConsoleLinkCalls();
    ConsoleLinkCalls(const ConsoleLinkCalls&) = delete;
    ConsoleLinkCalls& operator=(const ConsoleLinkCalls&) = delete;

    SocketCalls& Calls() { return loopback_ ? static_cast<SocketCalls&>(*loopback_) : winsock_; }
    std::optional<std::uint16_t> LoopbackPort() const { return port_; }

  private:
    WinsockCalls winsock_;
    std::optional<std::uint16_t> port_;
    std::unique_ptr<LoopbackCalls> loopback_;
};

}  // namespace qx
