#include "real.h"

#include <gtest/gtest.h>

// A C library without one of the wrapped entries (an older or a different
// one) must get one clear line, not a call through a null pointer.
TEST(RealEntries, AnEntryTheCLibraryLacksIsNamedOnStandardError)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(real::lookup("porttest_no_such_entry"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "boardsim: the C library has no porttest_no_such_entry; calls to it fail with ENOSYS\n");
    EXPECT_NE(real::lookup("tcgetattr"), nullptr);
}
