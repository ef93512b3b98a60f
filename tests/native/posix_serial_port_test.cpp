#include "posix/posix_serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using qx::PosixSerialPort;

// A pty whose slave stands in for a serial device; the test holds the master end.
struct Pty {
    int master = -1;
    std::string slave;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            slave = ptsname(master);
        }
    }
    ~Pty() {
        if (master >= 0) {
            close(master);
        }
    }
    // Reads what the port sent, waiting a little for each piece.
    std::vector<std::uint8_t> ReadMaster(std::size_t count) {
        std::vector<std::uint8_t> got;
        while (got.size() < count) {
            pollfd wait{master, POLLIN, 0};
            if (poll(&wait, 1, 2000) <= 0) {
                break;
            }
            std::uint8_t buffer[512];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }
};

TEST(PosixSerialPort, CarriesEveryByteValueBothWaysOverAPty) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    PosixSerialPort port;
    ASSERT_TRUE(port.Open(pty.slave)) << port.LastError();
    std::vector<std::uint8_t> all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<std::uint8_t>(b));
    }
    ASSERT_TRUE(port.Write(all));
    EXPECT_EQ(pty.ReadMaster(all.size()), all);

    ASSERT_EQ(write(pty.master, all.data(), all.size()), 256);
    std::vector<std::uint8_t> got;
    std::uint8_t buffer[100];
    for (int reads = 0; got.size() < all.size() && reads < 100; ++reads) {
        const int n = port.Read(buffer, 1000);
        ASSERT_GE(n, 0);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, all);
    EXPECT_EQ(port.Read(buffer, 20), 0);  // nothing more: the wait ends empty
}

TEST(PosixSerialPort, OpenFailuresAreWindowsErrorCodes) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    PosixSerialPort first;
    ASSERT_TRUE(first.Open(pty.slave));
    struct Case {
        const char* name;
        std::string path;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"in use", pty.slave, qx::irda::PORT_ERROR_SHARING_VIOLATION},
        {"no such port", "/dev/no-such-serial-port", qx::irda::PORT_ERROR_FILE_NOT_FOUND},
        {"not a serial port", "/dev/null", qx::irda::PORT_ERROR_INVALID_FUNCTION},
    };
    for (const Case& c : cases) {
        PosixSerialPort port;
        EXPECT_FALSE(port.Open(c.path)) << c.name;
        EXPECT_EQ(port.LastError(), c.error) << c.name;
        EXPECT_FALSE(port.IsOpen()) << c.name;
    }
    first.Close();
    PosixSerialPort again;
    EXPECT_TRUE(again.Open(pty.slave)) << "free again once closed: " << again.LastError();
}

TEST(PosixSerialPort, RunsAt9600RawWhileOpenAndGivesTheLineSettingsBackAtClose) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    const int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(other, &before), 0);
    cfsetispeed(&before, B38400);
    cfsetospeed(&before, B38400);
    before.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(other, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(other, &before), 0);

    PosixSerialPort port;
    ASSERT_TRUE(port.Open(pty.slave)) << port.LastError();
    termios during{};
    ASSERT_EQ(tcgetattr(other, &during), 0);
    EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B9600));
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(during.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    port.Close();

    termios after{};
    ASSERT_EQ(tcgetattr(other, &after), 0);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B38400));
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    close(other);
}

TEST(PosixSerialPort, ALostDeviceOrAClosedPortFails) {
    PosixSerialPort port;
    std::uint8_t buffer[16];
    EXPECT_FALSE(port.Write(std::vector<std::uint8_t>{1}));
    EXPECT_EQ(port.LastError(), qx::irda::PORT_ERROR_INVALID_HANDLE);
    EXPECT_EQ(port.Read(buffer, 0), -1);
    {
        Pty pty;
        ASSERT_TRUE(port.Open(pty.slave));
    }
    // The other end is gone: a read fails rather than waiting or spinning.
    EXPECT_EQ(port.Read(buffer, 100), -1);
    EXPECT_EQ(port.LastError(), qx::irda::PORT_ERROR_GEN_FAILURE);
}

}  // namespace
