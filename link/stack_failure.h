// How the program's own IrDA stack failed, typed where it happened: the layer, what went wrong there, and the
// system's own error when the serial port failed. The socket seam still answers with Winsock codes, which the
// link expects; this travels beside them, so that a missing COM port is not read as "no IrDA support".
#pragma once

#include <cstdint>
#include <string_view>

namespace qx {

enum class StackLayer { Port, Irlap, Irlmp, Ias, TinyTp };

enum class StackStatus {
    OpenFailed,       // the port could not be opened; systemError says why (2: not there, 5: in use)
    PortFailed,       // the open port failed under the run (the adapter went away); systemError says how
    Timeout,          // the peer did not answer within the layer's retries
    Refused,          // the peer refused the connection (DM, a disconnect instead of a confirm)
    Reset,            // the peer ended the connection or reported a frame error
    NotConnected,     // no connection to use
    NoSuchClass,      // IAS: the device has no such class: it is not the instrument
    NoSuchAttribute,  // IAS: the class has no TinyTP port
    Malformed,        // IAS: an answer that could not be read
    MediumBusy,       // IrLAP: the medium stayed busy through the search, so no discovery went out
};

struct StackFailure {
    StackLayer layer = StackLayer::Port;
    StackStatus status = StackStatus::OpenFailed;
    std::uint32_t systemError = 0;  // the platform's error code (Windows' on every platform), else 0
    int platformError = 0;  // the system's own code behind it where that differs (POSIX errno), else 0

    bool operator==(const StackFailure&) const = default;
};

// Stable names for scripts: "port", "irlap", ...; "open_failed", "port_failed", ...
std::string_view LayerName(StackLayer layer);
std::string_view StackStatusName(StackStatus status);

}  // namespace qx
