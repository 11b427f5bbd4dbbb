#include <gtest/gtest.h>

#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    // A plain process that sleeps, for tests that need one to stop.
    if (argc == 3 && wcscmp(argv[1], L"--sleep") == 0) {
        Sleep(wcstoul(argv[2], nullptr, 10));
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
