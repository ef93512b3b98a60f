// Where the running program lies: its own folder is where it keeps its settings file and looks for the
// hook library, and nowhere else.
#pragma once

#include <string>

namespace qx {

// The full path of a file beside the running program, in UTF-16; empty when the platform gives no path.
std::wstring BesideProgram(const wchar_t* fileName);

// The folder of the program file, ending in a path separator (the argument LoadSettings and SaveSettings
// take), in UTF-8.
std::string ProgramDirectory();

}  // namespace qx
