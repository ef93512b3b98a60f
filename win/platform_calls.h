// The socket calls a program's link uses, picked once at its entry point: Winsock with IrDA, or the IrDA
// loopback emulation to the simulator on 127.0.0.1 when QX2205R_IRDA_LOOPBACK names a port. The window and
// the console program pick the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "link/socket_calls.h"
#include "loopback/loopback_calls.h"
#include "win/winsock_calls.h"

namespace qx {

class PlatformCalls {
  public:
    PlatformCalls();
    PlatformCalls(const PlatformCalls&) = delete;
    PlatformCalls& operator=(const PlatformCalls&) = delete;

    SocketCalls& Calls() { return loopback_ ? static_cast<SocketCalls&>(*loopback_) : winsock_; }
    // The emulation's port when it stands in for IrDA.
    std::optional<std::uint16_t> LoopbackPort() const { return port_; }
    // From any thread: ends at once the emulation's discovery try or connect under way and refuses later ones
    // (LoopbackCalls::Interrupt). Winsock's own calls are bounded by the link and cannot be cut short.
    void Interrupt() {
        if (loopback_) {
            loopback_->Interrupt();
        }
    }

  private:
    WinsockCalls winsock_;
    std::optional<std::uint16_t> port_;
    std::unique_ptr<LoopbackCalls> loopback_;
};

}  // namespace qx
