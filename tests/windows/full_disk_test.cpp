// The settings file on a disk with no room left, through the platform's real profile functions: a write that
// does not fit leaves the file byte for byte as it was and is reported as failed. The disk is a 64 KB tmpfs
// that the test run mounts (small_disk.sh) and Wine shows on its Z: drive.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/settings.h"
#include "temp_folder.h"
#include "win/private_profile_calls.h"
#include "win/wide_text.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

const std::string FILLER = "filler";

// The small filesystem, emptied for each test, and ways to fill it with files of one page each.
class SmallDisk {
  public:
    SmallDisk() {
        std::string unixPath = QX_SMALL_DISK;
        std::replace(unixPath.begin(), unixPath.end(), '/', '\\');
        folder_ = "Z:" + unixPath;
        ULARGE_INTEGER total{};
        if (!GetDiskFreeSpaceExW(Widen(folder_).c_str(), nullptr, &total, nullptr) ||
            total.QuadPart > 1024 * 1024) {
            why_ = "no small filesystem is mounted at " + folder_ +
                   " (the test run mounts one with tests/windows/small_disk.sh, as root)";
            return;
        }
        Empty();
    }
    ~SmallDisk() { Empty(); }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool Usable() const { return why_.empty(); }
    const std::string& Why() const { return why_; }
    std::string Directory() const { return folder_ + "\\"; }
    std::string File(const std::string& name) const { return Directory() + name; }

    // Writes files of one page until the disk refuses one.
    void Fill() {
        const std::vector<char> page(4096, 'x');
        for (;; ++pages_) {
            const std::wstring name = Widen(File(FILLER + std::to_string(pages_)));
            const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                return;
            }
            DWORD written = 0;
            const bool whole =
                WriteFile(file, page.data(), static_cast<DWORD>(page.size()), &written, nullptr) &&
                written == page.size();
            CloseHandle(file);
            if (!whole) {
                DeleteFileW(name.c_str());
                return;
            }
        }
    }
    // Gives back `count` of the pages Fill took.
    void Free(int count) {
        for (int i = 0; i < count && pages_ > 0; ++i) {
            DeleteFileW(Widen(File(FILLER + std::to_string(--pages_))).c_str());
        }
    }
    int Pages() const { return pages_; }

    // The names in the folder other than the fillers.
    std::vector<std::string> Others() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(fs::path(Widen(folder_)))) {
            const std::string name = Narrow(entry.path().filename().wstring());
            if (!name.starts_with(FILLER)) {
                names.push_back(name);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    void Empty() {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(fs::path(Widen(folder_)), ignored)) {
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
            fs::remove_all(entry.path(), ignored);
        }
        pages_ = 0;
    }

    std::string folder_;
    std::string why_;
    int pages_ = 0;
};

const std::string BEFORE = "[Parameters]\r\nLanguage=1\r\nPort=COM5\r\n[Other]\r\nX=y\r\n";
// Three pages: more than the disk has left in every case.
const std::string LONG_PORT(3 * 4096, 'P');

TEST(SettingsOnAFullDisk, AUsePortThatDoesNotFitLeavesTheFileWholeAndSaysSo) {
    const struct {
        const char* name;
        int freed;  // pages given back after filling the disk
    } cases[] = {
        {"no room even for a copy of the file", 0},
        {"room for a copy, not for the new value", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SmallDisk disk;
        if (!disk.Usable()) {
            GTEST_SKIP() << disk.Why();
        }
        const std::string path = disk.File("QX2205R.ini");
        WriteBytes(path, BEFORE);
        disk.Fill();
        ASSERT_GT(disk.Pages(), 0);
        disk.Free(c.freed);

        PrivateProfileCalls calls(L"\"QX2205R.exe\"");
        Settings settings(calls);
        EXPECT_EQ(settings.StorePort(disk.Directory(), path, LONG_PORT), Settings::PortStore::WriteFailed);
        const std::string after = ReadBytes(path);
        EXPECT_EQ(after.size(), BEFORE.size());
        EXPECT_TRUE(after == BEFORE) << "the file now holds " << after.size() << " bytes, starting "
                                     << after.substr(0, 80);
        EXPECT_EQ(disk.Others(), std::vector<std::string>{"QX2205R.ini"});

        // With room again the same write goes through: the full disk was all that stood in its way.
        disk.Free(disk.Pages());
        EXPECT_EQ(settings.StorePort(disk.Directory(), path, LONG_PORT), Settings::PortStore::Stored);
        EXPECT_EQ(calls.ReadString(path, "Parameters", "Port", LONG_PORT.size() + 1), LONG_PORT);
        EXPECT_EQ(calls.ReadString(path, "Other", "X", 10), "y");
        EXPECT_EQ(disk.Others(), std::vector<std::string>{"QX2205R.ini"});
    }
}

}  // namespace
}  // namespace qx
