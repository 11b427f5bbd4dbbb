// attach: a copy of the launcher stub with the image as its payload
// resource. The image's bytes are stored as they are, never checked: the
// launcher is the one that judges a payload, and its tests need damaged ones.
#include <windows.h>
#include <string.h>

#include "neutral/payload_image.h"
#include "tools/commands.h"
#include "tools/tool_files.h"
#include "tools/tool_output.h"

namespace {

const WORD neutral_language = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);

// One resource of the stub, copied out so that it can be written back.
// Types and names are numbers or strings.
struct resource_key {
    bool is_number;
    WORD number;
    std::wstring text;
};

struct stub_resource {
    resource_key type;
    resource_key name;
    WORD language;
    std::vector<uint8_t> data;
};

resource_key key_of(LPCWSTR identifier)
{
    if (IS_INTRESOURCE(identifier)) {
        return {true, static_cast<WORD>(reinterpret_cast<ULONG_PTR>(identifier)), L""};
    }
    return {false, 0, identifier};
}

LPCWSTR identifier_of(const resource_key& key)
{
    return key.is_number ? MAKEINTRESOURCEW(key.number) : key.text.c_str();
}

struct copy_state {
    std::vector<stub_resource>* resources;
    bool failed;
};

BOOL CALLBACK copy_language(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR context)
{
    copy_state* state = reinterpret_cast<copy_state*>(context);
    HRSRC found = FindResourceExW(module, type, name, language);
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const uint8_t* bytes = loaded != nullptr ? static_cast<const uint8_t*>(LockResource(loaded)) : nullptr;
    if (bytes == nullptr) {
        state->failed = true;
        return FALSE;
    }
    DWORD size = SizeofResource(module, found);
    state->resources->push_back({key_of(type), key_of(name), language, std::vector<uint8_t>(bytes, bytes + size)});
    return TRUE;
}

BOOL CALLBACK copy_name(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context)
{
    // Every earlier payload goes, in whatever language it was stored.
    if (type == RT_RCDATA && IS_INTRESOURCE(name) &&
        reinterpret_cast<ULONG_PTR>(name) == static_cast<ULONG_PTR>(payload_resource_id)) {
        return TRUE;
    }
    EnumResourceLanguagesW(module, type, name, copy_language, context);
    return !reinterpret_cast<copy_state*>(context)->failed;
}

BOOL CALLBACK copy_type(HMODULE module, LPWSTR type, LONG_PTR context)
{
    EnumResourceNamesW(module, type, copy_name, context);
    return !reinterpret_cast<copy_state*>(context)->failed;
}

HMODULE load_as_data(const std::wstring& full)
{
    // As a data file nothing of the program runs, and its resources can be
    // read whatever its machine type or subsystem.
    return LoadLibraryExW(system_path(full).c_str(), nullptr,
                          LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

// The stub's resources other than the payload: its icon, manifest, version.
bool copy_stub_resources(const std::wstring& exe, std::vector<stub_resource>* resources)
{
    HMODULE module = load_as_data(exe);
    if (module == nullptr) {
        return false;
    }
    copy_state state = {resources, false};
    // A stub without any resources makes the enumeration fail with
    // ERROR_RESOURCE_DATA_NOT_FOUND; that is an empty list, not an error.
    EnumResourceTypesW(module, copy_type, reinterpret_cast<LONG_PTR>(&state));
    FreeLibrary(module);
    if (state.failed) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    }
    return !state.failed;
}

// Reads the payload back from the updated file: a resource update that
// silently dropped or cut the data must not be reported as success.
bool payload_reads_back(const std::wstring& exe, const uint8_t* data, uint64_t size)
{
    HMODULE module = load_as_data(exe);
    if (module == nullptr) {
        return false;
    }
    HRSRC found = FindResourceW(module, MAKEINTRESOURCE(payload_resource_id), RT_RCDATA);
    bool ok = found == nullptr && size == 0;
    if (found != nullptr && size != 0 && SizeofResource(module, found) == size) {
        HGLOBAL loaded = LoadResource(module, found);
        const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
        ok = bytes != nullptr && memcmp(bytes, data, static_cast<size_t>(size)) == 0;
    }
    FreeLibrary(module);
    return ok;
}

// The resource table is written from scratch: the stub's own resources, then
// the payload. Updating the stub's table in place cannot remove an earlier
// payload: UpdateResource replaces only the exact language it is given (and
// the launcher's FindResource picks a language by the user's locale), and
// Wine's EndUpdateResource merges the file's resources back in after the
// queued changes, undoing any deletion.
bool update_payload(const std::wstring& exe, const uint8_t* data, uint64_t size,
                    const std::vector<stub_resource>& resources)
{
    HANDLE update = BeginUpdateResourceW(system_path(exe).c_str(), TRUE);
    if (update == nullptr) {
        return false;
    }
    for (const stub_resource& resource : resources) {
        if (!UpdateResourceW(update, identifier_of(resource.type), identifier_of(resource.name), resource.language,
                             const_cast<uint8_t*>(resource.data.data()), static_cast<DWORD>(resource.data.size()))) {
            DWORD error = GetLastError();
            EndUpdateResourceW(update, TRUE);
            SetLastError(error);
            return false;
        }
    }
    // An empty resource cannot be stored (Wine refuses a zero size, and a
    // null pointer with a zero size means "delete"). The launcher reads a
    // missing payload resource as an empty image, so an empty image is
    // attached by leaving the stub without one.
    if (size != 0 && !UpdateResourceW(update, RT_RCDATA, MAKEINTRESOURCE(payload_resource_id), neutral_language,
                                      const_cast<uint8_t*>(data), static_cast<DWORD>(size))) {
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
    std::vector<stub_resource> resources;
    if (!copy_stub_resources(pending.temp_path, &resources)) {
        report(L"launcher stub " + quoted(stub_full) + L" is not a Windows executable: " +
               system_error_text(GetLastError()));
        pending_discard(&pending);
        return false;
    }
    progress_note(L"storing the payload in the executable", size);
    if (!update_payload(pending.temp_path, data, size, resources)) {
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
