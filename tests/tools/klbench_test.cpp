// The benchmark against the program: a short run of two scenarios must give every figure a
// target (or none) and a verdict in its JSON, and a plot; a server that cannot start, or a
// broker that is not there, must make the run fail and say why. The figures themselves are
// never checked: they depend on the machine.

#include <gtest/gtest.h>

#include "support/run_program.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using kormlink::test::Program;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Klbench : ::testing::Test {
    Klbench() { std::filesystem::create_directories(m_dir); }
    ~Klbench() override { std::filesystem::remove_all(m_dir); }
    std::string file(const char* name) const { return (m_dir / name).string(); }
    const std::filesystem::path m_dir =
        std::filesystem::temp_directory_path() /
        ("klbench-test-" + std::to_string(::getpid()) + "-" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(Klbench, EveryFigureHasATargetAndAVerdict) {
    Program p(KLBENCH_BINARY,
              {"--quick", "--only", "limit,latency", "--server", KORMLINK_BINARY, "--dir",
               m_dir.string(), "--json", file("bench.json"), "--svg", file("latency.svg")},
              "", {}, true);
    const std::string out = p.out(60'000);
    ASSERT_EQ(p.wait(30'000), 0) << out;
    const std::string json = readFile(file("bench.json"));
    for (const char* part :
         {"\"cpu\":", "\"cores\":", "\"memory_kb\":", "\"kernel\":",
          "{\"name\":\"limit\",\"ran\":true", "{\"name\":\"latency\",\"ran\":true"})
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;

    // Each figure: a key, a value, a target (an object, or null) and a verdict that agrees.
    std::vector<std::string> keys;
    for (std::size_t at = json.find("{\"key\":"); at != std::string::npos;
         at = json.find("{\"key\":", at + 1)) {
        const std::string figure =
            json.substr(at, json.find('}', json.find("\"verdict\":", at)) - at);
        keys.push_back(figure.substr(8, figure.find('"', 8) - 8));
        EXPECT_NE(figure.find("\"value\":"), std::string::npos) << figure;
        const bool hasTarget = figure.find("\"target\":{\"op\":") != std::string::npos;
        EXPECT_TRUE(hasTarget || figure.find("\"target\":null") != std::string::npos) << figure;
        const std::string verdict = figure.substr(figure.find("\"verdict\":") + 11);
        EXPECT_TRUE(hasTarget ? verdict == "pass\"" || verdict == "fail\"" : verdict == "none\"")
            << figure;
    }
    for (const char* key : {"round_trips_per_s", "p50_ms", "p99_ms", "max_ms"})
        EXPECT_NE(std::find(keys.begin(), keys.end(), key), keys.end()) << key << "\n" << json;

    const std::string svg = readFile(file("latency.svg"));
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    for (const char* part : {"</svg>", "p99 target"}) EXPECT_NE(svg.find(part), std::string::npos);
    // The data folders are removed after a run that went through.
    for (const auto& entry : std::filesystem::directory_iterator(m_dir))
        EXPECT_NE(entry.path().filename().string().rfind("klbench-", 0), 0u) << entry.path();
}

TEST_F(Klbench, AServerThatDoesNotStartFailsTheRunAndTellsWhy) {
    const std::string fake = file("kormlink");
    std::ofstream(fake) << "#!/bin/sh\necho 'cannot read the configuration' >&2\nexit 3\n";
    std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
    Program p(KLBENCH_BINARY,
              {"--quick", "--only", "latency", "--server", fake, "--dir", m_dir.string(), "--json",
               file("bench.json")},
              "", {}, true);
    const std::string out = p.out(30'000);
    EXPECT_EQ(p.wait(30'000), 1) << out;
    EXPECT_NE(out.find("could not run: the server ended at start with status 3"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("cannot read the configuration"), std::string::npos) << out;
    EXPECT_NE(readFile(file("bench.json")).find("\"ran\":false"), std::string::npos);
}

TEST_F(Klbench, AMissingBrokerMakesItsScenarioOneThatCouldNotRun) {
    Program p(KLBENCH_BINARY,
              {"--quick", "--only", "broker", "--server", KORMLINK_BINARY, "--broker",
               file("no-such-broker"), "--dir", m_dir.string(), "--json", file("bench.json")},
              "", {}, true);
    const std::string out = p.out(30'000);
    EXPECT_EQ(p.wait(30'000), 1) << out;
    EXPECT_NE(out.find("could not run: " + file("no-such-broker") + ": not an executable file"),
              std::string::npos)
        << out;
    EXPECT_NE(readFile(file("bench.json")).find("{\"name\":\"broker\",\"ran\":false"),
              std::string::npos);
}

}  // namespace
