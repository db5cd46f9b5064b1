// One instance per working directory: a second claim of the same directory is refused, a claim of
// another directory is not, even when the two paths differ only where a name could blur them.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_dir.h"

namespace {

TEST(Process, ADirectoryIsClaimedOnceAndOthersStayFree) {
    ScopedTestDir dir;
    std::filesystem::create_directories("a/b");
    std::filesystem::create_directories("a_b");
    const std::filesystem::path top = std::filesystem::current_path();

    std::filesystem::current_path(top / "a" / "b");
    EXPECT_EQ(process_claim_instance(), 1);
    EXPECT_EQ(process_claim_instance(), 0);  // the claim lasts while the process runs

    std::filesystem::current_path(top / "a_b");
    EXPECT_EQ(process_claim_instance(), 1);
    EXPECT_EQ(process_claim_instance(), 0);
    std::filesystem::current_path(top);
}

}  // namespace
