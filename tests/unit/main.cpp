#include <gtest/gtest.h>

#include <windows.h>
#include <wchar.h>

#include "support/process.h"

int wmain(int argc, wchar_t** argv)
{
    // A plain process that sleeps, for tests that need one to stop.
    if (argc == 3 && wcscmp(argv[1], L"--sleep") == 0) {
        Sleep(wcstoul(argv[2], nullptr, 10));
        return 0;
    }
    // A death test's own process runs in its parent's sentinel directory
    // and ends inside the test.
    bool death_test = false;
    for (int i = 1; i < argc; ++i) {
        death_test |= wcsncmp(argv[i], L"--gtest_internal_run_death_test", 31) == 0;
    }
    testing::InitGoogleTest(&argc, argv);
    if (death_test) {
        return RUN_ALL_TESTS();
    }
    enter_sentinel_directory();
    int status = RUN_ALL_TESTS();
    std::string changes = leave_sentinel_directory();
    if (!changes.empty()) {
        fprintf(stderr, "The test program's working directory changed:\n%s", changes.c_str());
        status = 1;
    }
    return status;
}
