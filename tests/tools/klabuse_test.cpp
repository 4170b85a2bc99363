// The abuse probe against the program, one short scenario per case, so each stays well under
// the time a single test may take and the cases run in parallel.

#include <gtest/gtest.h>

#include "support/run_program.h"

#include <string>
#include <vector>

namespace {

class KlabuseQuick : public ::testing::TestWithParam<const char*> {};

TEST_P(KlabuseQuick, PassesAgainstTheProgram) {
    kormlink::test::Program p(
        KLABUSE_BINARY,
        {"--quick", "--json", "--kormlink", KORMLINK_BINARY, "--scenario", GetParam()}, "", {},
        true);
    const std::string out = p.out(60'000);
    EXPECT_EQ(p.wait(30'000), 0) << out;
    EXPECT_NE(out.find(std::string("{\"name\":\"") + GetParam() + "\",\"verdict\":\"pass\""),
              std::string::npos)
        << out;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, KlabuseQuick,
                         ::testing::Values("idle", "churn", "never-reads", "silent", "limits"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::erase(name, '-');
                             return name;
                         });

}  // namespace
