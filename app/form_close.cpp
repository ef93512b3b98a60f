#include "app/form_close.h"

namespace qx {

void CloseLinkAndSaveSettings(IrdaLink& link, Settings& settings, const std::string& directory) noexcept {
    if (link.HasLink()) {
        link.CloseLink();
    }
    settings.SaveSettings(directory);
}

}  // namespace qx
