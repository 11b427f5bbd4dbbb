#include "tool_test_support.h"

#include <bcrypt.h>
#include <imagehlp.h>

#include <algorithm>

#include "neutral/payload_image.h"
#include "tool_test_paths.h"

namespace {

std::wstring from_unix(const char* path)
{
    std::wstring wide = L"Z:" + to_wide(path);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

void make_directories(const std::wstring& path)
{
    size_t cut = path.rfind(L'\\');
    if (cut != std::wstring::npos && cut > 2 && !directory_exists(path.substr(0, cut))) {
        make_directories(path.substr(0, cut));
    }
    CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr);
}

BOOL CALLBACK collect_language(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR context)
{
    reinterpret_cast<std::vector<WORD>*>(context)->push_back(language);
    return TRUE;
}

std::wstring id_text(LPCWSTR id)
{
    return IS_INTRESOURCE(id) ? L"#" + std::to_wstring(reinterpret_cast<uintptr_t>(id)) : std::wstring(id);
}

BOOL CALLBACK collect_resource(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR context)
{
    HRSRC found = FindResourceExW(module, type, name, language);
    const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
    (*reinterpret_cast<std::map<std::wstring, std::string>*>(context))[id_text(type) + L"/" + id_text(name) + L"/" +
                                                                        std::to_wstring(language)] =
        std::string(data, SizeofResource(module, found));
    return TRUE;
}

BOOL CALLBACK collect_name(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context)
{
    return EnumResourceLanguagesW(module, type, name, collect_resource, context) || TRUE;
}

BOOL CALLBACK collect_type(HMODULE module, LPWSTR type, LONG_PTR context)
{
    return EnumResourceNamesW(module, type, collect_name, context) || TRUE;
}

}  // namespace

program_result run_tool(const std::vector<std::wstring>& arguments, const std::wstring& directory)
{
    std::vector<std::wstring> line = {L"onefile-pack"};
    line.insert(line.end(), arguments.begin(), arguments.end());
    program_options options;
    options.working_directory = directory;
    return run_program(pack_tool_path(), join_arguments(line), options);
}

std::wstring fixture_entry_path() { return from_unix(ONEFILE_TOOL_FIXTURE_ENTRY); }
std::wstring fixture_other_path() { return from_unix(ONEFILE_TOOL_FIXTURE_OTHER); }
std::wstring fixture_mangled_path() { return from_unix(ONEFILE_TOOL_FIXTURE_MANGLED); }
std::wstring fixture_runtime_path() { return from_unix(ONEFILE_TOOL_FIXTURE_RUNTIME); }

std::string fixture_entry_bytes()
{
    std::string bytes;
    read_file(fixture_entry_path(), &bytes);
    return bytes;
}

void put_file(const std::wstring& root, const std::wstring& relative, const std::string& bytes)
{
    std::wstring path = root + L"\\" + relative;
    make_directories(path.substr(0, path.rfind(L'\\')));
    write_file(L"\\\\?\\" + path, bytes);
}

void put_directory(const std::wstring& root, const std::wstring& relative)
{
    make_directories(root + L"\\" + relative);
}

bool read_payload_resource(const std::wstring& exe, std::string* bytes, std::vector<WORD>* languages)
{
    bytes->clear();
    languages->clear();
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        return false;
    }
    EnumResourceLanguagesW(module, RT_RCDATA, MAKEINTRESOURCEW(payload_resource_id), collect_language,
                           reinterpret_cast<LONG_PTR>(languages));
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(payload_resource_id), RT_RCDATA);
    bool ok = found != nullptr;
    if (ok) {
        const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
        bytes->assign(data, SizeofResource(module, found));
    }
    FreeLibrary(module);
    return ok;
}

std::map<std::wstring, std::string> all_resources(const std::wstring& exe)
{
    std::map<std::wstring, std::string> resources;
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module != nullptr) {
        EnumResourceTypesW(module, collect_type, reinterpret_cast<LONG_PTR>(&resources));
        FreeLibrary(module);
    }
    return resources;
}

bool checksum_matches(const std::wstring& exe)
{
    DWORD stored = 0;
    DWORD computed = 0;
    return MapFileAndCheckSumW(exe.c_str(), &stored, &computed) == CHECKSUM_SUCCESS && stored == computed &&
           stored != 0;
}

std::string system_sha256(const std::string& bytes)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::string digest(32, '\0');
    bool ok = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
              BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
              BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                             static_cast<ULONG>(bytes.size()), 0) == 0 &&
              BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(&digest[0]), 32, 0) == 0;
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    if (algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    return ok ? digest : std::string("the system computed no SHA-256");
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string patterned_bytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}
