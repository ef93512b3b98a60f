#include "win/program_folder.h"

#include <windows.h>

#include "win/wide_text.h"

namespace qx {

std::wstring BesideProgram(const wchar_t* fileName) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    path.resize(path.find_last_of(L"\\/") + 1);
    return path + fileName;
}

std::string ProgramDirectory() {
    return Narrow(BesideProgram(L""));
}

}  // namespace qx
