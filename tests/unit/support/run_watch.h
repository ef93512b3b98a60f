// What one run of the mode switch may and may not do, judged from the platform's side of the socket seam. A
// fake platform reports to RunWatch what crossed the seam; Check lists every rule the run broke. The fault
// injection tests and the fuzz targets share it, so it depends on no test framework.
#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "app/message_slots.h"
#include "link/socket_calls.h"
#include "support/recording_host.h"

namespace qx::test {

// How the run ended, as its caller saw it.
struct RunEnd {
    bool result = false;
    bool linkPresent = false;
    const RecordingHost& host;
    const MessageSlots& slots;
};

class RunWatch {
  public:
    explicit RunWatch(bool enable) : enable_(enable) {}

    // --- reported by the fake platform, in the order the calls happen ---
    void OnStartup(bool succeeded);
    void OnCleanup();
    void OnSocketOpened(SocketHandle s);
    void OnSocketFailed();
    // Any call that names a socket; `call` names it in the report.
    void OnSocketCall(SocketHandle s, const char* call);
    void OnClose(SocketHandle s, bool succeeded);
    // The program asked to send `bytes`; `accepted` of them went out (negative: the send failed).
    void OnSend(std::span<const std::uint8_t> bytes, int accepted);
    // Bytes that a receive handed to the program.
    void OnDelivered(std::span<const std::uint8_t> bytes);
    // The instrument stored the word of a write request it received.
    void OnWriteApplied() { writeApplied_ = true; }
    // A rule the fake itself saw broken (for example a receive that would block for ever).
    void Violation(std::string what) { violations_.push_back(std::move(what)); }

    // Every rule the run broke, empty when it kept them all.
    std::vector<std::string> Check(const RunEnd& end) const;

  private:
    void StartFrame(std::span<const std::uint8_t> frame);

    bool enable_;
    std::vector<std::string> violations_;
    int startups_ = 0;
    int cleanups_ = 0;
    bool closeFailed_ = false;
    bool socketFailed_ = false;
    std::set<SocketHandle> open_;

    // Send side: the frame in progress and what it is.
    std::size_t frameLeft_ = 0;
    bool frameIsWrite_ = false;
    // Read side: what the program received after its latest read request and after its latest write request.
    bool readSent_ = false;
    std::vector<std::uint8_t> afterRead_;
    bool writeStarted_ = false;
    bool writeWhole_ = false;
    std::vector<std::uint8_t> afterWrite_;
    bool writeApplied_ = false;

    // Whether a whole A0 00 03 is among the frames received after the latest write request.
    bool WriteAcknowledged() const;
};

}  // namespace qx::test
