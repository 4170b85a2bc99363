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
    EXPECT_EQ(joinPath(".", "a"), "a");
    EXPECT_EQ(joinPath("", "a"), "a");
    EXPECT_EQ(joinPath("/d/", "a"), "/d/a");
    EXPECT_EQ(joinPath("/d", "a/b"), "/d/a/b");
}

}  // namespace
}  // namespace kormlink
