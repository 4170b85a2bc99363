#pragma once

// Who may connect: the values of an INI section ([RList] for repeaters, [CList] for monitoring
// clients), each an IPv4 address "a.b.c.d" or a network "a.b.c.d/n"; the key names are free.
// No section, or an empty one, allows every address. A value that is neither allows nothing
// (the caller reports it), so a typing error never opens the port wider than meant.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ini.h"

namespace kormlink {

// Four decimal parts from 0 to 255 separated by "."; blanks around a part and leading zeros
// are allowed (192.168.001.010 is 192.168.1.10). The address in host order, or nullopt.
std::optional<std::uint32_t> parseIpv4(std::string_view text);

class AddressList {
public:
    // bad, when given, gets the values that are no address or network.
    static AddressList fromSection(const IniFile& ini, const std::string& section,
                                   std::vector<std::string>* bad = nullptr);

    bool allowsAll() const { return m_allowAll; }
    bool allows(std::uint32_t address) const;
    // A text that is no address is allowed only when every address is.
    bool allows(std::string_view dotted) const;

private:
    struct Network {
        std::uint32_t base, mask;
    };
    std::vector<Network> m_networks;
    bool m_allowAll = true;
};

}  // namespace kormlink
