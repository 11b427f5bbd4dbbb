#include "tools/tool_files.h"

#include <string.h>

namespace {

volatile LONG interrupted = 0;
volatile LONG pending_count = 0;

BOOL WINAPI on_console_control(DWORD type)
{
    // Only a run with an output in flight needs to stop politely; otherwise
    // the default handler ends the process as usual.
    if ((type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) && pending_count > 0) {
        InterlockedExchange(&interrupted, 1);
        return TRUE;
    }
    return FALSE;
}

// Length of the part of an absolute path that is never created: "C:\" or
// "\\server\share\".
size_t root_length(const std::wstring& full)
{
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
        return 3;
    }
    if (full.compare(0, 2, L"\\\\") == 0) {
        size_t server_end = full.find(L'\\', 2);
        if (server_end == std::wstring::npos) {
            return full.size();
        }
        size_t share_end = full.find(L'\\', server_end + 1);
        return share_end == std::wstring::npos ? full.size() : share_end + 1;
    }
    return 0;
}

bool write_all(HANDLE handle, const uint8_t* data, size_t size, DWORD* error)
{
    while (size != 0) {
        // WriteFile takes a 32-bit count; stay well below it.
        DWORD slice = size > copy_buffer_size ? static_cast<DWORD>(copy_buffer_size) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handle, data, slice, &written, nullptr) || written != slice) {
            *error = GetLastError();
            if (*error == ERROR_SUCCESS) {
                *error = ERROR_WRITE_FAULT;
            }
            return false;
        }
        data += slice;
        size -= slice;
    }
    return true;
}

}  // namespace

std::wstring full_path(const std::wstring& path)
{
    if (path.empty()) {
        return L"";
    }
    // Paths past MAX_PATH are fine here: the size is asked for first.
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return L"";
    }
    std::wstring result(needed, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), needed, &result[0], nullptr);
    if (length == 0 || length >= needed) {
        return L"";
    }
    result.resize(length);
    return result;
}

std::wstring system_path(const std::wstring& full)
{
    // The "\\?\" form lifts the MAX_PATH (260) limit of the ANSI-era path
    // parser, which deep input trees and long entry names would hit, and
    // takes names as they are instead of stripping trailing dots and spaces.
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) {
        return full;
    }
    if (full.compare(0, 2, L"\\\\") == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

std::wstring base_name(const std::wstring& full)
{
    size_t end = full.size();
    while (end > root_length(full) && (full[end - 1] == L'\\' || full[end - 1] == L'/')) {
        --end;
    }
    if (end <= root_length(full)) {
        return L"";
    }
    size_t start = full.find_last_of(L"\\/", end - 1);
    start = start == std::wstring::npos ? 0 : start + 1;
    return full.substr(start, end - start);
}

std::wstring backslashed(std::wstring name)
{
    for (wchar_t& unit : name) {
        if (unit == L'/') {
            unit = L'\\';
        }
    }
    return name;
}

DWORD path_attributes(const std::wstring& full, uint64_t* size, DWORD* error)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(system_path(full).c_str(), GetFileExInfoStandard, &data)) {
        *error = GetLastError();
        return INVALID_FILE_ATTRIBUTES;
    }
    if (size != nullptr) {
        *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return data.dwFileAttributes;
}

bool create_directories(const std::wstring& full, DWORD* error)
{
    std::wstring current = full;
    size_t root = root_length(current);
    while (current.size() > root && current.back() == L'\\') {
        current.pop_back();
    }
    std::vector<std::wstring> missing;
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
        size_t cut = current.find_last_of(L'\\');
        if (cut == std::wstring::npos || cut < root) {
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

bool open_file_view(const std::wstring& full, file_view* view, DWORD* error)
{
    *view = {INVALID_HANDLE_VALUE, nullptr, nullptr, 0};
    view->file = CreateFileW(system_path(full).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (view->file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(view->file, &size)) {
        *error = GetLastError();
        close_file_view(view);
        return false;
    }
    view->size = static_cast<uint64_t>(size.QuadPart);
    // An empty file cannot be mapped (CreateFileMapping refuses a zero
    // size); it is simply zero bytes.
    if (view->size == 0) {
        return true;
    }
    view->mapping = CreateFileMappingW(view->file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (view->mapping == nullptr) {
        *error = GetLastError();
        close_file_view(view);
        return false;
    }
    view->bytes = static_cast<const uint8_t*>(MapViewOfFile(view->mapping, FILE_MAP_READ, 0, 0, 0));
    if (view->bytes == nullptr) {
        *error = GetLastError();
        close_file_view(view);
        return false;
    }
    return true;
}

void close_file_view(file_view* view)
{
    if (view->bytes != nullptr) {
        UnmapViewOfFile(view->bytes);
    }
    if (view->mapping != nullptr) {
        CloseHandle(view->mapping);
    }
    if (view->file != INVALID_HANDLE_VALUE) {
        CloseHandle(view->file);
    }
    *view = {INVALID_HANDLE_VALUE, nullptr, nullptr, 0};
}

bool file_identity(const std::wstring& full, uint64_t* volume, uint64_t* index)
{
    // No access rights asked: this works on files others hold open, and
    // FILE_FLAG_BACKUP_SEMANTICS lets it open a directory too.
    HANDLE handle = CreateFileW(system_path(full).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    bool ok = GetFileInformationByHandle(handle, &information) != 0;
    CloseHandle(handle);
    if (ok) {
        *volume = information.dwVolumeSerialNumber;
        *index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    }
    return ok;
}

// "<output>.<pid>.partial" beside the output: the same directory, hence the
// same volume, which MoveFileEx needs to replace the output by a rename.
static void choose_temp_name(pending_output* output, const std::wstring& final_full, unsigned attempt)
{
    output->final_path = final_full;
    output->temp_path = final_full + L"." + std::to_wstring(GetCurrentProcessId()) +
                        (attempt == 0 ? L"" : L"-" + std::to_wstring(attempt)) + L".partial";
}

bool pending_create(pending_output* output, const std::wstring& final_full)
{
    output->handle = INVALID_HANDLE_VALUE;
    output->exists = false;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        choose_temp_name(output, final_full, attempt);
        output->handle = CreateFileW(system_path(output->temp_path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output->handle != INVALID_HANDLE_VALUE) {
            output->exists = true;
            InterlockedIncrement(&pending_count);
            return true;
        }
        // A leftover of an earlier run that was killed with the same
        // process id: never overwrite it, pick another name.
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}

bool pending_create_copy(pending_output* output, const std::wstring& final_full, const std::wstring& source_full)
{
    output->handle = INVALID_HANDLE_VALUE;
    output->exists = false;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        choose_temp_name(output, final_full, attempt);
        if (CopyFileW(system_path(source_full).c_str(), system_path(output->temp_path).c_str(), TRUE)) {
            output->exists = true;
            InterlockedIncrement(&pending_count);
            // CopyFile carries the attributes over: a read-only stub would
            // give a copy that the resource update cannot open for writing.
            SetFileAttributesW(system_path(output->temp_path).c_str(), FILE_ATTRIBUTE_NORMAL);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}

void pending_close_handle(pending_output* output)
{
    if (output->handle != INVALID_HANDLE_VALUE) {
        CloseHandle(output->handle);
        output->handle = INVALID_HANDLE_VALUE;
    }
}

bool pending_commit(pending_output* output)
{
    pending_close_handle(output);
    if (!MoveFileExW(system_path(output->temp_path).c_str(), system_path(output->final_path).c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        pending_discard(output);
        SetLastError(error);
        return false;
    }
    output->exists = false;
    InterlockedDecrement(&pending_count);
    return true;
}

void pending_discard(pending_output* output)
{
    DWORD error = GetLastError();
    pending_close_handle(output);
    if (output->exists) {
        SetFileAttributesW(system_path(output->temp_path).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(system_path(output->temp_path).c_str());
        output->exists = false;
        InterlockedDecrement(&pending_count);
    }
    SetLastError(error);
}

bool tool_interrupted()
{
    return interrupted != 0;
}

void install_interrupt_handler()
{
    SetConsoleCtrlHandler(on_console_control, TRUE);
}

void file_sink_init(file_sink* sink, HANDLE handle)
{
    sink->handle = handle;
    sink->buffer.assign(copy_buffer_size, 0);
    sink->used = 0;
    sink->error = ERROR_SUCCESS;
}

bool file_sink_flush(file_sink* sink)
{
    if (sink->used == 0) {
        return true;
    }
    size_t used = sink->used;
    sink->used = 0;
    return write_all(sink->handle, sink->buffer.data(), used, &sink->error);
}

bool file_sink_write(void* context, const void* data, size_t size)
{
    file_sink* sink = static_cast<file_sink*>(context);
    const uint8_t* at = static_cast<const uint8_t*>(data);
    while (size != 0) {
        if (sink->used == 0 && size >= sink->buffer.size()) {
            return write_all(sink->handle, at, size, &sink->error);
        }
        size_t room = sink->buffer.size() - sink->used;
        size_t take = size < room ? size : room;
        memcpy(sink->buffer.data() + sink->used, at, take);
        sink->used += take;
        at += take;
        size -= take;
        if (sink->used == sink->buffer.size() && !file_sink_flush(sink)) {
            return false;
        }
    }
    return true;
}
