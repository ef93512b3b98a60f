// Any settings value text: the program's reading of it as an integer agrees with an independent reading, and
// a number it reads comes back the same from its own decimal form.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/settings.h"
#include "support/reference_integer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto value = qx::ParseProfileInteger(text);
    const auto reference = qx::fuzz::ReferenceProfileInteger(text);
    if (value != reference) {
        std::fprintf(stderr, "\"%.*s\": read as %s, expected %s\n",
                     static_cast<int>(std::min<std::size_t>(size, 80)), text.data(),
                     value ? std::to_string(*value).c_str() : "nothing",
                     reference ? std::to_string(*reference).c_str() : "nothing");
        std::abort();
    }
    if (value && qx::ParseProfileInteger(std::to_string(*value)) != value) {
        std::fprintf(stderr, "%d does not survive its decimal form\n", *value);
        std::abort();
    }
    return 0;
}
