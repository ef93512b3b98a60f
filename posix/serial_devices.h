// The serial devices present on a Linux machine, for `ports`: each tty that the kernel says has a device
// behind it (/sys/class/tty/NAME/device), named by its /dev/serial/by-id/ link where it has one (that name
// stays the same whichever order adapters are plugged in), else by /dev/NAME. The 8250 driver's place-holders
// (ttyS ports of the platform bus with no port behind them) are left out, as udev leaves them out of by-id.
#pragma once

#include <string>
#include <vector>

#include "app/console_program.h"

namespace qx {

// `root` is prefixed to /sys and /dev (empty: the machine's own), so the tests can hand in a tree of their
// own. Sorted by name.
std::vector<std::string> ListSerialDevices(const std::string& root = {});

// What stat says of `path` (followed through links), its group's name and whether this process carries
// that group now (getgroups) or its user would at a new login (getgrouplist).
PortFile InspectPort(const std::string& path);

}  // namespace qx
