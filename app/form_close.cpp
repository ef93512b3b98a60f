#include "app/form_close.h"

namespace qx {

void CloseLinkAndSaveSettings(IrdaLink& link, Settings& settings, const std::string& directory) noexcept {
    link.CloseIfOpen();
    settings.SaveSettings(directory);
}

}  // namespace qx
