// Entry of every test program: refuses to run outside the private network
// namespace, attaches the driver library's state, then runs the tests.
#include <gtest/gtest.h>
#include "tools/programs/program_common.h"

int main(int argc, char **argv)
{
    if (!InsidePrivateNamespace()) {
        fprintf(stderr, "refusing to run outside a private network namespace "
                        "(run through tools/test.sh or tools/in-netns.sh)\n");
        return 2;
    }
    if (!DriverProcessAttach(GetModuleHandleW(nullptr))) {
        fprintf(stderr, "driver attach failed\n");
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    DriverProcessDetach();
    return result;
}
