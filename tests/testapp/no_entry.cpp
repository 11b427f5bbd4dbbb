// Loads like any library but exports no run_code.
extern "C" __declspec(dllexport) int something_else(int value)
{
    return value + 1;
}
