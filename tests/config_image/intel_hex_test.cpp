#include "config_image/intel_hex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "support/harness.h"

namespace kormlink {
namespace {

// A data record built independently of the code under test.
std::string record(unsigned addr, const std::vector<std::uint8_t>& bytes, unsigned type = 0) {
    std::vector<unsigned> all = {static_cast<unsigned>(bytes.size()), addr >> 8, addr & 0xFF, type};
    all.insert(all.end(), bytes.begin(), bytes.end());
    std::string line = ":";
    unsigned sum = 0;
    char digits[3];
    for (unsigned b : all) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        line += digits;
        sum += b;
    }
    std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + digits;
}

void setPresent(tCfgImage& image, std::initializer_list<int> channels) {
    for (auto& flag : image.ChannelPresent) flag = 0;
    for (int k : channels) image.ChannelPresent[k - 1] = 1;
}

// n bytes counting up from `from`.
std::vector<std::uint8_t> counting(unsigned from, unsigned n) {
    std::vector<std::uint8_t> out(n);
    for (unsigned i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(from + i);
    return out;
}

TEST(IntelHexWrite, RecordsOfSixteenAndTheLastPlusOneRule) {
    const std::vector<std::uint8_t> ff(16, 0xFF), data = counting(0, 40);
    // A one-byte heap buffer: reading a second byte would be out of bounds.
    auto one = std::make_unique<std::uint8_t[]>(1);
    one[0] = 0xAB;
    const struct {
        unsigned first, last;
        const std::uint8_t* data;
        std::size_t size, start;
        std::vector<std::string> lines;
    } cases[] = {
        {0x1000, 0x100F, ff.data(), 16, 0, {":10100000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF0"}},
        {0x12C0, 0x12C0, ff.data(), 16, 0, {":0212C000FFFF2E"}},
        {0x0100, 0x011F, data.data(), 40, 0,
         {record(0x0100, counting(0, 16)), record(0x0110, counting(16, 16))}},
        {0x0200, 0x0210, data.data(), 40, 3,
         {record(0x0200, counting(3, 16)), record(0x0210, {19, 20})}},
        {0x1000, 0x1000, one.get(), 1, 0, {record(0x1000, {0xAB, 0xFF})}},
        {0x1010, 0x1010, one.get(), 1, 5, {record(0x1010, {0xFF, 0xFF})}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> lines;
        WriteHexRange(static_cast<std::uint16_t>(c.first), static_cast<std::uint16_t>(c.last),
                      c.data, c.size, c.start, lines);
        EXPECT_EQ(lines, c.lines) << std::hex << c.first;
    }
}

TEST(IntelHexBuild, PresentChannelsOnlyAndTheirRecordLayout) {
    tCfgImage image;
    auto build = [&image] {
        std::vector<std::string> lines;
        BuildImageHexLines(image, lines);
        return lines;
    };
    std::vector<std::string> lines = build();  // no channel: three areas, the end and the count
    ASSERT_EQ(lines.size(), 272u);
    EXPECT_EQ(lines[0], record(0x0000, std::vector<std::uint8_t>(16, 0)));
    // The last mask record, the general block's first, the network block's first and last.
    for (const auto& [at, head] : {std::pair{255, ":100FF000"}, {256, ":10100000"},
                                   {260, ":10110000"}, {269, ":10119000"}})
        EXPECT_EQ(lines[at].substr(0, 9), head);
    EXPECT_EQ(lines[270], ":00000001FF");
    EXPECT_EQ(lines[271], "C/271");

    for (int k = 1; k <= kChannels; ++k)
        for (std::size_t i = 0; i < kSlotRecSize; ++i)
            image.Slots[k - 1][i] = static_cast<std::uint8_t>(k * 16 + i);
    setPresent(image, {2, 5});
    lines = build();
    ASSERT_EQ(lines.size(), 271u + 22u + 1u);
    EXPECT_EQ(lines.back(), "C/293");
    // Channel 5's eleven records follow channel 2's.
    const unsigned b = slotBase(5);
    const tSlotRec& rec = image.Slots[4];
    auto bytes = [&rec](std::size_t from, std::size_t n) {
        return std::vector<std::uint8_t>(rec.begin() + from, rec.begin() + from + n);
    };
    const std::size_t at = 270 + 11;
    EXPECT_EQ(lines[at], record(b, bytes(0, 16)));
    EXPECT_EQ(lines[at + 4], record(b + 64, {rec[64], rec[65]}));
    EXPECT_EQ(lines[at + 5], record(b + 113, bytes(66, 16)));
    // b+178 gets a second copy of byte 131, b+186 gets byte 132.
    EXPECT_EQ(lines[at + 9], record(b + 177, {rec[130], rec[131]}));
    EXPECT_EQ(lines[at + 10], record(b + 185, {rec[131], rec[132]}));
    EXPECT_EQ(lines[at + 11], ":00000001FF");

    for (auto& flag : image.ChannelPresent) flag = 1;
    EXPECT_EQ(build().back(), "C/359");
}

TEST(IntelHexParse, DispatchSplitsAtAreaEdgesDropsGapsAndSkipsOtherLines) {
    tCfgImage image;
    image.fill(0x00);
    setPresent(image, {1});
    const unsigned b = slotBase(2);
    LoadImageLines(
        image,
        {
            record(0x0FFE, {0x11, 0x22, 0x33, 0x44}),  // mask table into general block
            // Lines that are no data record for 0x1000 leave general bytes 0-1 as stored above.
            ":00000001FF", "C/359", "", " " + record(0x1000, {0x12, 0x34}),
            record(0x1000, {0x12, 0x34}, 4),           // extended address record, would map
            record(0x1000, {0x12, 0x34}, 1),
            ":02100010123496",                         // type "10"
            ":0210000G1234B8",                         // type not hexadecimal
            ":0210000",                                // ends inside the type
            ":00100000F0",                             // no bytes
            ":",
            record(0x103E, {0x55, 0x66, 0x77}),        // general block into nothing
            record(0x119F, {0x88, 0x99}),              // network block's last byte, then a gap
            record(b + 64, {0xA1, 0xA2, 0xA3, 0xA4}),  // two bytes of the record, two into the gap
            record(b + 66, {1, 2, 3, 4, 5, 6, 7, 8}),  // gap only
            record(b + 177, {0xB1, 0xB2}),             // record byte 130, then the gap at b+178
            record(b + 185, {0xC1, 0xC2}),             // record byte 131, then b+186
            record(0xFFFF, {0xD1, 0xD2}),              // the address wraps to the mask table
            record(slotBase(8) + 1, {0x42}),           // absent channels take their bytes too
            ":03110a00abcdef55",                       // lower-case digits
            ":0110300042FF",                           // the checksum is not checked
        });
    // Exactly these bytes moved away from the 0xFF fill.
    tCfgImage expected;
    expected.fill(0xFF);
    expected.Mask[0xFFE] = 0x11, expected.Mask[0xFFF] = 0x22, expected.Mask[0] = 0xD2;
    expected.General[0] = 0x33, expected.General[1] = 0x44;
    expected.General[62] = 0x55, expected.General[63] = 0x66;
    expected.Network[159] = 0x88;
    expected.Slots[1][64] = 0xA1, expected.Slots[1][65] = 0xA2;
    expected.Slots[1][130] = 0xB1, expected.Slots[1][131] = 0xC1;
    expected.Slots[7][1] = 0x42;
    expected.Network[0x0A] = 0xAB, expected.Network[0x0B] = 0xCD, expected.Network[0x0C] = 0xEF;
    expected.General[0x30] = 0x42;
    EXPECT_EQ(image.Mask, expected.Mask);
    EXPECT_EQ(image.General, expected.General);
    EXPECT_EQ(image.Network, expected.Network);
    EXPECT_EQ(image.Slots, expected.Slots);
}

TEST(IntelHexParse, TruncatedLineNeverReadsPastItsEnd) {
    // The view ends inside a buffer that goes on with digits: a read past the view's end would
    // store them.
    const std::string buffer = ":10100000AABBCCDDEEFF";
    tCfgImage image;
    image.fill(0xFF);
    ParseHexLine(image, std::string_view(buffer).substr(0, 13));  // ":10100000AABB"
    ParseHexLine(image, std::string_view(":10102000AABBC"));      // half a byte at the end
    ParseHexLine(image, std::string_view(buffer).substr(0, 9));  // type "00" but no data
    const auto& g = image.General;
    const std::vector<std::uint8_t> stored = {0xAA, 0xBB, 0xFF};
    EXPECT_EQ(std::vector<std::uint8_t>(g.begin(), g.begin() + 3), stored);
    EXPECT_EQ(std::vector<std::uint8_t>(g.begin() + 0x20, g.begin() + 0x23), stored);
}

TEST(IntelHexFiles, SaveAndReadBackWithEveryLineEnd) {
    test::TempDir dir;
    ASSERT_TRUE(writeTextLines(dir.file("a.hex"), {":00000001FF", "", " x"}));
    EXPECT_EQ(dir.read("a.hex"), ":00000001FF\r\n\r\n x\r\n");
    EXPECT_EQ(readTextLines(dir.file("a.hex")),
              (std::vector<std::string>{":00000001FF", "", " x"}));

    dir.write("mixed.hex", "a\r\nb\nc\rd\r\r\n e \n\nlast");
    EXPECT_EQ(readTextLines(dir.file("mixed.hex")),
              (std::vector<std::string>{"a", "b", "c", "d", "", " e ", "", "last"}));
    EXPECT_TRUE(readTextLines(dir.file("missing.hex")).empty());

    std::string error;
    EXPECT_FALSE(writeTextLines(dir.file("no/such/dir.hex"), {"x"}, &error));
    EXPECT_FALSE(error.empty());
}

TEST(IntelHexCheck, GoodFilesPassAndTheFirstBadLineIsReported) {
    std::string reason = "stale";
    EXPECT_EQ(
        findBadHexLine({":020000040000FA", "", ":0212C000FFFF2E", "", ":00000001FF"}, &reason), 0u);
    EXPECT_TRUE(reason.empty());
    EXPECT_EQ(findBadHexLine({}), 0u);

    const struct {
        std::string line;
        std::string reason;
    } cases[] = {
        {"0212C000FFFF2E", "':'"},          {" :0212C000FFFF2E", "':'"},
        {":0212C000FFFF2E ", "character 16"}, {":0212C000FFXF2E", "character 12"},
        {":0212C000FFFF2", "odd"},          {":00000001", "short"},
        {":0312C000FFFF2E", "count"},       {":0112C000FFFF2E", "count"},
        {":0212C000FFFF2F", "checksum"},    {":0212c000ffff2e", ""},  // lower case is well-formed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::string reason;
        const std::size_t bad = findBadHexLine({":00000001FF", "", c.line, "junk"}, &reason);
        EXPECT_EQ(bad, c.reason.empty() ? 4u : 3u);
        EXPECT_TRUE(c.reason.empty() || reason.find(c.reason) != std::string::npos) << reason;
    }
}

}  // namespace
}  // namespace kormlink
