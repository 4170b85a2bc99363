#include "output/client_access.h"

#include <charconv>
#include <cstdio>

namespace kormlink {

std::optional<std::string> NormalizeIp(std::string_view text) {
    unsigned parts[4];
    for (int i = 0; i < 4; ++i) {
        std::string_view part = text;
        if (i < 3) {
            std::size_t dot = text.find('.');
            if (dot == std::string_view::npos) return std::nullopt;
            part = text.substr(0, dot);
            text.remove_prefix(dot + 1);
        }
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
        unsigned long value = 0;
        auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || ec != std::errc() || end != part.data() + part.size()) return std::nullopt;
        parts[i] = static_cast<unsigned>(value & 0xFF);
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
    return std::string(buf);
}

bool IsClientAllowed(const IniFile& ini, std::string_view clientIp) {
    const auto allowed = ini.entries("CList");
    if (allowed.empty()) return true;
    const auto client = NormalizeIp(clientIp);
    if (!client) return false;
    for (const auto& [key, value] : allowed)
        if (NormalizeIp(value) == client) return true;
    return false;
}

Millis readClientSyncPeriod(const IniFile& ini) {
    return static_cast<Millis>(ini.readInteger("Out", "SyncP", 60)) * 60'000;
}

}  // namespace kormlink
