// Which way a program reaches the instrument: the loopback emulation when its variable names a port (it wins
// over everything), else the program's own IrDA stack on the COM port that the settings' Port key or the
// console's --port names, else Windows' IrDA sockets. A Port value that names no COM port is kept as it is
// and makes every run fail at discovery with INVALID_PORT_ERROR.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/host_platform.h"
#include "irda/serial_port.h"

namespace qx {

inline constexpr std::string_view PORT_KEY = "Port";
// The key naming the adapter's line profile (irda/serial_port.h): power, esi, mcp2120 or none.
inline constexpr std::string_view ADAPTER_SETTING_KEY = "Adapter";
inline constexpr int COM_PORT_LAST = 256;
// Windows' ERROR_INVALID_NAME: the discovery error of a run whose Port value is not COM1 ... COM256.
inline constexpr int INVALID_PORT_ERROR = 123;

enum class LinkKind { Winsock, Loopback, Serial, Usb, InvalidPort };

struct LinkChoice {
    LinkKind kind = LinkKind::Winsock;
    std::optional<std::uint16_t> loopbackPort;  // Loopback
    std::string port;  // Serial: "COM1" ... "COM256"; Usb: "USB" or "USB:VVVV:PPPP"; InvalidPort: as given
    std::string
        dongle;  // Usb: the family of the dongle the value picks, once the platform looked ("STIr4200")
    std::string usbProblem{};  // Usb: why the USB library did not start, in its words; empty when it did
};

// Windows' ERROR_INVALID_PARAMETER: the discovery error of a window's run whose Adapter value names no
// profile.
inline constexpr int INVALID_ADAPTER_ERROR = 87;

// The line profile an Adapter value (the console's --adapter, else the settings' key) names: the default for
// an empty value, nothing for a value that names no profile.
std::optional<irda::LineProfile> ChooseLineProfile(std::string_view adapterSetting);

// "COMn" for n from 1 to 256 in any letter case, without leading zeros, as "COMn"; nothing for anything else.
std::optional<std::string> ParseComPort(std::string_view text);

// A device path for a serial port on Linux: an absolute path ("/dev/ttyUSB0", a "/dev/serial/by-id/" link),
// as given; nothing for anything else, COM5 included.
std::optional<std::string> ParseDevicePath(std::string_view text);
// The port name as `platform` names serial ports: ParseComPort on Windows, ParseDevicePath on Linux.
std::optional<std::string> ParsePortName(std::string_view text, HostPlatform platform);

// A value that names a way to the instrument: a serial port as ParsePortName takes it, or a USB dongle
// ("USB", "USB:VVVV:PPPP"); as the program writes it, or nothing.
std::optional<std::string> ParsePortValue(std::string_view text, HostPlatform platform);

// `portSetting`: the console's --port when given, else the settings' Port key (empty when absent). Without a
// port the link is Windows' IrDA sockets, which Linux has not: there the run fails at its first socket call.
LinkChoice ChooseLink(std::optional<std::uint16_t> loopbackPort, std::string_view portSetting,
                      HostPlatform platform = HostPlatform::Windows);

// What the window's caption adds to the program's name: " - IrDA on COM5", " - IrDA on USB STIr4200" (" -
// IrDA on USB" when no dongle was found), " - IrDA loopback 127.0.0.1:PORT", or nothing for Windows' own
// IrDA; in Russian for LANGUAGE_RUSSIAN.
std::string LinkCaption(const LinkChoice& choice, int language = 0);

}  // namespace qx
