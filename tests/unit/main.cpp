#include <gtest/gtest.h>

#include "support/process.h"

int wmain(int argc, wchar_t** argv)
{
    testing::InitGoogleTest(&argc, argv);
    enter_sentinel_directory();
    int status = RUN_ALL_TESTS();
    std::string changes = leave_sentinel_directory();
    if (!changes.empty()) {
        fprintf(stderr, "The test program's working directory changed:\n%s", changes.c_str());
        status = 1;
    }
    return status;
}
