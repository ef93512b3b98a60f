#include "app/link_choice.h"

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

}  // namespace
}  // namespace qx
