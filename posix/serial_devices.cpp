#include "posix/serial_devices.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

namespace qx {
namespace {

namespace fs = std::filesystem;

bool IsSerialName(const std::string& name) {
    for (const char* prefix :
         {"ttyS", "ttyUSB", "ttyACM", "ttyAMA", "ttyO", "ttySAC", "ttyMFD", "ttyXRUSB"}) {
        if (name.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> ListSerialDevices(const std::string& root) {
    std::error_code ignored;
    // The by-id link of each device, by the device it leads to.
    std::map<std::string, std::string> byId;
    const fs::path idFolder = fs::path(root + "/dev/serial/by-id");
    for (const fs::directory_entry& link : fs::directory_iterator(idFolder, ignored)) {
        std::error_code error;
        const fs::path target = fs::canonical(link.path(), error);
        if (!error) {
            const std::string name = target.filename().string();
            const std::string path = link.path().string();
            // Two links to one device (rare): the first by name, so that the list stays the same.
            if (auto found = byId.find(name); found == byId.end() || path < found->second) {
                byId[name] = path;
            }
        }
    }
    std::vector<std::string> devices;
    for (const fs::directory_entry& tty :
         fs::directory_iterator(fs::path(root + "/sys/class/tty"), ignored)) {
        const std::string name = tty.path().filename().string();
        const fs::path device = tty.path() / "device";
        if (!IsSerialName(name) || !fs::exists(device, ignored)) {
            continue;
        }
        std::error_code error;
        const fs::path subsystem = fs::canonical(device / "subsystem", error);
        if (name.starts_with("ttyS") && !error && subsystem.filename() == "platform") {
            continue;
        }
        const auto id = byId.find(name);
        devices.push_back(id != byId.end() ? id->second : root + "/dev/" + name);
    }
    std::sort(devices.begin(), devices.end());
    return devices;
}

}  // namespace qx
