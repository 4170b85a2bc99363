// The command-line parser the tools share: what it refuses, and in which tool's words; and
// where the load tools find the programs they start.

#include "program_path.h"
#include "tool_options.h"

#include <gtest/gtest.h>
#include <unistd.h>

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

// The load tools' search for the server: installed, the tools' own folder is called kormlink,
// which is no program, and the server is in the programs folder beside lib/.
TEST(ProgramPath, BesideThenTheBuildFolderThenTheInstalledProgramsThenPath) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("kl-path-" + std::to_string(::getpid()));
    const struct {
        std::vector<std::string> files;  // under root; "-" before a name: not executable
        std::string toolDir;
        std::vector<std::string> path;  // PATH's folders under root
        std::string found;
    } cases[] = {
        {{"build/kormlink", "build/tools/kormlink"}, "build/tools", {}, "build/tools/kormlink"},
        {{"build/kormlink", "-build/tools/kormlink"}, "build/tools", {}, "build/kormlink"},
        {{"usr/bin/kormlink", "path/kormlink"}, "usr/lib/kormlink", {"path"}, "usr/bin/kormlink"},
        {{"path/kormlink"}, "usr/lib/kormlink", {"nowhere", "path"}, "path/kormlink"},
        {{"-path/kormlink"}, "usr/lib/kormlink", {"path"}, ""},
    };
    for (const auto& c : cases) {
        fs::remove_all(root);
        fs::create_directories(root / "usr/lib/kormlink");
        for (std::string f : c.files) {
            const bool executable = f[0] != '-';
            if (!executable) f.erase(0, 1);
            fs::create_directories((root / f).parent_path());
            std::ofstream(root / f) << "#!/bin/sh\n";
            fs::permissions(root / f, executable ? fs::perms::owner_all : fs::perms::owner_read);
        }
        std::string path;  // with an empty entry first, which is not the current folder
        for (const std::string& d : c.path) path += ":" + (root / d).string();
        const std::string found = sim::findProgram("kormlink", (root / c.toolDir).string(), path);
        EXPECT_EQ(found, c.found.empty() ? "" : (root / c.found).string()) << c.toolDir;
    }
    fs::remove_all(root);
}

}  // namespace
}  // namespace kormlink
