// The allow lists: addresses and networks, and values that allow nothing.

#include "platform/address_list.h"

#include <gtest/gtest.h>

namespace kormlink {
namespace {

TEST(AddressList, AddressesNetworksAndValuesThatAllowNothing) {
    EXPECT_EQ(parseIpv4(" 192.168.001.010"), 0xC0A8010Au);
    for (const char* bad : {"10.0.0.266", "10.0.0", "10.0.0.1.2", "10.0.0.-1", "a.b.c.d", ""})
        EXPECT_EQ(parseIpv4(bad), std::nullopt) << bad;

    EXPECT_TRUE(AddressList::fromSection(IniFile::parse("[RList]\n"), "RList").allows("1.2.3.4"));
    std::vector<std::string> bad;
    const AddressList list = AddressList::fromSection(
        IniFile::parse("[RList]\na=10.1.2.3\nnat=192.168.0.0/16\nx=10.0.0.266\ny=1.2.3.4/33\n"),
        "RList", &bad);
    EXPECT_EQ(bad, (std::vector<std::string>{"10.0.0.266", "1.2.3.4/33"}));
    const std::pair<const char*, bool> cases[] = {
        {"10.1.2.3", true},     {"10.1.2.4", false},  {"192.168.77.1", true},
        {"192.169.0.1", false}, {"10.0.0.10", false}, {"no address", false}};
    for (const auto& [address, allowed] : cases) EXPECT_EQ(list.allows(address), allowed) << address;
    EXPECT_TRUE(AddressList::fromSection(IniFile::parse("[C]\nall=0.0.0.0/0\n"), "C").allows("8.8.8.8"));
}

}  // namespace
}  // namespace kormlink
