// attach: a copy of the launcher stub with the image as its payload
// resource. The image's bytes are stored as they are, never checked: the
// launcher is the one that judges a payload, and its tests need damaged ones.
#include <windows.h>
#include <string.h>

#include "payload/payload_image.h"
#include "tools/commands.h"
#include "tools/tool_files.h"
#include "tools/tool_output.h"

namespace {

const WORD neutral_language = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);

std::wstring quoted(const std::wstring& text)
{
    return L"'" + text + L"'";
}

BOOL CALLBACK collect_language(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR context)
{
    reinterpret_cast<std::vector<WORD>*>(context)->push_back(language);
    return TRUE;
}

HMODULE load_as_data(const std::wstring& full)
{
    // As a data file nothing of the program runs, and its resources can be
    // read whatever its machine type or subsystem.
    return LoadLibraryExW(system_path(full).c_str(), nullptr,
                          LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

// Payload resources of the stub in any language. UpdateResource replaces
// only the exact language it is given, and the launcher's FindResource
// would pick whichever language suits the user's locale, so an earlier
// payload in another language must go.
bool existing_payload_languages(const std::wstring& exe, std::vector<WORD>* languages)
{
    HMODULE module = load_as_data(exe);
    if (module == nullptr) {
        return false;
    }
    EnumResourceLanguagesW(module, RT_RCDATA, MAKEINTRESOURCE(payload_resource_id), collect_language,
                           reinterpret_cast<LONG_PTR>(languages));
    FreeLibrary(module);
    return true;
}

// Reads the payload back from the updated file: a resource update that
// silently dropped or cut the data must not be reported as success.
bool payload_reads_back(const std::wstring& exe, const uint8_t* data, uint64_t size)
{
    HMODULE module = load_as_data(exe);
    if (module == nullptr) {
        return false;
    }
    bool ok = false;
    HRSRC found = FindResourceW(module, MAKEINTRESOURCE(payload_resource_id), RT_RCDATA);
    if (found != nullptr && SizeofResource(module, found) == size) {
        HGLOBAL loaded = LoadResource(module, found);
        const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
        ok = size == 0 || (bytes != nullptr && memcmp(bytes, data, static_cast<size_t>(size)) == 0);
    }
    FreeLibrary(module);
    return ok;
}

bool update_payload(const std::wstring& exe, const uint8_t* data, uint64_t size, const std::vector<WORD>& languages)
{
    HANDLE update = BeginUpdateResourceW(system_path(exe).c_str(), FALSE);
    if (update == nullptr) {
        return false;
    }
    for (WORD language : languages) {
        if (language != neutral_language &&
            !UpdateResourceW(update, RT_RCDATA, MAKEINTRESOURCE(payload_resource_id), language, nullptr, 0)) {
            DWORD error = GetLastError();
            EndUpdateResourceW(update, TRUE);
            SetLastError(error);
            return false;
        }
    }
    // A null pointer with a zero size would delete the resource instead:
    // an empty image still needs an address.
    static const uint8_t empty_image = 0;
    void* bytes = const_cast<uint8_t*>(size == 0 ? &empty_image : data);
    if (!UpdateResourceW(update, RT_RCDATA, MAKEINTRESOURCE(payload_resource_id), neutral_language, bytes,
                         static_cast<DWORD>(size))) {
        DWORD error = GetLastError();
        EndUpdateResourceW(update, TRUE);
        SetLastError(error);
        return false;
    }
    return EndUpdateResourceW(update, FALSE) != 0;
}

}  // namespace

bool attach_payload(const std::wstring& stub_full, const uint8_t* data, uint64_t size, const std::wstring& output_full,
                    file_view* hold)
{
    // The resource functions take a 32-bit size; a larger image would be cut.
    if (size > UINT32_MAX) {
        report(L"the image has " + std::to_wstring(size) +
               L" bytes; an executable's resource holds 4 GiB at most");
        return false;
    }
    pending_output pending;
    if (!pending_create_copy(&pending, output_full, stub_full)) {
        report(L"cannot copy the launcher stub to " + quoted(output_full) + L": " +
               system_error_text(GetLastError()));
        return false;
    }
    std::vector<WORD> languages;
    if (!existing_payload_languages(pending.temp_path, &languages)) {
        report(L"launcher stub " + quoted(stub_full) + L" is not a Windows executable: " +
               system_error_text(GetLastError()));
        pending_discard(&pending);
        return false;
    }
    if (!update_payload(pending.temp_path, data, size, languages)) {
        report(L"cannot store the payload in " + quoted(output_full) + L": " + system_error_text(GetLastError()));
        pending_discard(&pending);
        return false;
    }
    if (tool_interrupted()) {
        report(L"interrupted; no output written");
        pending_discard(&pending);
        return false;
    }
    if (!payload_reads_back(pending.temp_path, data, size)) {
        report(L"the payload resource of " + quoted(output_full) + L" does not read back as written");
        pending_discard(&pending);
        return false;
    }
    if (hold != nullptr) {
        close_file_view(hold);
    }
    if (!pending_commit(&pending)) {
        report(L"cannot replace " + quoted(output_full) + L": " + system_error_text(GetLastError()));
        return false;
    }
    return true;
}

int attach_command(const std::wstring& launcher, const std::wstring& image, const std::wstring& output)
{
    std::wstring stub_full;
    std::wstring output_full;
    if (!check_stub_path(launcher, &stub_full) || !check_output_path(output, &output_full)) {
        return status_failed;
    }
    std::wstring image_full = full_path(image);
    DWORD error = 0;
    DWORD attributes = image_full.empty() ? INVALID_FILE_ATTRIBUTES : path_attributes(image_full, nullptr, &error);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        report(L"image " + quoted(image) + (attributes == INVALID_FILE_ATTRIBUTES ? L" not found" : L" is a directory"));
        return status_failed;
    }
    // Mapped, not read: UpdateResource makes its own copy anyway.
    file_view view;
    if (!open_file_view(image_full, &view, &error)) {
        report(L"cannot read image " + quoted(image) + L": " + system_error_text(error));
        return status_failed;
    }
    uint64_t size = view.size;
    bool ok = attach_payload(stub_full, view.bytes, size, output_full, &view);
    close_file_view(&view);
    if (!ok) {
        return status_failed;
    }
    print_out(output + L": payload of " + std::to_wstring(size) + L" bytes attached\n");
    return status_ok;
}
