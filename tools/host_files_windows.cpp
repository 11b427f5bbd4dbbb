// The tool's files on Windows. Every path goes to the system in the "\\?\"
// form: it lifts the MAX_PATH (260) limit of the ANSI-era path parser, which
// deep input trees and long entry names would hit, and takes names as they
// are instead of stripping trailing dots and spaces.
#include <windows.h>

#include "neutral/utf.h"
#include "tools/host_files.h"

namespace {

std::wstring wide(const std::string& text)
{
    std::u16string units;
    utf16_from_utf8(text, &units);
    return std::wstring(units.begin(), units.end());
}

std::string narrow(const wchar_t* text)
{
    return utf8_from_utf16(reinterpret_cast<const char16_t*>(text));
}

// Length of the part of an absolute path that is never created: "C:\" or
// "\\server\share\".
size_t root_length(const std::string& full)
{
    if (full.size() >= 3 && full[1] == ':' && full[2] == '\\') {
        return 3;
    }
    if (full.compare(0, 2, "\\\\") == 0) {
        size_t server_end = full.find('\\', 2);
        if (server_end == std::string::npos) {
            return full.size();
        }
        size_t share_end = full.find('\\', server_end + 1);
        return share_end == std::string::npos ? full.size() : share_end + 1;
    }
    return 0;
}

std::wstring system_path(const std::string& full)
{
    if (full.compare(0, 4, "\\\\?\\") == 0 || full.compare(0, 4, "\\\\.\\") == 0) {
        return wide(full);
    }
    if (full.compare(0, 2, "\\\\") == 0) {
        return L"\\\\?\\UNC\\" + wide(full.substr(2));
    }
    return L"\\\\?\\" + wide(full);
}

HANDLE handle_of(const host_file* file)
{
    return reinterpret_cast<HANDLE>(file->handle);
}

host_error last_error()
{
    DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error;
}

void facts_of_handle(const BY_HANDLE_FILE_INFORMATION& information, host_file_facts* facts)
{
    facts->is_directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts->is_link = false;
    facts->size = (uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    facts->volume = information.dwVolumeSerialNumber;
    facts->index = (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
}

}  // namespace

const char host_separator = '\\';

bool host_error_is_not_found(host_error error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::string host_error_text(host_error error)
{
    if (error == ERROR_SUCCESS) {
        return "the system gave no reason";  // a call that failed without setting one
    }
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result;
    if (length != 0 && text != nullptr) {
        result = narrow(std::wstring(text, length).c_str());
        while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' ||
                                   result.back() == '.')) {
            result.pop_back();
        }
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    if (result.empty()) {
        result = "system error";
    }
    return result + " (error " + std::to_string(error) + ")";
}

bool host_full_path(const std::string& path, std::string* full, host_error* error)
{
    full->clear();
    if (path.empty()) {
        *error = ERROR_INVALID_NAME;
        return false;
    }
    // Paths past MAX_PATH are fine here: the size is asked for first.
    std::wstring given = wide(path);
    DWORD needed = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        *error = last_error();
        return false;
    }
    std::wstring result(needed, L'\0');
    DWORD length = GetFullPathNameW(given.c_str(), needed, &result[0], nullptr);
    if (length == 0 || length >= needed) {
        *error = last_error();
        return false;
    }
    result.resize(length);
    *full = narrow(result.c_str());
    return true;
}

std::string host_base_name(const std::string& full)
{
    size_t end = full.size();
    while (end > root_length(full) && (full[end - 1] == '\\' || full[end - 1] == '/')) {
        --end;
    }
    if (end <= root_length(full)) {
        return "";
    }
    size_t start = full.find_last_of("\\/", end - 1);
    start = start == std::string::npos ? 0 : start + 1;
    return full.substr(start, end - start);
}

bool host_inspect(const std::string& full, host_file_facts* facts, host_error* error)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(system_path(full).c_str(), GetFileExInfoStandard, &data)) {
        *error = last_error();
        return false;
    }
    // The attributes describe a link itself (a symbolic link to a file
    // lists with size 0); its target's facts come from opening it. No
    // access rights asked: this works on files others hold open, and
    // FILE_FLAG_BACKUP_SEMANTICS opens a directory too.
    HANDLE handle = CreateFileW(system_path(full).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = last_error();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    bool ok = GetFileInformationByHandle(handle, &information) != 0;
    *error = ok ? ERROR_SUCCESS : last_error();
    CloseHandle(handle);
    if (ok) {
        facts_of_handle(information, facts);
        facts->is_link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }
    return ok;
}

bool host_list_directory(const std::string& full, std::vector<host_directory_entry>* entries, host_error* error)
{
    entries->clear();
    WIN32_FIND_DATAW found;
    // FindExInfoBasic skips the 8.3 short names nobody here needs, and the
    // large fetch asks for many entries per call on big directories.
    std::string pattern = full + (full.back() == '\\' ? "*" : "\\*");
    HANDLE search = FindFirstFileExW(system_path(pattern).c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        // A drive root has no "." or "..": an empty one finds nothing at all.
        *error = GetLastError();
        return *error == ERROR_FILE_NOT_FOUND;
    }
    do {
        std::string leaf = narrow(found.cFileName);
        if (leaf == "." || leaf == "..") {
            continue;
        }
        entries->push_back({leaf, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
                            (uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow});
    } while (FindNextFileW(search, &found));
    *error = GetLastError();
    FindClose(search);
    return *error == ERROR_NO_MORE_FILES;
}

bool host_create_directories(const std::string& full, host_error* error)
{
    std::string current = full;
    size_t root = root_length(current);
    while (current.size() > root && current.back() == '\\') {
        current.pop_back();
    }
    std::vector<std::string> missing;
    for (;;) {
        DWORD attributes = GetFileAttributesW(system_path(current).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                *error = ERROR_DIRECTORY;
                return false;
            }
            break;
        }
        missing.push_back(current);
        size_t cut = current.find_last_of('\\');
        if (cut == std::string::npos || cut < root) {
            break;
        }
        current.resize(cut);
    }
    for (size_t i = missing.size(); i-- > 0;) {
        if (!CreateDirectoryW(system_path(missing[i]).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            *error = GetLastError();
            return false;
        }
    }
    return true;
}

bool host_open_read(const std::string& full, host_file* file, host_file_facts* facts, host_error* error)
{
    // Shared for reading only: nobody can change the file while it is read.
    HANDLE handle = CreateFileW(system_path(full).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = last_error();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
        *error = last_error();
        CloseHandle(handle);
        return false;
    }
    facts_of_handle(information, facts);
    file->handle = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool host_read(host_file* file, void* buffer, size_t size, size_t* got, host_error* error)
{
    // ReadFile takes a 32-bit count; callers read in slices far below it.
    DWORD read = 0;
    if (!ReadFile(handle_of(file), buffer, static_cast<DWORD>(size), &read, nullptr)) {
        *error = last_error();
        return false;
    }
    *got = read;
    return true;
}

bool host_file_size(host_file* file, uint64_t* size, host_error* error)
{
    LARGE_INTEGER now;
    if (!GetFileSizeEx(handle_of(file), &now)) {
        *error = last_error();
        return false;
    }
    *size = static_cast<uint64_t>(now.QuadPart);
    return true;
}

bool host_create_file(const std::string& full, bool exclusive, bool, host_file* file, bool* exists,
                      host_error* error)
{
    *exists = false;
    HANDLE handle = CreateFileW(system_path(full).c_str(), GENERIC_WRITE, 0, nullptr,
                                exclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = last_error();
        *exists = *error == ERROR_FILE_EXISTS || *error == ERROR_ALREADY_EXISTS;
        return false;
    }
    file->handle = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool host_write(host_file* file, const void* data, size_t size, host_error* error)
{
    const uint8_t* at = static_cast<const uint8_t*>(data);
    while (size != 0) {
        // WriteFile takes a 32-bit count; stay well below it.
        DWORD slice = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handle_of(file), at, slice, &written, nullptr) || written != slice) {
            *error = last_error();
            return false;
        }
        at += slice;
        size -= slice;
    }
    return true;
}

bool host_close(host_file* file, host_error* error)
{
    bool ok = CloseHandle(handle_of(file)) != 0;
    if (!ok) {
        *error = last_error();
    }
    file->handle = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
    return ok;
}

bool host_rename_over(const std::string& from, const std::string& to, host_error* error)
{
    if (!MoveFileExW(system_path(from).c_str(), system_path(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        *error = last_error();
        return false;
    }
    return true;
}

void host_delete(const std::string& full)
{
    SetFileAttributesW(system_path(full).c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(system_path(full).c_str());
}

bool host_map_file(const std::string& full, host_view* view, host_error* error)
{
    *view = {nullptr, 0, reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE), 0};
    HANDLE file = CreateFileW(system_path(full).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = last_error();
        return false;
    }
    view->file = reinterpret_cast<intptr_t>(file);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        *error = last_error();
        host_unmap_file(view);
        return false;
    }
    view->size = static_cast<uint64_t>(size.QuadPart);
    // An empty file cannot be mapped (CreateFileMapping refuses a zero
    // size); it is simply zero bytes.
    if (view->size == 0) {
        return true;
    }
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        *error = last_error();
        host_unmap_file(view);
        return false;
    }
    view->mapping = reinterpret_cast<intptr_t>(mapping);
    view->bytes = static_cast<const uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view->bytes == nullptr) {
        *error = last_error();
        host_unmap_file(view);
        return false;
    }
    return true;
}

void host_unmap_file(host_view* view)
{
    if (view->bytes != nullptr) {
        UnmapViewOfFile(view->bytes);
    }
    if (view->mapping != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(view->mapping));
    }
    if (reinterpret_cast<HANDLE>(view->file) != INVALID_HANDLE_VALUE) {
        CloseHandle(reinterpret_cast<HANDLE>(view->file));
    }
    *view = {nullptr, 0, reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE), 0};
}
