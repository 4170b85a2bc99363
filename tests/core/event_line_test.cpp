#include "core/event_line.h"

#include <gtest/gtest.h>

#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;

TEST(EventLine, FieldsAtTheirPositions) {
    EventFields f = parseEventFields(EventSpec{.digit39 = '0', .transmitter = "1aF", .kind = 'D',
                                               .repeaterId = "00a1b2"}.build());
    EXPECT_TRUE(f.hasIdWord);
    EXPECT_EQ(f.lineId, 0xA1B2u);
    EXPECT_EQ(f.transmitterId, 0x1AFu);
    EXPECT_EQ(f.kind, 5u);  // the low three bits of 'D'
    EXPECT_EQ(f.digit39, 0u);
    EXPECT_FALSE(f.isStatus());
}

TEST(EventLine, StatusLineNeedsKindZeroDigitZeroAndItsOwnLowByte) {
    const std::pair<void (*)(EventSpec&), bool> cases[] = {
        {[](EventSpec&) {}, true},
        {[](EventSpec& e) { e.kind = '8'; }, true},  // low three bits 0: the repeater's own
        {[](EventSpec& e) { e.transmitter = "0B3"; }, false},
        {[](EventSpec& e) { e.digit39 = '1'; }, false},
        {[](EventSpec& e) { e.repeaterId = "XYZ0B2"; }, false},  // the Id is no number
    };
    for (const auto& [change, status] : cases) {
        EventSpec e = EventSpec::status("00A1B2", "x");
        change(e);
        EXPECT_EQ(parseEventFields(e.build()).isStatus(), status) << e.build();
    }
}

TEST(EventLine, LinesWithoutAnIdWordOrWithShortFields) {
    EXPECT_FALSE(parseEventFields(std::string(72, 'C')).hasIdWord);
    EXPECT_FALSE(parseEventFields(" " + std::string(71, 'C')).hasIdWord);  // blank at position 1
    EXPECT_FALSE(hexAt("COM", 41, 3));
    EXPECT_FALSE(hexAt("0123", 0, 1));
    EXPECT_FALSE(parseHex("123456789"));
    EXPECT_EQ(parseHex("FFFFFFFF"), 0xFFFFFFFFu);
}

TEST(EventLine, NumberedLinesAndTrimming) {
    EXPECT_TRUE(isNumberedLine(EventSpec{.number = 1, .length = 74}.build()));
    EXPECT_FALSE(isNumberedLine(EventSpec{}.build()));
    EXPECT_FALSE(isNumberedLine("COM1#4"));                   // "#4" not at position 13
    EXPECT_FALSE(isNumberedLine("COM1-#4------#4"));          // the first "#4" decides
    EXPECT_FALSE(isNumberedLine("XOM1--------#4"));
    EXPECT_EQ(trimLine(std::string("\x01 \tCOM x\x1f\r\n ")), "COM x");
    EXPECT_EQ(trimLine("\xE9"), "\xE9");  // bytes above 127 are characters, not blanks
    for (std::size_t n : {71, 72, 73, 74, 75})
        EXPECT_EQ(hasValidEventLength(std::string(n, 'x')), n == 72 || n == 74) << n;
}

TEST(EventLine, ServerFormats) {
    LocalTime t{2026, 12, 5, 6, 2, 7};
    EXPECT_EQ(sysTimeCommand(t), "systime26,12,05,06,02,07");
    EXPECT_EQ(formatTimeStamp(t), "2026/12/05 06:02:07");
    EXPECT_EQ(hexId(0xA1B2), "A1B2");
    EXPECT_EQ(hexId(0), "0");
    EXPECT_EQ(connectionRecord(t, "Open", 0xA1B2, "10.1.2.3"), "12/05/26 06:02:07 Open 00A1B2 10.1.2.3");
    EXPECT_EQ(connectionRecord(t, "Close", 0x12345678, "ip"), "12/05/26 06:02:07 Close 12345678 ip");
}

}  // namespace
}  // namespace kormlink
