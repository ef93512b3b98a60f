#include "serial_mode.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "irda/capture.h"
#include "irda/sir_framing.h"
#include "irda_secondary.h"
#include "posix_io.h"

namespace sim {

namespace {

using qx::irda::SIR_BOF;
using qx::irda::SIR_CE;
using qx::irda::SIR_EOF;

// A write the other end does not take within this is given up: nobody has the line open.
constexpr int WRITE_WAIT_MS = 1000;
// One byte on the line at 9600 baud, 8N1: ten bits.
constexpr auto BYTE_TIME = std::chrono::nanoseconds(10LL * 1000 * 1000 * 1000 / 9600);

long long Microseconds(TimePoint at) {
    return std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
}

// 9600 baud, 8N1, raw, no flow control, reads that return what is there.
bool MakeRaw(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        return false;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

struct Line {
    Descriptor fd;
    // The pty's other end, held open for the simulator's life: the line keeps its raw settings between the
    // program's opens, and the simulator's end sees no hang-up while no program has it open.
    Descriptor slave;
    std::string path;
};

std::optional<Line> OpenPty(std::string& error) {
    Line line;
    line.fd = Descriptor(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    std::array<char, 128> name{};
    if (!line.fd.Valid() || ::grantpt(line.fd.Get()) != 0 || ::unlockpt(line.fd.Get()) != 0 ||
        ::ptsname_r(line.fd.Get(), name.data(), name.size()) != 0) {
        error = std::string("cannot make a pty: ") + std::strerror(errno);
        return std::nullopt;
    }
    line.path = name.data();
    line.slave = Descriptor(::open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!line.slave.Valid() || !MakeRaw(line.slave.Get()) ||
        ::fcntl(line.fd.Get(), F_SETFL, O_NONBLOCK) != 0) {
        error = "cannot set up " + line.path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return line;
}

std::optional<Line> OpenDevice(const std::string& path, std::string& error) {
    Line line;
    line.path = path;
    line.fd = Descriptor(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line.fd.Valid() || !MakeRaw(line.fd.Get())) {
        error = "cannot open " + path + " as a serial line at 9600 baud: " + std::strerror(errno);
        return std::nullopt;
    }
    return line;
}

// Spoils the FCS of a wrapped frame: the byte before EOF changes, and never into a flag or an escape.
void SpoilFcs(Bytes& wrapped) {
    std::uint8_t& last = wrapped[wrapped.size() - 2];
    const bool escaped = wrapped[wrapped.size() - 3] == SIR_CE;
    last ^= (escaped || (last ^ 0x01) != SIR_CE) ? 0x01 : 0x02;
}

class SerialServer {
  public:
    SerialServer(const Options& options, Line line, std::uint32_t seed)
        : options_(options),
          instrument_(options),
          secondary_(options, instrument_, seed),
          line_(std::move(line)),
          byteTime_(options.paced ? std::chrono::duration_cast<Clock::duration>(BYTE_TIME)
                                  : Clock::duration::zero()),
          noise_(seed + 1) {
        if (!options.wireLogFile.empty()) {
            wireLog_.open(options.wireLogFile, std::ios::trunc);
        }
        if (!options.captureFile.empty()) {
            captureFile_.open(options.captureFile, std::ios::binary | std::ios::trunc);
            capture_.emplace(captureFile_);
        }
    }

    // The file that did not open, if one did not.
    std::optional<std::string> UnwritableFile() const {
        if (!options_.wireLogFile.empty() && !wireLog_.is_open()) {
            return options_.wireLogFile;
        }
        if (capture_ && !capture_->Good()) {
            return options_.captureFile;
        }
        return std::nullopt;
    }

    std::string Run(const sigset_t& runMask, const volatile std::sig_atomic_t& stop) {
        const auto deadline = Clock::now() + std::chrono::seconds(options_.timeoutS);
        while (stop == 0) {
            const auto now = Clock::now();
            if (now >= deadline) {
                return "timeout";
            }
            auto wake = deadline;
            if (const auto next = secondary_.NextWake()) {
                wake = std::min(wake, *next);
            }
            if (!incoming_.empty()) {
                wake = std::min(wake, incoming_.front().first);
            }
            if (!outgoing_.empty()) {
                wake = std::min(wake, outgoing_.front().first);
            }
            pollfd entry{line_.fd.Get(), POLLIN, 0};
            const int ready = PollUntil(entry, wake, runMask);
            if (ready < 0 && errno != EINTR) {
                std::perror("instrument_sim: ppoll");
                return "error";
            }
            if (ready > 0 && (entry.revents & POLLIN) != 0) {
                ReadLine();
            } else if (ready > 0) {
                std::cerr << "instrument_sim: " << line_.path << " hung up\n";
                return "error";
            }
            TakeArrived(Clock::now());
            for (const Transmission& transmission : secondary_.TakeDue(Clock::now())) {
                Transmit(transmission);
            }
            SendDue(Clock::now());
            if (secondary_.HungUp()) {
                // The adapter went away: both ends of the line close, and the program's port fails.
                line_.fd = Descriptor();
                line_.slave = Descriptor();
                return "adapter gone";
            }
            // The record is brought up to date after every conversation, so a watcher can follow the word
            // live.
            if (secondary_.ConnectionsEnded() != recordedEnds_) {
                recordedEnds_ = secondary_.ConnectionsEnded();
                WriteRecord("running");
            }
        }
        // What already arrived still counts, so the record holds the last frame a primary sent before the
        // stop.
        ReadLine();
        TakeArrived(TimePoint::max());
        return "signal";
    }

    const std::string& Path() const { return line_.path; }

    void WriteRecord(const std::string& stopReason) {
        if (options_.recordFile.empty()) {
            return;
        }
        nlohmann::ordered_json record = instrument_.Record(stopReason);
        record["irda"] = secondary_.Record();
        record["irda"]["line"] = {{"path", line_.path},
                                  {"bytes_received", bytesReceived_},
                                  {"bytes_sent", bytesSent_},
                                  {"frames_received", framesReceived_},
                                  {"frames_sent", framesSent_},
                                  {"frames_dropped", deframer_.Dropped()},
                                  {"bytes_not_taken", bytesLost_},
                                  {"paced", options_.paced}};
        // Every frame's time on the line, in the steady clock's microseconds (the same clock as other
        // processes' on this machine), for the bench to split a run by.
        record["irda"]["timeline"] = timeline_;
        const std::string text = record.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        if (!WriteFileAtomically(options_.recordFile, text + "\n")) {
            std::cerr << "instrument_sim: cannot write " << options_.recordFile << "\n";
        }
    }

  private:
    // A pty takes a whole write at once; a real line brings the bytes one by one at the line rate, so each
    // byte is taken when its last bit would have arrived.
    void ReadLine() {
        std::array<std::uint8_t, 512> buffer{};
        const ssize_t got = ::read(line_.fd.Get(), buffer.data(), buffer.size());
        if (got <= 0) {
            return;
        }
        const auto bytes = std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got));
        bytesReceived_ += bytes.size();
        LogWire('<', bytes);
        arrivalEnd_ = std::max(arrivalEnd_, Clock::now());
        for (const std::uint8_t byte : bytes) {
            arrivalEnd_ += byteTime_;
            incoming_.emplace_back(arrivalEnd_, byte);
        }
    }

    void TakeArrived(TimePoint now) {
        Bytes arrived;
        while (!incoming_.empty() && incoming_.front().first <= now) {
            const auto [at, byte] = incoming_.front();
            incoming_.pop_front();
            arrived.push_back(byte);
            if (!frameStart_) {
                frameStart_ = at - byteTime_;
            }
            if (deframer_.Push(byte)) {
                ++framesReceived_;
                const Bytes frame(deframer_.Frame().begin(), deframer_.Frame().end());
                if (capture_) {
                    capture_->Frame(false, frame);
                }
                Note("in", *frameStart_, at, frame);
                secondary_.Receive(frame, at);
            }
            if (byte == SIR_EOF) {
                frameStart_.reset();  // a frame that did not check starts no later one early
            }
        }
        if (options_.linkFaults.echo && !arrived.empty()) {
            Write(arrived);
        }
    }

    // Bytes queued by Transmit reach the pty each when a real line would have carried it whole.
    void SendDue(TimePoint now) {
        Bytes due;
        while (!outgoing_.empty() && outgoing_.front().first <= now) {
            due.push_back(outgoing_.front().second);
            outgoing_.pop_front();
        }
        if (!due.empty()) {
            Write(due);
        }
    }

    void Note(const char* direction, TimePoint start, TimePoint end, std::span<const std::uint8_t> frame) {
        timeline_.push_back({{"dir", direction},
                             {"start_us", Microseconds(start)},
                             {"end_us", Microseconds(end)},
                             {"frame", Hex(frame)}});
    }

    void Transmit(const Transmission& transmission) {
        if (options_.linkFaults.noise) {
            Queue(Noise(), {});
        }
        ++framesSent_;
        if (capture_) {
            capture_->Frame(true, transmission.frame);  // as the instrument meant it, a spoilt FCS or not
        }
        Bytes wrapped = qx::irda::SirWrap(transmission.frame, transmission.xbofs);
        if (transmission.badFcs) {
            SpoilFcs(wrapped);
        }
        Queue(wrapped, transmission.frame);
    }

    void Queue(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> frame) {
        TimePoint at = std::max(sendEnd_, Clock::now());
        const TimePoint start = at;
        for (const std::uint8_t byte : bytes) {
            at += byteTime_;
            outgoing_.emplace_back(at, byte);  // the far end has a byte once its last bit is through
        }
        sendEnd_ = at;
        if (!frame.empty()) {
            Note("out", start, at, frame);
        }
    }

    // A few stray bytes, then a runt frame whose FCS never checks.
    Bytes Noise() {
        std::uniform_int_distribution<int> byte(0, 0xFF);
        std::uniform_int_distribution<int> count(1, 6);
        const auto plain = [&] {
            std::uint8_t value;
            do {
                value = static_cast<std::uint8_t>(byte(noise_));
            } while (value == SIR_BOF || value == SIR_EOF || value == SIR_CE);
            return value;
        };
        Bytes noise;
        for (int i = count(noise_); i > 0; --i) {
            noise.push_back(plain());
        }
        Bytes runt;
        for (int i = count(noise_) + 3; i > 0; --i) {
            runt.push_back(plain());
        }
        if (qx::irda::SirCrc(runt) == qx::irda::SIR_FCS_RESIDUE) {
            runt.back() ^= 0x01;
        }
        noise.push_back(SIR_BOF);
        noise.insert(noise.end(), runt.begin(), runt.end());
        noise.push_back(SIR_EOF);
        return noise;
    }

    void LogWire(char direction, std::span<const std::uint8_t> bytes) {
        if (wireLog_.is_open()) {
            wireLog_ << direction << ' ' << Hex(bytes) << std::endl;
        }
    }

    void Write(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const ssize_t written = ::write(line_.fd.Get(), bytes.data(), bytes.size());
            if (written > 0) {
                bytesSent_ += static_cast<std::size_t>(written);
                LogWire('>', bytes.first(static_cast<std::size_t>(written)));
                bytes = bytes.subspan(static_cast<std::size_t>(written));
                continue;
            }
            pollfd entry{line_.fd.Get(), POLLOUT, 0};
            if ((written < 0 && errno != EAGAIN && errno != EINTR) || ::poll(&entry, 1, WRITE_WAIT_MS) <= 0) {
                bytesLost_ += bytes.size();
                return;
            }
        }
    }

    Options options_;
    Instrument instrument_;
    IrdaSecondary secondary_;
    Line line_;
    Clock::duration byteTime_;
    // Bytes read from the pty, each with the time its last bit arrives on the line, and bytes waiting for
    // their time to go out.
    std::deque<std::pair<TimePoint, std::uint8_t>> incoming_;
    std::deque<std::pair<TimePoint, std::uint8_t>> outgoing_;
    TimePoint arrivalEnd_{};
    TimePoint sendEnd_{};
    std::optional<TimePoint> frameStart_;
    nlohmann::ordered_json timeline_ = nlohmann::ordered_json::array();
    qx::irda::SirDeframer deframer_;
    std::mt19937 noise_;
    std::ofstream wireLog_;
    std::ofstream captureFile_;
    std::optional<qx::irda::PcapWriter> capture_;
    int recordedEnds_ = 0;
    std::size_t bytesReceived_ = 0;
    std::size_t bytesSent_ = 0;
    std::size_t bytesLost_ = 0;
    std::size_t framesReceived_ = 0;
    std::size_t framesSent_ = 0;
};

}  // namespace

int RunSerial(const Options& options, const sigset_t& runMask, const volatile std::sig_atomic_t& stop) {
    std::string error;
    std::optional<Line> line =
        options.serialDevice.empty() ? OpenPty(error) : OpenDevice(options.serialDevice, error);
    if (!line) {
        std::cerr << "instrument_sim: " << error << "\n";
        return 1;
    }
    if (!options.portFile.empty() && !WriteFileAtomically(options.portFile, line->path + "\n")) {
        std::cerr << "instrument_sim: cannot write " << options.portFile << "\n";
        return 1;
    }
    SerialServer server(options, std::move(*line), std::random_device{}());
    if (const auto file = server.UnwritableFile()) {
        std::cerr << "instrument_sim: cannot write " << *file << "\n";
        return 1;
    }
    std::cout << server.Path() << std::endl;
    const std::string reason = server.Run(runMask, stop);
    server.WriteRecord(reason);
    return reason == "error" ? 1 : 0;
}

}  // namespace sim
