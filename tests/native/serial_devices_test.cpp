// The serial devices `ports` lists, from a tree made like /sys/class/tty and /dev: ttys with a device behind
// them, by their by-id names where they have one, the 8250 place-holders left out.
#include "posix/serial_devices.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qx {
namespace {

namespace fs = std::filesystem;

TEST(SerialDevices, TtysWithADeviceByTheirByIdNamesWithoutThePlaceHolders) {
    std::string pattern = (fs::temp_directory_path() / "qx2205r-tty-XXXXXX").string();
    const fs::path root = ::mkdtemp(pattern.data());
    const auto tty = [&](const std::string& name, const char* subsystem) {
        fs::create_directories(root / "sys/class/tty" / name);
        if (subsystem != nullptr) {
            fs::create_directories(root / "sys/bus" / subsystem);
            fs::create_directories(root / "sys/class/tty" / name / "device");
            fs::create_directory_symlink(root / "sys/bus" / subsystem,
                                         root / "sys/class/tty" / name / "device/subsystem");
        }
        fs::create_directories(root / "dev");
        std::ofstream(root / "dev" / name).put('\0');
    };
    tty("ttyUSB0", "usb-serial");
    tty("ttyUSB1", "usb-serial");
    tty("ttyACM0", "usb");
    tty("ttyS0", "pnp");       // a real built-in port
    tty("ttyS5", "platform");  // the 8250 driver's place-holder
    tty("tty3", nullptr);      // a virtual console
    tty("ttyS9", nullptr);     // no device behind it
    fs::create_directories(root / "dev/serial/by-id");
    fs::create_symlink("../../ttyUSB1", root / "dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0");
    fs::create_symlink("../../gone", root / "dev/serial/by-id/usb-dangling-if00-port0");

    const std::string r = root.string();
    EXPECT_EQ(ListSerialDevices(r),
              (std::vector<std::string>{r + "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0",
                                        r + "/dev/ttyACM0", r + "/dev/ttyS0", r + "/dev/ttyUSB0"}));
    fs::remove_all(root);
    EXPECT_TRUE(ListSerialDevices(r).empty());
}

}  // namespace
}  // namespace qx
