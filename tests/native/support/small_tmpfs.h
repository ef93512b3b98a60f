// A small tmpfs mounted over a fresh temporary folder for a test that needs a full filesystem, and ways to
// fill it. Mounting needs root (or CAP_SYS_ADMIN): without it Mounted() is false and Why() says why, for the
// test to skip with.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace qxtest {

class SmallTmpfs {
  public:
    explicit SmallTmpfs(std::size_t kilobytes) {
        std::string pattern = (std::filesystem::temp_directory_path() / "qx2205r-full-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            why_ = std::string("mkdtemp: ") + std::strerror(errno);
            return;
        }
        path_ = pattern;
        const std::string options = "size=" + std::to_string(kilobytes) + "k,mode=0700";
        if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            why_ = "cannot mount a tmpfs on " + path_ + " (" + std::strerror(errno) +
                   "): the full-filesystem test needs root";
            return;
        }
        mounted_ = true;
    }
    ~SmallTmpfs() {
        if (mounted_) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
        if (!path_.empty()) {
            ::rmdir(path_.c_str());
        }
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    bool Mounted() const { return mounted_; }
    const std::string& Why() const { return why_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

    // Fills the filesystem with files of one page each until a write fails; returns how many were made.
    int Fill() {
        const std::vector<char> page(4096, 'x');
        int made = 0;
        for (;; ++made) {
            const std::string name = File("filler" + std::to_string(made));
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            if (fd < 0) {
                break;
            }
            const bool whole = ::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
            ::close(fd);
            if (!whole) {
                ::unlink(name.c_str());
                break;
            }
        }
        return made;
    }
    // Frees `count` pages that Fill took.
    void Free(int pages) {
        for (int i = 0; i < pages; ++i) {
            ::unlink(File("filler" + std::to_string(i)).c_str());
        }
    }

  private:
    std::string path_;
    std::string why_;
    bool mounted_ = false;
};

}  // namespace qxtest
