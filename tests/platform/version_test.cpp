// The product version text: what the build was made as, ready for the about box and the modem
// emulator's information line.
#include "platform/version.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// On Windows the test programs carry no version block, so this is the compiled-in fallback there;
// either way a text left over from before is replaced whole.
TEST(Version, ReadsTheProductVersion) {
    std::memset(version_text, 'x', sizeof version_text);
    (void)read_product_version();
    EXPECT_STREQ(version_text, "1.07");
}

}  // namespace
