// Scratch folders and whole-file reads and writes for the tests that use the platform's real files.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "win/wide_text.h"

namespace qx {

// A fresh folder under the user's temporary folder (its name ends in `name`, when given: Windows drops a
// trailing space), removed with everything in it at the end of the test, read-only files included.
class TempFolder {
  public:
    explicit TempFolder(const std::wstring& name = L"") {
        static int counter = 0;
        std::wstring temp(MAX_PATH + 1, L'\0');
        temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
        path_ =
            std::filesystem::path(temp) / (L"qx2205r " + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                           std::to_wstring(++counter) + (name.empty() ? L"" : L" " + name));
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // As the program's folder is given to the settings: UTF-8, ending in a separator.
    std::string Directory() const { return Narrow(path_.wstring()) + "\\"; }
    std::string File(const std::string& name) const { return Narrow((path_ / Widen(name)).wstring()); }

  private:
    std::filesystem::path path_;
};

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(std::filesystem::path(Widen(path)), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(std::filesystem::path(Widen(path)), std::ios::binary) << bytes;
}

}  // namespace qx
