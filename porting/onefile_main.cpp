// run_code for a program that defines main or wmain, and the payload
// directory. Linked into the application's main library, which may be a
// C program linked by the C compiler: nothing here needs the C++ runtime
// library (no allocation through new, no guarded statics, no exceptions).
#include "onefile_main.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

// The program's entry point, whichever it defines: weak, so that a program
// with only one of them links, and the missing one reads as null.
extern "C" int main(int, char**) __attribute__((weak));
extern "C" int wmain(int, wchar_t**) __attribute__((weak));

namespace {

// Room for the longest path the system hands out, and its UTF-8 form.
constexpr DWORD path_capacity = 32768;
wchar_t directory_wide[path_capacity];
char directory_utf8[3 * path_capacity];
INIT_ONCE directory_once = INIT_ONCE_STATIC_INIT;

const wchar_t variable_name[] = L"TALMIR_ONEFILE_PAYLOAD_DIRECTORY";

// The directory of the module this code is linked into, which is the main
// library: the launcher unpacks the payload there and loads it from there.
BOOL CALLBACK find_directory(PINIT_ONCE, PVOID, PVOID*)
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&find_directory), &self)) {
        return TRUE;
    }
    // A path that fills the buffer may be cut short: then none is known.
    DWORD length = GetModuleFileNameW(self, directory_wide, path_capacity);
    if (length == 0 || length >= path_capacity) {
        directory_wide[0] = 0;
        return TRUE;
    }
    wchar_t* separator = wcsrchr(directory_wide, L'\\');
    if (separator == nullptr) {
        directory_wide[0] = 0;
        return TRUE;
    }
    *separator = 0;
    if (WideCharToMultiByte(CP_UTF8, 0, directory_wide, -1, directory_utf8, sizeof directory_utf8, nullptr,
                            nullptr) == 0) {
        directory_utf8[0] = 0;
    }
    return TRUE;
}

void know_directory()
{
    InitOnceExecuteOnce(&directory_once, find_directory, nullptr, nullptr);
}

// The arguments for the program, a copy of the launcher's (terminated by
// null, as a C runtime's are) whose argv[0] is the executable's file name
// (after the last separator of the path the launcher passes) in the payload
// directory. False when there is no memory for it.
bool program_arguments(int argc, wchar_t** argv, wchar_t*** arguments)
{
    const wchar_t* name = argv[0];
    for (const wchar_t* at = argv[0]; *at != 0; ++at) {
        if (*at == L'\\' || *at == L'/') {
            name = at + 1;
        }
    }
    size_t directory_length = wcslen(directory_wide);
    size_t name_length = wcslen(name);
    size_t pointers = (static_cast<size_t>(argc) + 1) * sizeof(wchar_t*);
    wchar_t** copy =
        static_cast<wchar_t**>(malloc(pointers + (directory_length + 1 + name_length + 1) * sizeof(wchar_t)));
    if (copy == nullptr) {
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        copy[i] = argv[i];
    }
    copy[argc] = nullptr;
    wchar_t* argv0 = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(copy) + pointers);
    wmemcpy(argv0, directory_wide, directory_length);
    argv0[directory_length] = L'\\';
    wmemcpy(argv0 + directory_length + 1, name, name_length + 1);
    copy[0] = directory_length != 0 ? argv0 : argv[0];
    *arguments = copy;
    return true;
}

// The arguments in UTF-8, in one block: the pointers (null-terminated) and
// then the text. An unpaired surrogate, which a Windows command line may
// hold, becomes U+FFFD.
char** utf8_arguments(int argc, wchar_t** argv)
{
    size_t bytes = 0;
    for (int i = 0; i < argc; ++i) {
        int length = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        if (length <= 0) {
            return nullptr;
        }
        bytes += static_cast<size_t>(length);
    }
    size_t pointers = (static_cast<size_t>(argc) + 1) * sizeof(char*);
    char** block = static_cast<char**>(malloc(pointers + bytes));
    if (block == nullptr) {
        return nullptr;
    }
    char* text = reinterpret_cast<char*>(block) + pointers;
    for (int i = 0; i < argc; ++i) {
        block[i] = text;
        int length = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text, static_cast<int>(bytes), nullptr, nullptr);
        text += length;
        bytes -= static_cast<size_t>(length);
    }
    block[argc] = nullptr;
    return block;
}

void complain(const char* text)
{
    fputs(text, stderr);
    fflush(stderr);
}

}  // namespace

extern "C" const wchar_t* onefile_payload_directory_w(void)
{
    know_directory();
    return directory_wide;
}

extern "C" const char* onefile_payload_directory(void)
{
    know_directory();
    return directory_utf8;
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv)
{
    know_directory();
    // Through the C runtime, so that the program's getenv sees it as well
    // as the programs it starts.
    if (directory_wide[0] != 0) {
        size_t length = wcslen(variable_name) + 1 + wcslen(directory_wide) + 1;
        wchar_t* setting = static_cast<wchar_t*>(malloc(length * sizeof(wchar_t)));
        if (setting != nullptr) {
            _snwprintf(setting, length, L"%ls=%ls", variable_name, directory_wide);
            _wputenv(setting);
            free(setting);
        }
    }
    if (argc < 1 || (wmain == nullptr && main == nullptr)) {
        complain(argc < 1 ? "onefile::main: no arguments\n"
                          : "onefile::main: the main library defines neither main nor wmain\n");
        return 2;
    }
    wchar_t** wide = nullptr;
    char** utf8 = nullptr;
    if (!program_arguments(argc, argv, &wide) || (wmain == nullptr && (utf8 = utf8_arguments(argc, wide)) == nullptr)) {
        complain("onefile::main: no memory for the arguments\n");
        return 2;
    }
    int status = wmain != nullptr ? wmain(argc, wide) : main(argc, utf8);
    // A return from main ends a program as exit() does, which flushes its
    // streams; the launcher's own end would flush only the streams of its
    // own C runtime, which need not be the program's.
    fflush(nullptr);
    return status;
}
