// What a program says when asked for its version: its name, the version, whether it is the 32-bit or the
// 64-bit build, and the commit it was built from, so that a service report names the exact build.
#pragma once

#include <string>
#include <string_view>

namespace qx {

// "QX2205R-cli 1.0.0, 32-bit build, commit 0123456789ab".
std::string ProgramVersionText(std::string_view programName);

}  // namespace qx
