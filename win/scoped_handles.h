// Small owners of the platform's handles and GDI objects: each is released with its own call when its owner
// goes, on every path.
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

namespace qx {

struct FontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
};
struct IconDeleter {
    void operator()(HICON icon) const { DestroyIcon(icon); }
};
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;
using IconHandle = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

// The screen's device context.
class ScreenDc {
  public:
    ScreenDc() : dc_(GetDC(nullptr)) {}
    ScreenDc(const ScreenDc&) = delete;
    ScreenDc& operator=(const ScreenDc&) = delete;
    ~ScreenDc() {
        if (dc_ != nullptr) {
            ReleaseDC(nullptr, dc_);
        }
    }
    HDC Get() const { return dc_; }

  private:
    HDC dc_;
};

// An object selected into a device context, the one it replaced selected back at the end.
class SelectedObject {
  public:
    SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;
    ~SelectedObject() { SelectObject(dc_, previous_); }

  private:
    HDC dc_;
    HGDIOBJ previous_;
};

// A file handle from CreateFile; INVALID_HANDLE_VALUE when the open failed.
class FileHandle {
  public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (Valid()) {
            CloseHandle(handle_);
        }
    }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

  private:
    HANDLE handle_;
};

}  // namespace qx
