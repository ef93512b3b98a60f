#include "support/sim_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>

extern char** environ;

namespace qxtest {

namespace {

constexpr int WAIT_MS = 5000;

std::atomic<int> recordCounter{0};

bool WaitReadable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

// Starts the simulator with its stdout on a pipe; the pipe's read end goes to `out`.
pid_t Spawn(const std::vector<std::string>& args, int& out) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    std::vector<std::string> all{QX_INSTRUMENT_SIM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out = pipeFds[0];
    return pid;
}

// Reads until end of file or `limitMs` without output.
std::string ReadAll(int fd, int limitMs, bool stopAtNewline) {
    std::string text;
    char c;
    while (WaitReadable(fd, limitMs) && ::read(fd, &c, 1) == 1) {
        text += c;
        if (stopAtNewline && c == '\n') {
            break;
        }
    }
    return text;
}

}  // namespace

Bytes FromHex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    std::string pair;
    while (in >> pair) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(pair, nullptr, 16)));
    }
    return bytes;
}

SimProcess::SimProcess(const std::vector<std::string>& args, SimLine line) {
    record_ = std::filesystem::temp_directory_path() /
              ("qx-sim-" + std::to_string(::getpid()) + "-" + std::to_string(recordCounter++) + ".json");
    std::filesystem::remove(record_);
    std::vector<std::string> all = {"--record", record_.string(), "--timeout-s", "60"};
    all.insert(all.begin(), line == SimLine::Tcp ? "--port" : "--serial");
    if (line == SimLine::Tcp) {
        all.insert(all.begin() + 1, "0");
    } else if (line == SimLine::Serial) {
        all.insert(all.begin() + 1, "--unpaced");
    }
    all.insert(all.end(), args.begin(), args.end());
    int out = -1;
    pid_ = Spawn(all, out);
    if (pid_ > 0) {
        std::string announced = ReadAll(out, WAIT_MS, true);
        if (!announced.empty() && announced.back() == '\n') {
            announced.pop_back();
            if (line == SimLine::Tcp) {
                port_ = static_cast<std::uint16_t>(std::stoi(announced));
            } else {
                path_ = announced;
            }
        }
    }
    if (out >= 0) {
        ::close(out);
    }
}

SimProcess::~SimProcess() {
    Stop();
    std::filesystem::remove(record_);
}

nlohmann::json SimProcess::ReadRecord() {
    std::ifstream in(record_);
    if (!in) {
        return {};
    }
    return nlohmann::json::parse(in, nullptr, false);
}

nlohmann::json SimProcess::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    return ReadRecord();
}

nlohmann::json SimProcess::WaitForExit(int& exitCode) {
    exitCode = -1;
    if (pid_ > 0) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return ReadRecord();
}

int RunSim(const std::vector<std::string>& args, std::string& out) {
    int fd = -1;
    const pid_t pid = Spawn(args, fd);
    if (pid <= 0) {
        return -1;
    }
    out = ReadAll(fd, WAIT_MS, false);
    ::close(fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TcpClient::TcpClient(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

TcpClient::~TcpClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool TcpClient::Send(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return true;
}

Bytes TcpClient::Receive(std::size_t count) {
    Bytes bytes;
    while (bytes.size() < count && WaitReadable(fd_, WAIT_MS)) {
        std::uint8_t buffer[256];
        const ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (got <= 0) {
            ended_ = true;
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

Bytes TcpClient::ReceiveToEnd() {
    Bytes bytes;
    while (WaitReadable(fd_, WAIT_MS)) {
        std::uint8_t buffer[256];
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0) {
            ended_ = true;
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

RefusingPort::RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port_ = ntohs(address.sin_port);
    }
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

SilentPort::SilentPort(Queue queue) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const int backlog = queue == Queue::Full ? 0 : 16;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        ::listen(fd_, backlog) != 0 || ::fcntl(fd_, F_SETFL, O_NONBLOCK) != 0) {
        return;
    }
    if (queue == Queue::Full) {
        // Connections until one is left waiting: from then on the queue takes nothing more.
        for (int i = 0; i < 8; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            fillers_.push_back(filler);
            const bool waiting =
                ::connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
                errno == EINPROGRESS;
            if (waiting) {
                pollfd entry{filler, POLLOUT, 0};
                if (::poll(&entry, 1, 200) == 0) {
                    break;
                }
            }
        }
    }
    port_ = ntohs(address.sin_port);
}

int SilentPort::TakeQueued() {
    int count = 0;
    for (;;) {
        const int taken = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (taken < 0) {
            return count;
        }
        ::close(taken);
        ++count;
    }
}

SilentPort::~SilentPort() {
    for (const int filler : fillers_) {
        ::close(filler);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace qxtest
