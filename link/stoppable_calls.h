// The socket seam with a brake, for a run that the user interrupts (Ctrl+C, the console closing). Once a stop
// is requested, every call that would begin something new with the instrument (a discovery try, a connect, a
// send) is refused with WSAEINTR; every call that finishes what is under way passes: receiving the answer to
// a frame already sent, shutdown, close, the pauses, the library's release. The link then takes its ordinary
// failure paths to a normal close, and a write that went out is still waited for. The first send of data is
// noted, so that whoever stops the run can tell whether anything may have reached the instrument.
#pragma once

#include <atomic>

#include "link/forwarding_calls.h"

namespace qx {

class StoppableCalls final : public ForwardingCalls {
  public:
    StoppableCalls(SocketCalls& inner, const std::atomic<bool>& stopRequested,
                   std::atomic<bool>* dataSent = nullptr)
        : ForwardingCalls(inner), inner_(inner), stopRequested_(stopRequested), dataSent_(dataSent) {}

    int WSAStartup(std::uint16_t version) override { return Passed(inner_.WSAStartup(version)); }
    int WSACleanup() override { return Passed(inner_.WSACleanup()); }
    SocketHandle Socket(int family, int type, int protocol) override {
        refused_ = false;
        return inner_.Socket(family, type, protocol);
    }
    int GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                   int& length) override {
        return Stopped() ? Refuse() : Passed(inner_.GetSockOpt(s, level, option, value, length));
    }
    int Connect(SocketHandle s, std::span<const std::uint8_t> address) override {
        return Stopped() ? Refuse() : Passed(inner_.Connect(s, address));
    }
    int Send(SocketHandle s, std::span<const std::uint8_t> bytes) override {
        // Noted before the stop is looked at: a stop that finds nothing noted is sure this send is refused.
        if (dataSent_ != nullptr) {
            dataSent_->store(true);
        }
        return Stopped() ? Refuse() : Passed(inner_.Send(s, bytes));
    }
    int WaitReadable(SocketHandle s, std::uint32_t timeoutMs) override {
        return Passed(inner_.WaitReadable(s, timeoutMs));
    }
    int Recv(SocketHandle s, std::span<std::uint8_t> buffer) override {
        return Passed(inner_.Recv(s, buffer));
    }
    int Shutdown(SocketHandle s, int how) override { return Passed(inner_.Shutdown(s, how)); }
    int CloseSocket(SocketHandle s) override { return Passed(inner_.CloseSocket(s)); }
    // A refused call's error is WSAEINTR until the next call reaches the platform.
    int WSAGetLastError() override { return refused_ ? WSAEINTR_CODE : inner_.WSAGetLastError(); }
    // A refused call is the user's stop, not the stack's failure.
    std::optional<StackFailure> LastStackFailure() override {
        return refused_ ? std::nullopt : inner_.LastStackFailure();
    }
    // The pauses, the clock and the hook library pass as they are.

  private:
    bool Stopped() const { return stopRequested_.load(); }
    int Refuse() {
        refused_ = true;
        return SOCKET_ERROR_RESULT;
    }
    int Passed(int result) {
        refused_ = false;
        return result;
    }

    SocketCalls& inner_;
    const std::atomic<bool>& stopRequested_;
    std::atomic<bool>* dataSent_;
    bool refused_ = false;
};

}  // namespace qx
