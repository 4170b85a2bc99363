#include "platform/address_list.h"

#include <charconv>

namespace kormlink {

std::optional<std::uint32_t> parseIpv4(std::string_view text) {
    std::uint32_t address = 0;
    for (int i = 0; i < 4; ++i) {
        std::string_view part = text;
        if (i < 3) {
            const std::size_t dot = text.find('.');
            if (dot == std::string_view::npos) return std::nullopt;
            part = text.substr(0, dot);
            text.remove_prefix(dot + 1);
        }
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
        unsigned value = 0;
        auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || ec != std::errc() || end != part.data() + part.size() || value > 255)
            return std::nullopt;
        address = (address << 8) | value;
    }
    return address;
}

AddressList AddressList::fromSection(const IniFile& ini, const std::string& section,
                                     std::vector<std::string>* bad) {
    AddressList list;
    for (const auto& [key, value] : ini.entries(section)) {
        list.m_allowAll = false;
        std::string_view text = value;
        std::uint32_t mask = 0xFFFFFFFFu;
        bool ok = true;
        if (const std::size_t slash = text.find('/'); slash != std::string_view::npos) {
            const std::string_view bits = text.substr(slash + 1);
            unsigned n = 0;
            auto [end, ec] = std::from_chars(bits.data(), bits.data() + bits.size(), n);
            ok = !bits.empty() && ec == std::errc() && end == bits.data() + bits.size() && n <= 32;
            mask = !ok || n == 0 ? 0 : 0xFFFFFFFFu << (32 - n);
            text = text.substr(0, slash);
        }
        const std::optional<std::uint32_t> address = ok ? parseIpv4(text) : std::nullopt;
        if (!address) {
            if (bad) bad->push_back(value);
            continue;
        }
        list.m_networks.push_back({*address & mask, mask});
    }
    return list;
}

bool AddressList::allows(std::uint32_t address) const {
    if (m_allowAll) return true;
    for (const Network& n : m_networks)
        if ((address & n.mask) == n.base) return true;
    return false;
}

bool AddressList::allows(std::string_view dotted) const {
    if (m_allowAll) return true;
    const std::optional<std::uint32_t> address = parseIpv4(dotted);
    return address && allows(*address);
}

}  // namespace kormlink
