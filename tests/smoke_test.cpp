// test-locks: registry
// The DLL loads as winmm loads it and answers the driver messages.
#include <gtest/gtest.h>
#include "support/support.h"

TEST(Smoke, DllLoadsAndAnswersDriverMessages)
{
    testsupport::DriverDll dll;
    ASSERT_TRUE(dll.Load());
    EXPECT_EQ(dll.Send(0), DefDriverProc(1, reinterpret_cast<HDRVR>(dll.module), 0, 0, 0));
}
