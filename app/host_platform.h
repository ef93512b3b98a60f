// Which system a program runs on, where the core's words or rules differ by it: how a serial port is named
// (COM5 on Windows, a device path on Linux) and the advice the console gives (Device Manager on Windows, the
// dialout group and dmesg on Linux). The entry point says which; the core never guesses from its own build.
#pragma once

namespace qx {

enum class HostPlatform { Windows, Linux };

}  // namespace qx
