// The consumer project's main library: reports what the payload delivered.
//   --exit N     return N
//   --list       every file below this library's directory, sorted
//   --show NAME  the first line of NAME, relative to this library's directory
//   --version    the build of this library (the tests edit it)
//   --where      this library's directory
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char library_version[] = "v1";

void print(const std::wstring& line)
{
    std::wstring text = line + L"\n";
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring own_directory()
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&own_directory), &self);
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\'));
}

void collect(const std::wstring& root, const std::wstring& prefix, std::vector<std::wstring>* names)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((root + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            collect(root + L"\\" + name, prefix + name + L"\\", names);
        } else {
            names->push_back(prefix + name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

std::wstring first_line(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return L"(missing)";
    }
    char bytes[256] = {};
    DWORD got = 0;
    ReadFile(file, bytes, sizeof bytes - 1, &got, nullptr);
    CloseHandle(file);
    std::string line(bytes, got);
    line = line.substr(0, line.find_first_of("\r\n"));
    return std::wstring(line.begin(), line.end());
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv)
{
    int status = 0;
    std::wstring directory = own_directory();
    for (int i = 1; i < argc; ++i) {
        std::wstring command = argv[i];
        std::wstring value = i + 1 < argc ? argv[i + 1] : L"";
        if (command == L"--exit") {
            status = _wtoi(value.c_str());
            ++i;
        } else if (command == L"--list") {
            std::vector<std::wstring> names;
            collect(directory, L"", &names);
            std::sort(names.begin(), names.end());
            for (const std::wstring& name : names) {
                print(L"file " + name);
            }
        } else if (command == L"--show") {
            print(L"show " + value + L": " + first_line(directory + L"\\" + value));
            ++i;
        } else if (command == L"--where") {
            print(L"where " + directory);
        } else if (command == L"--version") {
            print(L"version " + std::wstring(library_version, library_version + sizeof library_version - 1));
        } else {
            print(L"argument " + command);
        }
    }
    return status;
}
