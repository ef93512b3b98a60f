#include "app/program_version.h"

#include "qx_build_info.h"

namespace qx {

std::string ProgramVersionText(std::string_view programName) {
    constexpr int BITS = static_cast<int>(sizeof(void*) * 8);
    return std::string(programName) + " " + QX_VERSION_TEXT + ", " + std::to_string(BITS) +
           "-bit build, commit " + QX_BUILD_COMMIT;
}

}  // namespace qx
