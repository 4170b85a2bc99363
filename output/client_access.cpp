#include "output/client_access.h"

#include <cstdio>

#include "platform/address_list.h"

namespace kormlink {

std::optional<std::string> NormalizeIp(std::string_view text) {
    const std::optional<std::uint32_t> address = parseIpv4(text);
    if (!address) return std::nullopt;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", *address >> 24, (*address >> 16) & 0xFF,
                  (*address >> 8) & 0xFF, *address & 0xFF);
    return std::string(buf);
}

bool IsClientAllowed(const IniFile& ini, std::string_view clientIp) {
    return AddressList::fromSection(ini, "CList").allows(clientIp);
}

bool IsUsableClientId(std::string_view id) {
    if (id.size() > kMaxClientIdBytes) return false;
    for (unsigned char c : id)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

Millis readClientSyncPeriod(const IniFile& ini) {
    return static_cast<Millis>(ini.readInteger("Out", "SyncP", 60)) * 60'000;
}

}  // namespace kormlink
