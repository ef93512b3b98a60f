// What a run with the instrument came to, in the terms a technician acts on: how far it got, the device it
// talked to, the word it read and the word it sent, and whether the instrument acknowledged it. The run fills
// it as it goes and returns it to whoever started it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/device_frames.h"
#include "link/irda_link.h"
#include "link/stack_failure.h"

namespace qx {

enum class RunStage {
    Done,
    Cancelled,  // the user did not confirm: nothing was started              // the word was read (status) or
                // written and acknowledged (enable, disable)
    NoSockets,  // the socket library would not start
    SocketFailed,      // the IrDA socket could not be made
    SearchFailed,      // every discovery try failed
    NoDevice,          // discovery worked and listed no device
    ConnectFailed,     // the connect, or the greeting exchange, failed
    ReadFailed,        // the word could not be read; no write was sent
    NotWritten,        // the word was read and not a byte of the write went out (the run was stopped)
    WriteRefused,      // the instrument answered the write with its negative status
    WriteUnconfirmed,  // the write went out and no acknowledgement came back (the last)
};

inline constexpr std::size_t RUN_STAGE_COUNT = static_cast<std::size_t>(RunStage::WriteUnconfirmed) + 1;

// What the run learned of one device the discovery listed.
enum class DeviceRole {
    NotTried,    // not connected to (the run ended first, or the user named another)
    Used,        // the device the run connected to
    PassedOver,  // refused the connection: it offers no such service
    Instrument,  // took the connection as well, after the run: another instrument in range
    Failed,      // the connection failed on this device and the run ended there
};

struct ListedDevice {
    std::string name;  // as DeviceName prints it
    std::uint32_t address = 0;
    DeviceRole role = DeviceRole::NotTried;
    std::optional<ConfigWord> word;  // the word it holds, read by status --all
};

struct RunOutcome {
    RunStage stage = RunStage::Done;
    int code = 0;  // the link's or the platform's code where the failure was first seen, else 0
    std::optional<std::string> device;
    std::optional<ConfigWord> wordRead;
    std::optional<ConfigWord> wordSent;  // the word of a write that went out
    bool written = false;                // the instrument acknowledged wordSent
    // How the program's own IrDA stack failed where the run stopped, beside `code`; nothing over Winsock
    // and the emulation, or when the run did not end on a failure of the stack.
    std::optional<StackFailure> failure;
    // Every device the discovery listed, in its order, and what became of it.
    std::vector<ListedDevice> devices;
    // The device the user named, when it was not among them.
    std::optional<std::string> deviceAsked;
};

// The index in `devices` of the device the run used, if any.
std::optional<std::size_t> DeviceUsed(const RunOutcome& outcome);
// How many listed devices took the connection (the one used and other instruments found after the run).
std::size_t InstrumentsInRange(const RunOutcome& outcome);
// A device address as the program prints and takes it: "0x" and eight hex digits.
std::string DeviceAddressText(std::uint32_t address);

// Stable names for scripts: "done", "no_sockets", ... (from the outcome table)
std::string_view StageName(RunStage stage);

// A device's name as it may be printed: bytes outside printable ASCII (control characters, escape sequences,
// line ends) and the backslash appear as \xNN, so a name can neither forge output nor be mistaken.
std::string PrintableName(std::string_view name);

// A device record's name, up to its first zero byte; bytes outside printable ASCII appear as \xNN, so
// nothing of an unexpected name is lost or taken for something else.
std::string DeviceName(std::span<const std::uint8_t, DEVICE_RECORD_SIZE> record);

// The word the instrument holds as far as the run knows: the word acknowledged, else the word read when no
// write could have changed it; empty when a write went out unanswered or nothing was read.
std::optional<ConfigWord> WordHeld(const RunOutcome& outcome);

}  // namespace qx
