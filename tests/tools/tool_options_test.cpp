// The command-line parser the tools share: what it refuses, and in which tool's words; and
// where the load tools find the programs they start.

#include "program_path.h"
#include "tool_options.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kormlink {
namespace {

TEST(ToolOptions, RefusesWhatTheTableDoesNotTakeInTheToolsWords) {
    using sim::Wording;
    const struct {
        Wording wording;
        std::vector<std::string> args;
        int code;
        std::string err;  // "U" stands for the usage text
    } cases[] = {
        {Wording::kOptionLast, {"--port", "7", "--quiet"}, -1, ""},
        {Wording::kOptionLast, {"--port=7", "--host="}, -1, ""},
        {Wording::kOptionLast, {"--port", "7", "--help", "--bogus"}, 0, ""},
        {Wording::kOptionLast, {"--bogus=1"}, 2, "t: unknown option --bogus=1\nU"},
        {Wording::kOptionLast, {"--hos", "x"}, 2, "t: unknown option --hos\nU"},
        {Wording::kOptionLast, {"--quiet=1"}, 2, "t: unknown option --quiet=1\nU"},
        {Wording::kOptionLast, {"x"}, 2, "t: unknown option x\nU"},
        {Wording::kOptionLast, {"--", "--quiet"}, 2, "t: unknown option --\nU"},
        {Wording::kOptionLast, {"-hq"}, 2, "t: unknown option -hq\nU"},
        {Wording::kOptionLast, {"--host"}, 2, "t: --host needs a value\n"},
        {Wording::kOptionLast, {"--port", "0"}, 2, "t: bad value for --port: 0\nU"},
        {Wording::kOptionFirst, {"--port=nan"}, 2, "t: --port: needs a number from 1 to 65535\nU"},
        {Wording::kOptionFirst, {"--bogus"}, 2, "t: --bogus: unknown option\nU"},
        {Wording::kOptionFirst, {"--port"}, 2, "t: --port: needs a value\n"},
    };
    for (const auto& c : cases) {
        std::string host;
        int port = 0;
        bool quiet = false;
        const sim::ToolCommandLine line{
            .program = "t",
            .usage = "U",
            .options = {sim::text("host", host), sim::number("port", port, 1, 65535),
                        sim::flag("quiet", quiet)},
            .wording = c.wording,
            .usageAfterMissingValue = false};
        std::vector<std::string> words = c.args;
        words.insert(words.begin(), "t");
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int code = sim::parseToolOptions(line, static_cast<int>(words.size()), argv.data());
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(code, c.code) << c.args[0];
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err) << c.args[0];
        EXPECT_EQ(out, c.code == 0 ? "U" : "") << c.args[0];
        EXPECT_TRUE(code != -1 || port == 7) << c.args[0];
    }
}

// The load tools' search: installed, their own folder is called kormlink, which is no program.
TEST(ProgramPath, BesideThenTheBuildFolderThenTheInstalledProgramsThenPath) {
    namespace fs = std::filesystem;
    const struct {
        std::vector<std::string> files;  // under root; "-" first: not executable
        std::string toolDir, found;      // PATH: ":" (empty, not ".") then root/nowhere, root/path
    } cases[] = {
        {{"b/kormlink", "b/tools/kormlink"}, "b/tools", "b/tools/kormlink"},
        {{"b/kormlink", "-b/tools/kormlink"}, "b/tools", "b/kormlink"},
        {{"usr/bin/kormlink", "path/kormlink"}, "usr/lib/kormlink", "usr/bin/kormlink"},
        {{"path/kormlink"}, "usr/lib/kormlink", "path/kormlink"},
        {{"-path/kormlink"}, "usr/lib/kormlink", ""},
    };
    for (const auto& c : cases) {
        const test::TempDir dir;
        const fs::path root = dir.path();
        fs::create_directories(root / "usr/lib/kormlink");
        for (const std::string& f : c.files) {
            const fs::path p = root / (f[0] == '-' ? f.substr(1) : f);
            fs::create_directories(p.parent_path());
            std::ofstream(p) << "#!/bin/sh\n";
            fs::permissions(p, f[0] == '-' ? fs::perms::owner_read : fs::perms::owner_all);
        }
        const std::string path = ":" + (root / "nowhere").string() + ":" + (root / "path").string();
        EXPECT_EQ(sim::findProgram("kormlink", (root / c.toolDir).string(), path),
                  c.found.empty() ? "" : (root / c.found).string()) << c.toolDir;
    }
}

}  // namespace
}  // namespace kormlink
