#include "output/channels.h"

#include <gtest/gtest.h>

#include "core/event_line.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::queueTexts;

const LocalTime kNow{2026, 12, 6, 12, 0, 0};

std::string event(const std::string& tx, char kind = '1', char system = '1',
                  const std::string& stamp = "2026/12/06 11:59:00") {
    const std::string padded = tx.size() < 3 ? std::string(3 - tx.size(), '0') + tx : tx;
    return EventSpec{.system = system, .stamp = stamp, .transmitter = padded, .kind = kind}.build();
}

// Each field is cut to its width; a field that is no number reads as the digits before its
// first bad character; RptOn is exactly "1", and the last field is the rest of the text.
TEST(Filters, ParsedFieldByField) {
    const std::pair<const char*, const char*> cases[] = {
        {"10;20", "10;20;$00;$00;0"},
        {"0;4095;$1F;$03;1", "0;4095;$1F;$03;1"},
        {"70000;$1FFFF;$1ff;300;1 ", "4464;65535;$FF;$2C;0"},
        {"1;2;3;4;1;5", "1;2;$03;$04;0"},
        {"x;;$zz;4", "0;0;$00;$04;0"},
    };
    for (const auto& [text, fields] : cases)
        EXPECT_EQ(formatFilter(parseFilter(text)), fields) << text;
}

TEST(Routing, SystemNumberKindAndSlot) {
    auto e = decodeEvent(event("1A2", 'C', '3'));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->transmitterId, 0x1A2u);
    EXPECT_FALSE(e->repeaterEvent);  // C = 1100: low three bits 4
    EXPECT_EQ(e->systemNumber, 3);
    EXPECT_EQ(e->slotMask, 1 << 3);  // no "Slot": position 4 stands in

    EXPECT_TRUE(decodeEvent(event("123", '8'))->repeaterEvent);
    for (const auto& [digit, mask] : {std::pair{'5', 1 << 5}, {'8', 0}, {'9', 0}, {'x', 0}}) {
        std::string line = event("123");
        line.replace(4, 5, std::string("Slot") + digit);  // "Slot<digit>" at positions 5-9
        EXPECT_EQ(decodeEvent(line)->slotMask, mask) << digit;
    }

    // System 0: the number is the first two digits of a six-digit repeater Id.
    for (const auto& [id, number] : {std::pair{"12ABCD", 0x12}, {"2ABCD", 0}})
        EXPECT_EQ(decodeEvent(EventSpec{.system = '0', .repeaterId = id}.build())->systemNumber,
                  number) << id;

    std::string noColon = event("123");
    noColon[29] = '-';
    for (const std::string& bad : {event("G12"), event("123", 'Z'), event("123").substr(0, 61),
                                   noColon, "XOM" + event("123").substr(3)})
        EXPECT_FALSE(decodeEvent(bad)) << bad;  // no hex Id or kind, short, no stamp, no COM
}

TEST(Routing, FiltersMatchSystemRangeSlotsAndRepeaterEvents) {
    const EventKey tx{0x100, false, 1 << 2, 1};
    const EventKey rpt{0x0B2, true, 1 << 1, 1};
    EXPECT_TRUE(MatchChannel({parseFilter("0;4095;$01;$04;0")}, tx));
    EXPECT_FALSE(MatchChannel({parseFilter("0;4095;$02;$FF;1")}, tx));   // other system
    EXPECT_FALSE(MatchChannel({parseFilter("0;255;$01;$FF;0")}, tx));    // out of range
    EXPECT_FALSE(MatchChannel({parseFilter("0;4095;$01;$03;0")}, tx));   // other slots
    EXPECT_TRUE(
        MatchChannel({parseFilter("0;4095;$01;$03;0"), parseFilter("256;256;$01;$04;0")}, tx));
    // RptOn with an empty slot mask passes only repeater events of its system.
    EXPECT_TRUE(MatchChannel({parseFilter("0;0;$01;$00;1")}, rpt));
    EXPECT_FALSE(MatchChannel({parseFilter("0;0;$01;$00;1")}, tx));
    EXPECT_FALSE(MatchChannel({parseFilter("0;4095;$01;$FF;0")}, rpt));
    // Slot digits 8 and 9 pass no transmitter filter.
    EXPECT_FALSE(MatchChannel({parseFilter("0;4095;$01;$FF;0")}, EventKey{0x100, false, 0, 1}));
}

// More than a day off, or no date at all: the stamp becomes the time now.
TEST(Routing, StaleStampsAreRefreshed) {
    for (const auto& [stamp, stale] : {std::pair{"2026/12/03 10:00:00", true},
                                       {"2026/12/05 00:00:01", false},
                                       {"2026/12/07 23:59:59", false},
                                       {"2026/02/30 10:00:00", true}}) {
        std::string line = event("123", '1', '1', stamp);
        EXPECT_EQ(refreshTimeStamp(line, kNow), stale) << stamp;
        EXPECT_EQ(line.substr(16, 19), stale ? "2026/12/06 12:00:00" : stamp);
    }
}

TEST(Lifetime, StampsOlderThanTheLifetimeOrUnreadableAreNotAlive) {
    const double fourHours = 4.0 / 24.0;
    const std::pair<const char*, bool> stamps[] = {
        {"2026/12/06 08:00:01", true},  {"2026/12/06 07:59:59", false},
        {"2027/01/01 00:00:00", true},  {"2026/12/06 1x:00:00", false},
        {"2026/02/30 12:00:00", false},
    };
    for (const auto& [stamp, alive] : stamps)
        EXPECT_EQ(IsAlive(event("1", '1', '1', stamp), fourHours, kNow), alive) << stamp;
    EXPECT_FALSE(IsAlive("COM1", fourHours, kNow));

    EXPECT_DOUBLE_EQ(*parseTimeOfDay("4:00"), fourHours);
    EXPECT_DOUBLE_EQ(*parseTimeOfDay("1:30:36"), (3600 + 1800 + 36) / 86400.0);
    for (const char* bad : {"abc", "4", "25:00"}) EXPECT_FALSE(parseTimeOfDay(bad)) << bad;
    bool invalid = false;
    EXPECT_DOUBLE_EQ(readLifeTime(IniFile::parse("[Opt]\nLifeTime=0:00\n"), &invalid), fourHours);
    EXPECT_FALSE(invalid);
    EXPECT_DOUBLE_EQ(readLifeTime(IniFile::parse("[Opt]\nLifeTime=soon\n"), &invalid), fourHours);
    EXPECT_TRUE(invalid);
    EXPECT_DOUBLE_EQ(readLifeTime(IniFile::parse("[opt]\nlifetime=0:30\n")), 1.0 / 48);
}

class ChannelList : public ::testing::Test {
protected:
    std::unique_ptr<tOList> build(const std::string& ini, bool comOn = false) {
        return std::make_unique<tOList>(IniFile::parse(ini), dir.path(), comOn);
    }
    test::TempDir dir;
};

// QSize is read from the exact key; zero or negative keeps nothing, and routing must not fail.
// Channels sharing an Id share one queue file; an Id that is no file name is reported.
TEST_F(ChannelList, BuiltFromSectionsInOrderWithTheirKeysAndSavedByTheirIds) {
    auto list = build(
        "[Client_b]\nId=B\nQSize=abc\n[Com]\nId=ignored\nQSize=10\nFlt0=1;2\n[client_x]\nId=X\n"
        "[Client_a]\nid=A\nQSize=7\nFlt1=0;9;$01;$FF;1\nflt9=1;1\nFlt0=5;6\n"
        "[Client_n]\nId=N\nqsize=5\nQSize=-1\n[Client_z]\nId=Z\nQSize=0\n"
        "[Client_c]\nId=B\n[Client_d]\nId=no/such\n",
        true);
    ASSERT_EQ(list->size(), 7u);
    std::string channels;
    for (std::size_t i = 0; i < list->size(); ++i)
        channels += list->at(i).Id + "=" + std::to_string(list->at(i).QSize) + " ";
    EXPECT_EQ(channels, "Com=10 B=50 A=7 N=-1 Z=0 B=50 no/such=50 ");
    ASSERT_EQ(list->at(2).Filters.size(), 2u);  // "flt9" is not a filter key
    EXPECT_EQ(list->at(2).Filters[0].IdTo, 9);  // file order, not number order
    EXPECT_EQ(list->at(2).Filters[1].IdFrom, 5);
    std::string line = event("100");
    list->RouteEvent(line, true, kNow);
    EXPECT_TRUE(list->at(3).Queue.empty());
    EXPECT_TRUE(list->at(4).Queue.empty());
    testing::internal::CaptureStderr();
    EXPECT_EQ(list->SaveQueues(), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"no/such\" (1 lines)"), std::string::npos) << err;
    EXPECT_EQ(dir.read("B.out"), line + "\r\n" + line + "\r\n");
    EXPECT_EQ(list->size(), 0u);
}

TEST_F(ChannelList, TheDeliveredLineIsRemovedNotWhateverIsAtTheHead) {
    auto list = build("[Client0]\nId=A\nQSize=2\n");
    std::string a = event("1"), b = event("2"), c = event("3");
    list->RouteEvent(a, true, kNow);
    list->RouteEvent(b, true, kNow);
    tOList::Head delivered = list->FetchHead("A");
    EXPECT_EQ(delivered.text, a);
    list->RouteEvent(c, true, kNow);  // overflow drops a while it is out for delivery
    EXPECT_FALSE(list->RemoveLine("A", delivered.seq));
    EXPECT_EQ(queueTexts(list->at(0)), (std::vector<std::string>{b, c}));
    tOList::Head next = list->FetchHead("A");
    EXPECT_TRUE(list->RemoveLine("A", next.seq));
    EXPECT_FALSE(list->RemoveLine("A", next.seq));  // a second acknowledgement removes nothing
    EXPECT_EQ(queueTexts(list->at(0)), (std::vector<std::string>{c}));
    EXPECT_TRUE(list->FetchHead("nope").text.empty());
}

// Drops are counted by cause and told on stderr at once after a quiet minute, then at most once
// a minute with what came meanwhile; a count of nothing is never told. A repeat over TCP is
// dropped, compared on its telling positions only; one from the serial link is queued.
TEST_F(ChannelList, DroppedLinesAreCountedAndToldAtMostOnceAMinute) {
    auto list = build("[Opt]\nLifeTime=0:10\n[Client0]\nId=A\nQSize=2\n");
    const auto route = [&](std::string line, bool fromTcp = true) {
        list->RouteEvent(line, fromTcp, kNow);
    };
    const auto report = [&](Millis at) {
        testing::internal::CaptureStderr();
        list->reportDrops(at);
        return testing::internal::GetCapturedStderr();
    };
    for (const char* tx : {"1", "2", "3", "3"}) route(event(tx));  // one pushed out, one repeat
    std::string near = event("3");
    near[5] = 'Z';
    route(near);
    route(event("3"), false);  // a second one pushed out
    EXPECT_TRUE(list->RemoveLine("A", list->at(0).Queue.front().seq, /*expired=*/true));
    const std::string first = report(1000);
    for (const char* told : {"2 lines dropped in the last minute, queue full at QSize 2",
                             "1 line dropped in the last minute, older than LifeTime 0:10"})
        EXPECT_NE(first.find(std::string("channel A: ") + told), std::string::npos) << first;
    for (const char* tx : {"4", "5", "6"}) route(event(tx));
    EXPECT_EQ(report(30'000), "");  // within the minute: held back
    const std::string later = report(61'000);
    EXPECT_NE(later.find("channel A: 2 lines dropped in the last minute, queue full"),
              std::string::npos) << later;
    EXPECT_EQ(later.find("LifeTime"), std::string::npos) << later;
    EXPECT_EQ(report(200'000), "");  // nothing new
}

}  // namespace
}  // namespace kormlink
