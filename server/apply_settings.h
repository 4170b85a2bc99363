#pragma once

// The settings dialog's OK sequence against the running server: the steps the settings model
// writes, with the stop and the new start between them.

#include <string>

#include "settings/settings_model.h"

namespace kormlink {

class Server;

// Refuses (returns false with the reason, nothing written or stopped) when settingsProblem finds
// one or the file cannot be written before the stop. A write failure after the stop is reported
// in error, and the server is started again all the same (returns false). Main thread only.
bool applySettings(Server& server, const SettingsForm& form, std::string* error);

}  // namespace kormlink
