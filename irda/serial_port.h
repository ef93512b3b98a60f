// The serial-port seam under the program's own IrDA stack: the few calls it makes on a COM port with a serial
// IrDA adapter. The Win32 comm API (win/), POSIX termios (posix/posix_serial_port.h) and the tests' scripted
// secondary implement it; errors come back as Windows error codes on every platform.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "irda/stack_clock.h"

namespace qx::irda {

// Discovery and connection set-up run at 9600 baud, and the stack never offers another rate, so no adapter
// ever needs a speed change. A later faster link changes the rate here, through a call added to this seam
// after the connection's negotiation; nothing else depends on the speed but the wire-time sums.
inline constexpr std::uint32_t SIR_CONTENTION_BAUD = 9600;

// Windows error codes the bindings report (the Win32 binding passes the system's own through).
inline constexpr std::uint32_t PORT_ERROR_INVALID_FUNCTION = 1;    // the device is not a serial port
inline constexpr std::uint32_t PORT_ERROR_FILE_NOT_FOUND = 2;      // no such port
inline constexpr std::uint32_t PORT_ERROR_ACCESS_DENIED = 5;       // in use by another program
inline constexpr std::uint32_t PORT_ERROR_INVALID_HANDLE = 6;      // the port is not open
inline constexpr std::uint32_t PORT_ERROR_GEN_FAILURE = 31;        // the device failed
inline constexpr std::uint32_t PORT_ERROR_SHARING_VIOLATION = 32;  // in use (POSIX: another holds its lock)
inline constexpr std::uint32_t PORT_ERROR_INVALID_NAME = 123;      // not a port name

// How the port's modem lines are set for the adapter behind it. Serial IrDA adapters take power and mode from
// DTR and RTS, and the families differ (Linux's dongle drivers): most (Tekram, ACTiSYS, GIrBIL, Litelink,
// MA600, ACT200L, old Belkin) want both on for power; the ESI-9680 runs at 9600 with DTR off and RTS on (both
// on is its 115200); an MCP2120 with both on is held in reset, both off is its normal mode. `none` leaves the
// lines as the port has them. Named in the settings' Adapter key and the console's --adapter.
enum class LineProfile { Power, Esi, Mcp2120, None };
inline constexpr LineProfile DEFAULT_LINE_PROFILE = LineProfile::Power;
struct LineProfileName {
    LineProfile profile;
    std::string_view name;
};
// The default first: the order in which a search of ports tries them.
inline constexpr std::array<LineProfileName, 4> LINE_PROFILES = {{{LineProfile::Power, "power"},
                                                                  {LineProfile::Esi, "esi"},
                                                                  {LineProfile::Mcp2120, "mcp2120"},
                                                                  {LineProfile::None, "none"}}};
// "power, esi, mcp2120, none": the values the key takes, for messages.
inline constexpr std::string_view LINE_PROFILE_VALUES = "power, esi, mcp2120, none";
struct LineLevels {
    bool dtr;
    bool rts;
};
// DTR and RTS as the profile sets them; nothing for `none`.
constexpr std::optional<LineLevels> LevelsOf(LineProfile profile) {
    switch (profile) {
        case LineProfile::Power:
            return LineLevels{true, true};
        case LineProfile::Esi:
            return LineLevels{false, true};
        case LineProfile::Mcp2120:
            return LineLevels{false, false};
        case LineProfile::None:
            break;
    }
    return std::nullopt;
}
// The profile a value names (in any letter case, no spaces around it), or nothing.
inline std::optional<LineProfile> ParseLineProfile(std::string_view value) {
    for (const LineProfileName& known : LINE_PROFILES) {
        bool same = known.name.size() == value.size();
        for (std::size_t i = 0; same && i < value.size(); ++i) {
            const char c = value[i];
            same = (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == known.name[i];
        }
        if (same) {
            return known.profile;
        }
    }
    return std::nullopt;
}
inline std::string_view NameOf(LineProfile profile) {
    for (const LineProfileName& known : LINE_PROFILES) {
        if (known.profile == profile) {
            return known.name;
        }
    }
    return {};
}

// How long a write may take beyond its bytes' own time on the wire: a port that cannot take a frame within
// about a second is a failed port (a wedged adapter or driver), not a slow one, and the run ends on it.
inline constexpr std::uint32_t PORT_WRITE_WAIT_MS = 1000;

class IrdaMedium;

class SerialPort {
  public:
    virtual ~SerialPort() = default;

    // Opens the named port for this program alone at 9600 baud, 8 data bits, no parity, 1 stop bit, raw, no
    // flow control, with DTR and RTS as LineProfileToUse() says (a port that cannot set them, such as a pty,
    // is still used). false with LastError() set when it cannot be opened.
    virtual bool Open(const std::string& name) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Writes all of `bytes` within PORT_WRITE_WAIT_MS plus their time on the wire; false with LastError() set
    // on failure, or when the port does not take them in that time.
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    // After a Write that failed: whether any of its bytes had been handed to the device (taken by the driver,
    // or in a transfer to a dongle, whatever that transfer's outcome): they may be on the air.
    virtual bool LastWriteHandedOver() const = 0;
    // Reads what has arrived, waiting at most `timeoutMs` for the first byte: the number of bytes read, 0
    // when nothing came within the wait, -1 with LastError() set on failure.
    virtual int Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) = 0;
    // The Windows error code of the last failed call.
    virtual std::uint32_t LastError() const = 0;
    // The system's own code of the last failed call where it is not LastError() itself (POSIX: the errno,
    // which LastError() folds into a kind), else 0.
    virtual int LastSystemError() const { return 0; }
    // While open: the frame medium of an adapter that frames for itself (a USB IrDA Bridge dongle), which
    // IrLAP then uses in place of SIR framing over Read and Write; nullptr for a byte stream.
    virtual IrdaMedium* FrameMedium() { return nullptr; }

    // The lines the next Open sets for the adapter (a port without modem lines ignores it).
    void SetLineProfile(LineProfile profile) { lineProfile_ = profile; }
    LineProfile LineProfileToUse() const { return lineProfile_; }

  private:
    LineProfile lineProfile_ = DEFAULT_LINE_PROFILE;
};

// A port that never opens, failing with one Windows error: what a Port value that names no port stands for.
class UnopenablePort : public SerialPort {
  public:
    explicit UnopenablePort(std::uint32_t error) : error_(error) {}
    bool Open(const std::string&) override { return false; }
    void Close() override {}
    bool IsOpen() const override { return false; }
    bool Write(std::span<const std::uint8_t>) override { return false; }
    bool LastWriteHandedOver() const override { return false; }
    int Read(std::span<std::uint8_t>, std::uint32_t) override { return -1; }
    std::uint32_t LastError() const override { return error_; }

  private:
    std::uint32_t error_;
};

// The milliseconds that `bytes` take on the wire at 9600 baud, 10 bits a byte, rounded up.
constexpr std::uint32_t WireMs(std::size_t bytes) {
    return static_cast<std::uint32_t>((bytes * 10 * 1000 + SIR_CONTENTION_BAUD - 1) / SIR_CONTENTION_BAUD);
}

}  // namespace qx::irda
