// The instrument simulator as a child process for tests: started on a free port with a record file, stopped
// with SIGTERM, its record read back. Plus a plain POSIX TCP client for talking to it byte by byte.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qxtest {

using Bytes = std::vector<std::uint8_t>;

// "A0 00 03" -> bytes.
Bytes FromHex(const std::string& text);

// Where the simulator plays the instrument: TCP on a free port, or serial IrDA on a pty of its own, its bytes
// unpaced (quick) or paced at 9600 baud as on a real line.
enum class SimLine { Tcp, Serial, PacedSerial };

class SimProcess {
  public:
    // Starts the simulator with `args` plus a free port (or --serial), a record file and a time-out that ends
    // a stray one.
    explicit SimProcess(const std::vector<std::string>& args, SimLine line = SimLine::Tcp);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // 0 when the simulator did not start.
    std::uint16_t Port() const { return port_; }
    // The serial mode's pty; empty when the simulator did not start.
    const std::string& Path() const { return path_; }
    // Stops the simulator (if it still runs) and returns its record; empty when it wrote none.
    nlohmann::json Stop();
    // Waits for the simulator to end by itself and returns its exit status and record.
    nlohmann::json WaitForExit(int& exitCode);

  private:
    nlohmann::json ReadRecord();

    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::string path_;
    std::filesystem::path record_;
};

// Runs the simulator with `args` to its end; its exit code, stdout in `out`.
int RunSim(const std::vector<std::string>& args, std::string& out);

// A TCP connection to 127.0.0.1 for the tests' own bytes; every wait is bounded so a silent peer fails the
// test instead of hanging it.
class TcpClient {
  public:
    explicit TcpClient(std::uint16_t port);
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    bool Send(std::span<const std::uint8_t> bytes);
    // Exactly `count` bytes, or fewer when the peer ended the connection or went silent for 5 s.
    Bytes Receive(std::size_t count);
    // Everything until the peer ends or resets the connection, or 5 s of silence.
    Bytes ReceiveToEnd();
    // The peer ended or reset the connection.
    bool PeerEnded() const { return ended_; }

  private:
    int fd_ = -1;
    bool ended_ = false;
};

// A port on which nothing listens: bound, so nobody else takes it while the test runs, but never listening,
// so every connect to it is refused.
class RefusingPort {
  public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::uint16_t Port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A port that listens and never answers: the system takes connections into the listener's queue, nobody ever
// accepts them or sends a byte. Full, the queue takes no more either: a connect then never completes (the
// system drops the attempts until its own connect time-out of minutes).
class SilentPort {
  public:
    enum class Queue { Open, Full };
    explicit SilentPort(Queue queue);
    ~SilentPort();
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;
    std::uint16_t Port() const { return port_; }
    // How many connections reached the queue since the last call (taken off it, never answered).
    int TakeQueued();

  private:
    int fd_ = -1;
    std::vector<int> fillers_;
    std::uint16_t port_ = 0;
};

}  // namespace qxtest
