#include "core/event_line.h"

#include <gtest/gtest.h>

#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;

TEST(EventLine, FieldsAtTheirPositions) {
    const EventFields f = parseEventFields(EventSpec{
        .digit39 = '0', .transmitter = "1aF", .kind = 'D', .repeaterId = "00a1b2"}.build());
    // Kind 5: the low three bits of 'D'.
    EXPECT_EQ(std::tuple(f.hasIdWord, f.lineId, f.transmitterId, f.kind, f.digit39, f.isStatus()),
              std::tuple(true, 0xA1B2u, 0x1AFu, 5u, 0u, false));
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
    // "#4" not at position 13; the first "#4" decides; no "COM".
    for (const char* line : {"COM1#4", "COM1-#4------#4", "XOM1--------#4"})
        EXPECT_FALSE(isNumberedLine(line)) << line;
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
}

}  // namespace
}  // namespace kormlink
