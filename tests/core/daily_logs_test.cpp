#include "core/daily_logs.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/harness.h"

namespace kormlink {
namespace {

TEST(DailyLogs, PeriodDigitChangesOnThe10th20thAnd30th) {
    const std::tuple<int, int, int, const char*> cases[] = {
        {2026, 12, 9, "Kormlink/202612_1.log"}, {2026, 12, 10, "Kormlink/202612_2.log"},
        {2026, 3, 19, "Kormlink/202603_2.log"}, {2026, 3, 20, "Kormlink/202603_3.log"},
        {2026, 1, 29, "Kormlink/202601_3.log"}, {2027, 1, 31, "Kormlink/202701_4.log"}};
    for (const auto& [y, m, d, name] : cases)
        EXPECT_EQ(dailyLogName(DailyLog::Event, y, m, d), name) << m << "/" << d;
    EXPECT_EQ(dailyLogName(DailyLog::Status, 2026, 10, 1), "Kormlink/202610_1.slg");
    EXPECT_EQ(dailyLogName(DailyLog::Connection, 2026, 11, 30), "Kormlink_c/202611_4.log");
}

TEST(DailyLogs, AppendsLinesToTheFileOfTheMomentEvenWhenItIsMovedAndDropsThemWithoutAFolder) {
    test::TempDir dir;
    LocalTime now{2026, 12, 9, 23, 59, 59};
    DailyLogs logs(dir.path(), [&] { return now; });
    logs.WriteEventLog("line one");  // no folder yet: dropped, nothing created
    EXPECT_FALSE(dir.exists("Kormlink"));
    std::filesystem::create_directory(dir.file("Kormlink"));
    std::filesystem::create_directory(dir.file("Kormlink_c"));
    dir.write("Kormlink/202612_1.log", "earlier\r\n");
    logs.WriteEventLog("line two");
    logs.WriteStatusLog("short");
    now.day = 10;  // midnight passed: the next line goes to the next file
    logs.WriteEventLog("line three");
    logs.WriteConnectionLog("open");
    EXPECT_EQ(dir.read("Kormlink/202612_1.log"), "earlier\r\nline two\r\n");
    EXPECT_EQ(dir.read("Kormlink/202612_1.slg"), "short\r\n");
    EXPECT_EQ(dir.read("Kormlink/202612_2.log"), "line three\r\n");
    EXPECT_EQ(dir.read("Kormlink_c/202612_2.log"), "open\r\n");
    EXPECT_EQ(logs.EventLogName(), dir.file("Kormlink/202612_2.log"));

    // The operator moves the file away, then deletes its successor: no later line is lost.
    std::filesystem::rename(dir.file("Kormlink/202612_2.log"), dir.file("moved.log"));
    logs.WriteEventLog("line four");
    std::filesystem::remove(dir.file("Kormlink/202612_2.log"));
    logs.WriteEventLog("line five");
    EXPECT_EQ(dir.read("moved.log"), "line three\r\n");
    EXPECT_EQ(dir.read("Kormlink/202612_2.log"), "line five\r\n");
}

}  // namespace
}  // namespace kormlink
