#include "posix/serial_devices.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

PortFile InspectPort(const std::string& path) {
    PortFile file;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        const char* name = strerrorname_np(errno);
        file.errorName = name != nullptr ? name : std::to_string(errno);
        return file;
    }
    file.kind = S_ISCHR(status.st_mode)   ? PortFile::Kind::Device
                : S_ISDIR(status.st_mode) ? PortFile::Kind::Folder
                                          : PortFile::Kind::Other;
    file.groupMayUse = (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (const group* owner = ::getgrgid(status.st_gid); owner != nullptr) {
        file.group = owner->gr_name;
    }
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(count > 0 ? count : 0));
    if (count > 0 && ::getgroups(count, groups.data()) == count) {
        file.processInGroup = std::find(groups.begin(), groups.end(), status.st_gid) != groups.end();
    }
    file.processInGroup = file.processInGroup || ::getegid() == status.st_gid;
    if (const passwd* user = ::getpwuid(::geteuid()); user != nullptr) {
        int listed = 64;
        std::vector<gid_t> login(static_cast<std::size_t>(listed));
        if (::getgrouplist(user->pw_name, user->pw_gid, login.data(), &listed) < 0 && listed > 0) {
            login.resize(static_cast<std::size_t>(listed));
            ::getgrouplist(user->pw_name, user->pw_gid, login.data(), &listed);
        }
        login.resize(static_cast<std::size_t>(std::max(listed, 0)));
        file.userInGroup = std::find(login.begin(), login.end(), status.st_gid) != login.end();
    }
    return file;
}

}  // namespace qx
