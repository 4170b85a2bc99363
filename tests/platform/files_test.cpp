#include "platform/files.h"

#include <gtest/gtest.h>

#include "support/harness.h"

namespace kormlink {
namespace {

TEST(Files, AtomicReplaceLeavesOldFileWhenItCannotWrite) {
    test::TempDir dir;
    dir.write("q.out", "keep\r\n");
    ASSERT_TRUE(replaceFileAtomically(dir.file("q.out"), "new\r\n"));
    EXPECT_EQ(dir.read("q.out"), "new\r\n");
    std::string error;
    EXPECT_FALSE(replaceFileAtomically(dir.file("nowhere/q.out"), "x", &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos);
    EXPECT_EQ(dir.read("q.out"), "new\r\n");
}

TEST(Files, JoinPath) {
    for (const auto& [dir, name, path] : {std::tuple{".", "a", "a"}, {"", "a", "a"},
                                          {"/d/", "a", "/d/a"}, {"/d", "a/b", "/d/a/b"}})
        EXPECT_EQ(joinPath(dir, name), path) << dir << " " << name;
}

}  // namespace
}  // namespace kormlink
