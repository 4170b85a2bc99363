#include "platform/local_time.h"

#include <gtest/gtest.h>

namespace kormlink {
namespace {

TEST(LocalTime, DayCountStartsAtTheEndOf1899) {
    EXPECT_DOUBLE_EQ(dateTimeNumber({1899, 12, 30, 0, 0, 0}), 0.0);
    EXPECT_DOUBLE_EQ(dateTimeNumber({1900, 1, 1, 12, 0, 0}), 2.5);
    EXPECT_DOUBLE_EQ(dateTimeNumber({2026, 12, 5, 6, 0, 0}), 46361.25);
    EXPECT_EQ(formatDateTimeNumber(46361.25), "46361.25");
    EXPECT_EQ(formatDateTimeNumber(2.0), "2");
}

}  // namespace
}  // namespace kormlink
