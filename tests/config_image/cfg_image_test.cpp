#include "config_image/cfg_image.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kormlink {
namespace {

TEST(TextToNumber, DecimalHexSignsAndMalformedTexts) {
    bool ok = false;
    EXPECT_EQ(textToNumber("  300", &ok), 300);
    EXPECT_TRUE(ok);
    EXPECT_EQ(textToNumber("$1f", &ok), 31);
    EXPECT_EQ(textToNumber("", &ok), 0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(textToNumber("-5"), -5);
    EXPECT_EQ(textToNumber("12x", &ok), 12);
    EXPECT_FALSE(ok);
    EXPECT_EQ(textToNumber("$", &ok), 0);
    EXPECT_FALSE(ok);
    // The most negative 64-bit text must not overflow on negation.
    EXPECT_EQ(textToNumber("-9223372036854775808"), INT64_MIN);
}

}  // namespace
}  // namespace kormlink
