// What closing the main window does besides destroying it: a link that is still open is closed first (with
// its pause), and only then is the language written back to the settings file.
#pragma once

#include <string>

#include "app/settings.h"
#include "link/irda_link.h"

namespace qx {

// `directory` is the program's folder, as SaveSettings takes it. Raises nothing.
void CloseLinkAndSaveSettings(IrdaLink& link, Settings& settings, const std::string& directory) noexcept;

}  // namespace qx
