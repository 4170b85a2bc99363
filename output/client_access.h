#pragma once

// Who may connect to the output port, and the client connection's own settings.

#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/ini.h"

namespace kormlink {

// Splits at the first three "." into four decimal parts, keeps the low 8 bits of each and prints
// them as "%d.%d.%d.%d", so 192.168.001.010 and 192.168.1.10 are equal. nullopt when there are
// fewer than three "." or a part is no number: such a text never matches.
std::optional<std::string> NormalizeIp(std::string_view text);

// True when section CList is absent or empty, or one of its values (in file order) normalises
// to the same address as the client's.
bool IsClientAllowed(const IniFile& ini, std::string_view clientIp);

// Out/SyncP minutes as milliseconds; 0 or less switches the client's time sync off.
Millis readClientSyncPeriod(const IniFile& ini);

}  // namespace kormlink
