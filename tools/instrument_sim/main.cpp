// The simulator: its TCP server (one thread, one connection at a time, on 127.0.0.1 only) turns TCP traffic
// into the Instrument's requests and its replies back into bytes, and writes the record when it stops;
// --serial and
// --serial-device hand over to the serial IrDA mode instead.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "instrument.h"
#include "options.h"
#include "posix_io.h"
#include "serial_mode.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// A client that opened a connection and then says nothing is dropped after this, so it cannot block the next.
constexpr auto REQUEST_WAIT = std::chrono::seconds(10);

volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) {
    stopSignal = signal;
}

struct Pending {
    Clock::time_point due;
    Reply reply;
};

enum class Stage { Request, Address, Frames };

struct Connection {
    Descriptor fd;
    Stage stage = Stage::Request;
    Clock::time_point opened = Clock::now();
    Bytes input;
    FrameSplitter frames;
    std::deque<Pending> pending;
};

// Sends what the kernel takes at once; frames are far smaller than any socket buffer.
bool SendBytes(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return true;
}

class Server {
  public:
    Server(const Options& options, Descriptor listener)
        : options_(options), instrument_(options), listener_(std::move(listener)) {}

    // Runs until a stop signal or the time-out; returns why it stopped.
    std::string Run(sigset_t runMask) {
        const auto deadline = Clock::now() + std::chrono::seconds(options_.timeoutS);
        while (stopSignal == 0) {
            const auto now = Clock::now();
            if (now >= deadline) {
                return "timeout";
            }
            auto wake = deadline;
            if (connection_) {
                if (connection_->stage != Stage::Frames) {
                    wake = std::min(wake, connection_->opened + REQUEST_WAIT);
                }
                if (!connection_->pending.empty()) {
                    wake = std::min(wake, connection_->pending.front().due);
                }
            }
            pollfd entry{connection_ ? connection_->fd.Get() : listener_.Get(), POLLIN, 0};
            const int ready = PollUntil(entry, wake, runMask);
            if (ready < 0 && errno != EINTR) {
                std::perror("instrument_sim: ppoll");
                return "error";
            }
            if (ready > 0 && !connection_) {
                Accept();
            } else if (ready > 0) {
                ReadConnection();
            }
            SendDueReplies();
            if (connection_ && connection_->stage != Stage::Frames &&
                Clock::now() >= connection_->opened + REQUEST_WAIT) {
                EndConnection();
            }
        }
        return "signal";
    }

    void WriteRecord(const std::string& stopReason) {
        if (options_.recordFile.empty()) {
            return;
        }
        const std::string text = instrument_.Record(stopReason)
                                     .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        if (!WriteFileAtomically(options_.recordFile, text + "\n")) {
            std::cerr << "instrument_sim: cannot write " << options_.recordFile << "\n";
        }
    }

  private:
    void Accept() {
        const int fd = ::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        connection_.emplace();
        connection_->fd = Descriptor(fd);
    }

    void EndConnection(After how = After::Close) {
        if (how == After::Reset) {
            const linger abortive{1, 0};
            ::setsockopt(connection_->fd.Get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        }
        const bool hadFrames = connection_->stage == Stage::Frames;
        if (hadFrames) {
            instrument_.EndConnection();
        }
        connection_.reset();
        // The record is brought up to date after every conversation, so a watcher can follow the word live.
        if (hadFrames) {
            WriteRecord("running");
        }
    }

    void ReadConnection() {
        std::array<std::uint8_t, 512> buffer{};
        const ssize_t received = ::recv(connection_->fd.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (received < 0 && (errno == EINTR || errno == EAGAIN)) {
            return;
        }
        if (received <= 0) {
            EndConnection();
            return;
        }
        const auto bytes = std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(received));
        if (connection_->stage == Stage::Frames) {
            TakeFrames(bytes);
            return;
        }
        connection_->input.insert(connection_->input.end(), bytes.begin(), bytes.end());
        const Bytes& input = connection_->input;
        if (input[0] == 'D') {
            // One connection at a time: the instrument is busy searching, nothing else waits on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(options_.discoveryDelayMs));
            SendBytes(connection_->fd.Get(), instrument_.AnswerDiscovery());
            EndConnection();
        } else if (input[0] != 'C') {
            EndConnection();
        } else if (input.size() >= 1 + ADDRESS_SIZE) {
            std::array<std::uint8_t, ADDRESS_SIZE> address{};
            std::copy_n(input.begin() + 1, ADDRESS_SIZE, address.begin());
            const Bytes rest(input.begin() + 1 + ADDRESS_SIZE, input.end());
            const std::int32_t result = instrument_.AnswerConnect(address);
            Bytes answer;
            for (int shift = 0; shift < 32; shift += 8) {
                answer.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(result) >> shift));
            }
            SendBytes(connection_->fd.Get(), answer);
            if (result != 0) {
                EndConnection();
                return;
            }
            connection_->stage = Stage::Frames;
            connection_->input.clear();
            TakeFrames(rest);
        }
    }

    void TakeFrames(std::span<const std::uint8_t> bytes) {
        connection_->frames.Add(bytes);
        while (auto frame = connection_->frames.Next()) {
            Reply reply = instrument_.AnswerFrame(*frame);
            if (reply.bytes.empty() && reply.after == After::Nothing) {
                continue;
            }
            connection_->pending.push_back(
                {Clock::now() + std::chrono::milliseconds(reply.delayMs), std::move(reply)});
        }
    }

    // Replies go out in order; a delayed one holds back those behind it, as a half-duplex instrument would.
    void SendDueReplies() {
        while (connection_ && !connection_->pending.empty() &&
               connection_->pending.front().due <= Clock::now()) {
            const Reply reply = std::move(connection_->pending.front().reply);
            connection_->pending.pop_front();
            const bool sent = SendBytes(connection_->fd.Get(), reply.bytes);
            if (sent) {
                instrument_.RecordSent(reply.bytes);
            }
            if (!sent || reply.after != After::Nothing) {
                EndConnection(sent ? reply.after : After::Close);
            }
        }
    }

    Options options_;
    Instrument instrument_;
    Descriptor listener_;
    std::optional<Connection> connection_;
};

Descriptor Listen(std::uint16_t port, std::uint16_t& boundPort) {
    Descriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        return fd;
    }
    const int yes = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.Get(), 16) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return Descriptor();
    }
    boundPort = ntohs(address.sin_port);
    return fd;
}

int Main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    std::string error;
    const auto options = ParseOptions(args, error);
    if (!options) {
        std::cerr << "instrument_sim: " << error << "\n(--help lists the options)\n";
        return 2;
    }
    if (options->help) {
        std::cout << HelpText();
        return 0;
    }

    // The stop signals stay blocked except inside ppoll, so one that arrives between two waits is not lost.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigset_t runMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &runMask);
    sigdelset(&runMask, SIGTERM);
    sigdelset(&runMask, SIGINT);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (options->SerialMode()) {
        return RunSerial(*options, runMask, stopSignal);
    }

    std::uint16_t port = 0;
    Descriptor listener = Listen(options->port, port);
    if (!listener.Valid()) {
        std::cerr << "instrument_sim: cannot listen on 127.0.0.1:" << options->port << ": "
                  << std::strerror(errno) << "\n";
        return 1;
    }
    if (!options->portFile.empty() && !WriteFileAtomically(options->portFile, std::to_string(port) + "\n")) {
        std::cerr << "instrument_sim: cannot write " << options->portFile << "\n";
        return 1;
    }

    // The port file first: whoever has read the line can rely on the file too.
    std::cout << port << std::endl;

    Server server(*options, std::move(listener));
    const std::string reason = server.Run(runMask);
    server.WriteRecord(reason);
    return reason == "error" ? 1 : 0;
}

}  // namespace
}  // namespace sim

int main(int argc, char** argv) {
    return sim::Main(argc, argv);
}
