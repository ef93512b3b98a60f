#include "win/win32_serial_port.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Win32SerialPort, OpenFailuresKeepTheSystemsErrorCode) {
    struct Case {
        const char* name;
        std::string port;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"no such port", "COM250", qx::irda::PORT_ERROR_FILE_NOT_FOUND},
        {"no such port, lower case", "com251", qx::irda::PORT_ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        qx::Win32SerialPort port;
        EXPECT_FALSE(port.Open(c.port)) << c.name;
        EXPECT_EQ(port.LastError(), c.error) << c.name;
        EXPECT_FALSE(port.IsOpen()) << c.name;
    }
}

TEST(Win32SerialPort, ADeviceThatIsNoSerialPortIsRefused) {
    qx::Win32SerialPort port;
    EXPECT_FALSE(port.Open("NUL"));
    EXPECT_NE(port.LastError(), 0u);
    EXPECT_FALSE(port.IsOpen());
}

TEST(Win32SerialPort, CallsOnAClosedPortFail) {
    qx::Win32SerialPort port;
    std::vector<std::uint8_t> buffer(8);
    EXPECT_FALSE(port.Write(buffer));
    EXPECT_EQ(port.LastError(), qx::irda::PORT_ERROR_INVALID_HANDLE);
    EXPECT_EQ(port.Read(buffer, 0), -1);
    EXPECT_EQ(port.LastError(), qx::irda::PORT_ERROR_INVALID_HANDLE);
}

}  // namespace
