// UTF-8 <-> UTF-16 at the Windows edge: the program keeps its texts and paths in UTF-8 and hands them to the
// platform's W functions, so Cyrillic texts and paths outside the ANSI code page survive on every Windows.
#pragma once

#include <string>
#include <string_view>

namespace qx {

// Invalid sequences become U+FFFD rather than failing: a text for the screen or a path is still better shown
// or tried than dropped.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace qx
