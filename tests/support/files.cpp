#include "support/files.h"

#include <windows.h>

#include <algorithm>
#include <atomic>

#include "neutral/payload_image.h"
#include "support/process.h"
#include "test_paths.h"

namespace {

// "/work/x" -> "Z:\work\x": Wine maps the Unix root as drive Z.
std::wstring from_unix(const char* path)
{
    std::wstring wide = L"Z:" + to_wide(path);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

void walk_below(const std::wstring& root, const std::wstring& prefix,
                const std::function<bool(const std::wstring&, const WIN32_FIND_DATAW&)>& visit)
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
        std::wstring relative = prefix.empty() ? name : prefix + L"\\" + name;
        bool enter = visit(relative, found);
        if (enter && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            walk_below(root + L"\\" + name, relative, visit);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace

std::wstring launcher_stub_path() { return from_unix(ONEFILE_LAUNCHER_STUB); }
std::wstring console_launcher_stub_path() { return from_unix(ONEFILE_CONSOLE_LAUNCHER_STUB); }
std::wstring pack_tool_path() { return from_unix(ONEFILE_PACK_TOOL); }
std::wstring test_library_path() { return from_unix(ONEFILE_TEST_LIBRARY); }
std::wstring test_helper_path() { return from_unix(ONEFILE_TEST_HELPER); }
std::wstring test_library_no_entry_path() { return from_unix(ONEFILE_TEST_LIBRARY_NO_ENTRY); }
std::wstring build_directory() { return from_unix(ONEFILE_BUILD_DIR); }

std::wstring to_wide(const std::string& utf8)
{
    if (utf8.empty()) {
        return L"";
    }
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
    return wide;
}

std::string to_utf8(const std::wstring& wide)
{
    if (wide.empty()) {
        return "";
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], length, nullptr, nullptr);
    return utf8;
}

std::wstring make_scratch_directory(const std::wstring& hint)
{
    static std::atomic<unsigned> counter{0};
    std::wstring base = build_directory() + L"\\scratch";
    CreateDirectoryW(base.c_str(), nullptr);
    for (;;) {
        std::wstring path = base + L"\\" + hint + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                            std::to_wstring(counter++);
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            return path;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return path;
        }
    }
}

namespace {

// The `\\?\` form of a path, as the launcher's removal makes it: names that
// Win32 would otherwise alter (aux.txt, a trailing dot), which the tests
// make on purpose, are then removed as they are rather than left behind.
std::wstring literal_path(const std::wstring& path)
{
    if (path.rfind(L"\\\\?\\", 0) == 0) {
        return path;
    }
    std::wstring full(32768, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length == 0 || length >= full.size()) {
        return path;
    }
    full.resize(length);
    return full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

bool remove_literal_tree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // A link: never entered, so nothing outside the tree goes
                // (Wine cannot remove its Unix links this way; they stay).
                if (!RemoveDirectoryW(child.c_str())) {
                    DeleteFileW(child.c_str());
                }
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_literal_tree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

}  // namespace

bool remove_tree(const std::wstring& path)
{
    // An empty path would end up naming the current drive's root.
    return !path.empty() && remove_literal_tree(literal_path(path));
}

bool write_file(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                                written == bytes.size());
    CloseHandle(file);
    return ok;
}

bool read_file(const std::wstring& path, std::string* bytes)
{
    bytes->clear();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got != 0) {
        bytes->append(chunk, got);
    }
    CloseHandle(file);
    return true;
}

bool file_exists(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool directory_exists(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void walk_tree(const std::wstring& root,
               const std::function<bool(const std::wstring& relative, const WIN32_FIND_DATAW& found)>& visit)
{
    walk_below(root, L"", visit);
}

std::vector<std::wstring> list_files(const std::wstring& root)
{
    std::vector<std::wstring> names;
    walk_tree(root, [&names](const std::wstring& relative, const WIN32_FIND_DATAW& found) {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.push_back(relative);
        }
        return true;
    });
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring temp_directory()
{
    wchar_t buffer[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    std::wstring path(buffer, length);
    while (!path.empty() && path.back() == L'\\') {
        path.pop_back();
    }
    return path;
}

tree_snapshot take_snapshot(const std::wstring& root)
{
    tree_snapshot snapshot;
    walk_tree(root, [&snapshot](const std::wstring& relative, const WIN32_FIND_DATAW& found) {
        bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        long long size = directory ? -1
                                   : static_cast<long long>((static_cast<unsigned long long>(found.nFileSizeHigh) << 32) |
                                                            found.nFileSizeLow);
        unsigned long long written =
            (static_cast<unsigned long long>(found.ftLastWriteTime.dwHighDateTime) << 32) |
            found.ftLastWriteTime.dwLowDateTime;
        snapshot[relative] = {size, directory ? 0 : written, found.dwFileAttributes};
        return true;
    });
    return snapshot;
}

std::string describe_difference(const tree_snapshot& before, const tree_snapshot& after)
{
    std::string text;
    int shown = 0;
    for (const auto& [name, state] : after) {
        auto was = before.find(name);
        if (was == before.end()) {
            text += "  new: " + to_utf8(name) + "\n";
        } else if (was->second != state) {
            text += "  changed: " + to_utf8(name) + "\n";
        } else {
            continue;
        }
        if (++shown == 8) {
            return text + "  ...\n";
        }
    }
    for (const auto& [name, state] : before) {
        if (after.find(name) == after.end()) {
            text += "  gone: " + to_utf8(name) + "\n";
            if (++shown == 8) {
                return text + "  ...\n";
            }
        }
    }
    return text;
}

void fill_sentinel_directory(const std::wstring& directory)
{
    CreateDirectoryW((directory + L"\\sub").c_str(), nullptr);
    write_file(directory + L"\\keep.txt", "must stay as it is");
    write_file(directory + L"\\sub\\keep.txt", "must stay as it is");
    write_file(directory + L"\\readonly.txt", "must stay read-only");
    SetFileAttributesW((directory + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
}

std::string build_image(const std::vector<image_entry>& entries)
{
    std::string image;
    payload_writer writer;
    payload_writer_init(
        &writer,
        [](void* context, const void* data, size_t size) {
            static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
            return true;
        },
        &image);
    payload_write_magic(&writer);
    for (const image_entry& entry : entries) {
        payload_write_entry_header(&writer, reinterpret_cast<const uint16_t*>(entry.name.c_str()), entry.name.size(),
                                   entry.data.size());
        payload_write_data(&writer, entry.data.data(), entry.data.size());
    }
    payload_write_end(&writer);
    return image;
}

bool make_launcher(const std::wstring& exe, const std::string& image, bool console,
                   const std::vector<std::wstring>& options)
{
    std::wstring image_path = exe + L".image";
    if (!write_file(image_path, image)) {
        return false;
    }
    std::wstring stub = console ? console_launcher_stub_path() : launcher_stub_path();
    std::vector<std::wstring> arguments = {L"onefile-pack", L"attach", L"--launcher", stub, L"--image", image_path,
                                           L"--output", exe};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::wstring line = join_arguments(arguments);
    program_result attached = run_program(pack_tool_path(), line);
    DeleteFileW(image_path.c_str());
    return attached.status == 0 && file_exists(exe);
}
