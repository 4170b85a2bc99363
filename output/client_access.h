#pragma once

// Who may connect to the output port, and the client connection's own settings.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/ini.h"

namespace kormlink {

// Four decimal parts printed as "%d.%d.%d.%d", so 192.168.001.010 and 192.168.1.10 are equal.
// nullopt when a part is no number from 0 to 255 (10.0.0.266 is no address, not 10.0.0.10):
// such a text never matches.
std::optional<std::string> NormalizeIp(std::string_view text);

// True when section CList is absent or empty, or one of its values is the client's address or
// a network "a.b.c.d/n" that holds it (platform/address_list.h).
bool IsClientAllowed(const IniFile& ini, std::string_view clientIp);

// The longest channel Id a client may name. A longer one, or one holding a byte below 0x20 or
// 0x7F, is refused before it is written anywhere: no channel can be named so.
inline constexpr std::size_t kMaxClientIdBytes = 64;
bool IsUsableClientId(std::string_view id);

// Out/SyncP minutes as milliseconds; 0 or less switches the client's time sync off.
Millis readClientSyncPeriod(const IniFile& ini);

}  // namespace kormlink
