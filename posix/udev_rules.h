// The udev rules the Linux package installs so that the user at the desk reaches a USB IrDA dongle without
// writing a rule: every id of the families' table and every device with a USB IrDA Bridge interface gets
// the uaccess tag, which hands its usbfs node to the logged-in user.
#pragma once

#include <string>

namespace qx::posix {

// Where the package puts them, under the installation prefix; a number below 73, where the tag is acted on.
inline constexpr const char* UDEV_RULES_FILE = "lib/udev/rules.d/70-qx2205r-irda-dongles.rules";

// The whole rules file.
std::string UdevRules();

}  // namespace qx::posix
