// The example application's main library. The launcher's child loads it from
// the unpacked directory and calls run_code; what run_code returns becomes
// the exit status of hello.exe.
//
//   hello.exe [--exit N] [ARGUMENT ...]
//
// It prints its arguments, the four variables the launcher sets, and the
// greeting that the payload carries in data\greeting.txt.
#include <windows.h>
#include <errno.h>
#include <limits.h>
#include <wchar.h>

#include <string>

namespace {

// A console takes UTF-16 as it is; a pipe or a file gets UTF-8, which is what
// a program reading the output, or a Unix terminal behind Wine, expects.
void write_text(DWORD which, const std::wstring& text)
{
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) {
        return;
    }
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    if (size <= 0) {
        return;
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void print(const std::wstring& line)
{
    write_text(STD_OUTPUT_HANDLE, line + L"\n");
}

void print_error(const std::wstring& line)
{
    write_text(STD_ERROR_HANDLE, L"hello: " + line + L"\n");
}

// The directory this library was unpacked to, where the payload's other
// files are. The current directory is the caller's and says nothing about it.
std::wstring own_directory()
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&own_directory), &self)) {
        return L"";
    }
    // GetModuleFileNameW truncates without failing when the buffer is short,
    // so grow it until the name fits, up to the 32767 units a path can have.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return L"";
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        if (path.size() >= 32768) {
            return L"";
        }
        path.resize(path.size() * 2);
    }
    size_t separator = path.find_last_of(L'\\');
    return separator == std::wstring::npos ? L"" : path.substr(0, separator);
}

// A small UTF-8 text file, without its trailing line breaks.
bool read_text_file(const std::wstring& path, std::wstring* text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size = {};
    bool fits = GetFileSizeEx(file, &size) && size.QuadPart <= 65536;
    std::string bytes(fits ? static_cast<size_t>(size.QuadPart) : 0, '\0');
    DWORD got = 0;
    bool read = fits && (bytes.empty() || ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr));
    CloseHandle(file);
    if (!read || got != bytes.size()) {
        return false;
    }
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) {
        bytes.pop_back();
    }
    text->clear();
    if (bytes.empty()) {
        return true;
    }
    int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (units <= 0) {
        return false;
    }
    text->resize(static_cast<size_t>(units));
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &(*text)[0], units);
    return true;
}

std::wstring environment_value(const wchar_t* name)
{
    DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) {
        return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? L"(not set)" : L"";
    }
    std::wstring value(needed, L'\0');
    DWORD length = GetEnvironmentVariableW(name, &value[0], needed);
    value.resize(length < needed ? length : 0);
    return value;
}

// A whole decimal number that fits an int, and nothing else.
bool parse_status(const wchar_t* text, int* status)
{
    wchar_t* end = nullptr;
    errno = 0;
    long value = wcstol(text, &end, 10);
    if (end == text || *end != 0 || errno != 0 || value < INT_MIN || value > INT_MAX) {
        return false;
    }
    *status = static_cast<int>(value);
    return true;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--exit") != 0) {
            continue;
        }
        if (i + 1 >= argc || !parse_status(argv[i + 1], &status)) {
            print_error(L"--exit needs a whole number");
            return 2;
        }
        ++i;
    }

    print(L"Hello from hello.exe, " + std::to_wstring(argc) + L" arguments:");
    for (int i = 0; i < argc; ++i) {
        print(L"  argv[" + std::to_wstring(i) + L"] = " + argv[i]);
    }

    static const wchar_t* const names[] = {L"TALMIR_ONEFILE_PARENT", L"TALMIR_ONEFILE_START",
                                           L"TALMIR_ONEFILE_DIRECTORY", L"TALMIR_ORIGINAL_ARGV0",
                                           L"TALMIR_ONEFILE_PAYLOAD_DIRECTORY"};
    print(L"Set by the launcher:");
    for (const wchar_t* name : names) {
        print(std::wstring(L"  ") + name + L" = " + environment_value(name));
    }

    std::wstring directory = own_directory();
    print(L"Unpacked to: " + directory);
    std::wstring greeting;
    if (directory.empty() || !read_text_file(directory + L"\\data\\greeting.txt", &greeting)) {
        print_error(L"cannot read data\\greeting.txt next to the main library");
        return 1;
    }
    print(L"data\\greeting.txt says: " + greeting);
    print(L"Returning " + std::to_wstring(status));
    return status;
}
