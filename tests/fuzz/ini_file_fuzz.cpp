// Any file as the Linux console program's INI binding reads and writes it: a read never fails and gives at
// most the caller's room; after use-port writes the Port key, the key reads back as written, every other key
// of another section reads as before, and the Language key too.
//
// Input: the file's bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/settings.h"
#include "posix/ini_profile_calls.h"
#include "support/broken_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qx;
    fuzz::BrokenRules broken;
    const std::string before(reinterpret_cast<const char*>(data), size);
    const std::string port = "/dev/serial/by-id/usb-x-if00-port0";

    const std::string language = ProfileValueIn(before, "Parameters", "Language", PROFILE_READ_LIMIT);
    const std::string other = ProfileValueIn(before, "Other", "Kept", PROFILE_READ_LIMIT);
    broken.Expect(ProfileValueIn(before, "Parameters", "Language", 3).size() <= 3 * 4,
                  "a read past its room");

    const std::string after = ProfileWithValue(before, "Parameters", "Port", port);
    broken.Expect(ProfileValueIn(after, "Parameters", "Port", PROFILE_READ_LIMIT) == port,
                  "the Port written reads back as \"" +
                      ProfileValueIn(after, "Parameters", "Port", PROFILE_READ_LIMIT).substr(0, 60) + "\"");
    broken.Expect(ProfileHasSection(after, "Parameters"), "no Parameters section after the write");
    broken.Expect(ProfileValueIn(after, "Other", "Kept", PROFILE_READ_LIMIT) == other,
                  "another section's key changed");
    broken.Expect(ProfileValueIn(after, "Parameters", "Language", PROFILE_READ_LIMIT) == language,
                  "the Language key changed");
    broken.AbortIfAny();
    return 0;
}
