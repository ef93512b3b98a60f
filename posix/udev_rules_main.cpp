// Writes the udev rules file to standard output, at build time, for the package.
#include <cstdio>

#include "posix/udev_rules.h"

int main() {
    const std::string text = qx::posix::UdevRules();
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
