#include "app/link_choice.h"
#include "app/texts.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(LinkChoice, ComPortNames) {
    struct Case {
        const char* text;
        std::optional<std::string> port;
    };
    const Case cases[] = {
        {"COM1", "COM1"},         {"com5", "COM5"},          {"Com256", "COM256"},
        {"COM257", std::nullopt}, {"COM0", std::nullopt},    {"COM05", std::nullopt},
        {"COM", std::nullopt},    {"COM5 ", std::nullopt},   {" COM5", std::nullopt},
        {"LPT1", std::nullopt},   {"COM1000", std::nullopt}, {"\\\\.\\COM5", std::nullopt},
        {"COMx", std::nullopt},   {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseComPort(c.text), c.port) << c.text;
    }
}

TEST(LinkChoice, TheLoopbackWinsThenThePortThenWindowsIrda) {
    struct Case {
        std::optional<std::uint16_t> loopback;
        const char* port;
        LinkKind kind;
        std::string chosenPort;
        std::string caption;
    };
    const Case cases[] = {
        {std::nullopt, "", LinkKind::Winsock, "", ""},
        {std::nullopt, "com5", LinkKind::Serial, "COM5", " - IrDA on COM5"},
        {std::nullopt, "COM9x", LinkKind::InvalidPort, "COM9x", " - IrDA on COM9x"},
        {std::nullopt, "usb", LinkKind::Usb, "USB", " - IrDA on USB"},
        {std::nullopt, "USB:066f:4200", LinkKind::Usb, "USB:066F:4200", " - IrDA on USB"},
        {std::nullopt, "USB:66f:4200", LinkKind::InvalidPort, "USB:66f:4200", " - IrDA on USB:66f:4200"},
        {4321, "USB", LinkKind::Loopback, "", " - IrDA loopback 127.0.0.1:4321"},
        {4321, "COM5", LinkKind::Loopback, "", " - IrDA loopback 127.0.0.1:4321"},
        {4321, "", LinkKind::Loopback, "", " - IrDA loopback 127.0.0.1:4321"},
    };
    for (const Case& c : cases) {
        const LinkChoice choice = ChooseLink(c.loopback, c.port);
        EXPECT_EQ(choice.kind, c.kind) << c.port;
        EXPECT_EQ(choice.port, c.chosenPort) << c.port;
        EXPECT_EQ(LinkCaption(choice), c.caption) << c.port;
    }
}

TEST(LinkChoice, OnLinuxAPortIsADevicePathAndComNamesAreRefused) {
    struct Case {
        std::optional<std::uint16_t> loopback;
        std::string port;
        LinkKind kind;
        std::string chosenPort;
    };
    const Case cases[] = {
        {std::nullopt, "", LinkKind::Winsock, ""},
        {std::nullopt, "/dev/ttyUSB0", LinkKind::Serial, "/dev/ttyUSB0"},
        {std::nullopt, "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", LinkKind::Serial,
         "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"},
        {std::nullopt, "COM5", LinkKind::InvalidPort, "COM5"},
        {std::nullopt, "ttyUSB0", LinkKind::InvalidPort, "ttyUSB0"},
        {std::nullopt, "/", LinkKind::InvalidPort, "/"},
        {std::nullopt, std::string("/dev/tty\0S0", 11), LinkKind::InvalidPort,
         std::string("/dev/tty\0S0", 11)},
        {std::nullopt, "USB", LinkKind::Usb, "USB"},
        {std::nullopt, "usb:066f:4200", LinkKind::Usb, "USB:066F:4200"},
        {4321, "/dev/ttyUSB0", LinkKind::Loopback, ""},
    };
    for (const Case& c : cases) {
        const LinkChoice choice = ChooseLink(c.loopback, c.port, HostPlatform::Linux);
        EXPECT_EQ(choice.kind, c.kind) << c.port;
        EXPECT_EQ(choice.port, c.chosenPort) << c.port;
    }
    EXPECT_EQ(ParsePortName("COM5", HostPlatform::Windows), "COM5");
    EXPECT_EQ(ParsePortName("/dev/ttyUSB0", HostPlatform::Windows), std::nullopt);
}

TEST(LinkChoice, TheCaptionNamesTheDongleFound) {
    LinkChoice choice = ChooseLink(std::nullopt, "USB");
    choice.dongle = "STIr4200";
    EXPECT_EQ(LinkCaption(choice), " - IrDA on USB STIr4200");
}

TEST(LinkChoice, TheRussianCaptionIsInRussian) {
    LinkChoice dongle = ChooseLink(std::nullopt, "USB");
    dongle.dongle = "STIr4200";
    EXPECT_EQ(LinkCaption(ChooseLink(std::nullopt, "COM5"), LANGUAGE_RUSSIAN), " - IrDA через COM5");
    EXPECT_EQ(LinkCaption(dongle, LANGUAGE_RUSSIAN), " - IrDA через USB STIr4200");
    EXPECT_EQ(LinkCaption(ChooseLink(std::nullopt, "COM5"), LANGUAGE_ENGLISH), " - IrDA on COM5");
    EXPECT_EQ(LinkCaption(ChooseLink(std::nullopt, ""), LANGUAGE_RUSSIAN), "");
}

}  // namespace
}  // namespace qx
