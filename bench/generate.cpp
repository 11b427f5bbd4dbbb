// onefile-bench-generate: writes the benchmark payload twice, as a directory
// tree (what `cp -r` copies for the baseline) and as a payload image (what
// `onefile-pack attach` puts into the launcher), with the same bytes.
//
//   onefile-bench-generate --library BENCH_APP_DLL --divisor N --output DIR
//                          [--file-alignment BYTES]
//
// DIR\tree\... holds the files, DIR\payload.image the image. The main
// library is BENCH_APP_DLL grown to its size with a data section; it is
// loaded once here to prove that it still is a library exporting run_code.
// --file-alignment names the layout the caller means to measure; a library
// linked otherwise is refused, since its figures would be labelled wrongly.
// Status 0 on success, 1 on any failure (with a line on standard error).
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "bench/payload_shape.h"
#include "bench/pe_pad.h"
#include "neutral/payload_image.h"

namespace {

constexpr size_t chunk_size = 1 << 20;

bool fail(const wchar_t* what, const std::wstring& detail)
{
    fwprintf(stderr, L"onefile-bench-generate: %ls %ls (error %lu)\n", what, detail.c_str(), GetLastError());
    return false;
}

bool read_whole(const std::wstring& path, std::vector<uint8_t>* bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < 0x7FFFFFFF;
    DWORD got = 0;
    if (ok) {
        bytes->resize(static_cast<size_t>(size.QuadPart));
        ok = ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) && got == bytes->size();
    }
    CloseHandle(file);
    return ok;
}

bool write_all(HANDLE file, const void* data, size_t size)
{
    const uint8_t* at = static_cast<const uint8_t*>(data);
    while (size != 0) {
        DWORD part = size > chunk_size ? static_cast<DWORD>(chunk_size) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, at, part, &written, nullptr) || written != part) {
            return false;
        }
        at += part;
        size -= part;
    }
    return true;
}

bool write_to_handle(void* context, const void* data, size_t size)
{
    return write_all(static_cast<HANDLE>(context), data, size);
}

bool make_parents(const std::wstring& file_path)
{
    for (size_t at = file_path.find(L'\\', 3); at != std::wstring::npos; at = file_path.find(L'\\', at + 1)) {
        std::wstring directory = file_path.substr(0, at);
        if (!CreateDirectoryW(directory.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return true;
}

HANDLE create_file(const std::wstring& path)
{
    if (!make_parents(path)) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
}

// Each entry's bytes depend on its name only, so the two variants and any
// rerun produce the same content for the same name.
uint64_t seed_of(const std::wstring& name)
{
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t unit : name) {
        hash = (hash ^ static_cast<uint16_t>(unit)) * 1099511628211ull;
    }
    return hash;
}

void fill_from_stream(void* context, uint8_t* out, size_t count)
{
    fill_bytes(static_cast<byte_stream*>(context), out, count);
}

bool check_library_loads(const std::wstring& path)
{
    HMODULE library = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (library == nullptr) {
        return fail(L"the padded main library does not load:", path);
    }
    bool exported = GetProcAddress(library, "run_code") != nullptr;
    FreeLibrary(library);
    return exported || fail(L"the padded main library exports no run_code:", path);
}

// One entry into both the tree and the image.
bool write_entry(const shape_entry& entry, const std::vector<uint8_t>& main_library, const std::wstring& tree,
                 payload_writer* image, std::vector<uint8_t>* chunk)
{
    std::wstring path = tree + L"\\" + entry.name;
    HANDLE file = create_file(path);
    if (file == INVALID_HANDLE_VALUE) {
        return fail(L"cannot create", path);
    }
    bool ok = payload_write_entry_header(image, reinterpret_cast<const uint16_t*>(entry.name.c_str()),
                                         entry.name.size(), entry.size);
    if (!main_library.empty()) {
        ok = ok && write_all(file, main_library.data(), main_library.size()) &&
             payload_write_data(image, main_library.data(), main_library.size());
    } else {
        byte_stream stream = {seed_of(entry.name)};
        for (uint64_t left = entry.size; ok && left != 0;) {
            size_t part = left > chunk_size ? chunk_size : static_cast<size_t>(left);
            fill_bytes(&stream, chunk->data(), part);
            ok = write_all(file, chunk->data(), part) && payload_write_data(image, chunk->data(), part);
            left -= part;
        }
    }
    CloseHandle(file);
    return ok || fail(L"cannot write", path);
}

bool generate(const std::wstring& library, unsigned divisor, uint32_t expected_alignment, const std::wstring& output)
{
    payload_shape shape;
    if (!make_payload_shape(divisor, &shape)) {
        return fail(L"the payload shape does not come out exact for divisor", std::to_wstring(divisor));
    }
    std::vector<uint8_t> main_library;
    if (!read_whole(library, &main_library)) {
        return fail(L"cannot read", library);
    }
    uint32_t alignment = pe_file_alignment(main_library);
    if (expected_alignment != 0 && alignment != expected_alignment) {
        SetLastError(0);
        return fail(L"the library's file alignment is not the expected one:", std::to_wstring(alignment));
    }
    byte_stream padding = {seed_of(L"main.dll")};
    pe_pad_result padded = pe_pad_to_size(&main_library, shape.entries[0].size, fill_from_stream, &padding);
    if (padded != pe_pad_ok) {
        fwprintf(stderr, L"onefile-bench-generate: cannot pad %ls: %hs\n", library.c_str(),
                 pe_pad_result_text(padded));
        return false;
    }

    std::wstring tree = output + L"\\tree";
    std::wstring image_path = output + L"\\payload.image";
    HANDLE image_file = create_file(image_path);
    if (image_file == INVALID_HANDLE_VALUE) {
        return fail(L"cannot create", image_path);
    }
    payload_writer image;
    payload_writer_init(&image, write_to_handle, image_file);
    std::vector<uint8_t> chunk(chunk_size);
    bool ok = payload_write_magic(&image);
    for (size_t i = 0; ok && i < shape.entries.size(); ++i) {
        static const std::vector<uint8_t> none;
        ok = write_entry(shape.entries[i], i == 0 ? main_library : none, tree, &image, &chunk);
    }
    ok = ok && payload_write_end(&image);
    CloseHandle(image_file);
    if (!ok) {
        return fail(L"cannot write", image_path);
    }
    if (image.position != shape.image_size) {
        SetLastError(0);
        return fail(L"the image came out with the wrong size:", std::to_wstring(image.position));
    }
    if (!check_library_loads(tree + L"\\main.dll")) {
        return false;
    }
    size_t longest = 0;
    for (const shape_entry& entry : shape.entries) {
        longest = entry.name.size() > longest ? entry.name.size() : longest;
    }
    wprintf(L"%ls: %zu entries, image %llu bytes, main.dll %llu bytes (file alignment %u), longest name %zu units\n",
            output.c_str(), shape.entries.size(), static_cast<unsigned long long>(shape.image_size),
            static_cast<unsigned long long>(shape.entries[0].size), alignment, longest);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring library;
    std::wstring output;
    unsigned divisor = 0;
    uint32_t alignment = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::wstring option = argv[i];
        if (option == L"--library") {
            library = argv[i + 1];
        } else if (option == L"--output") {
            output = argv[i + 1];
        } else if (option == L"--divisor") {
            divisor = static_cast<unsigned>(wcstoul(argv[i + 1], nullptr, 10));
        } else if (option == L"--file-alignment") {
            alignment = static_cast<uint32_t>(wcstoul(argv[i + 1], nullptr, 10));
        }
    }
    if (library.empty() || output.empty() || divisor == 0) {
        fwprintf(stderr, L"usage: onefile-bench-generate --library BENCH_APP_DLL --divisor N --output DIR"
                         L" [--file-alignment BYTES]\n");
        return 1;
    }
    wchar_t full[4096];
    DWORD length = GetFullPathNameW(output.c_str(), 4096, full, nullptr);
    if (length == 0 || length >= 4096) {
        fail(L"cannot make a full path of", output);
        return 1;
    }
    return generate(library, divisor, alignment, full) ? 0 : 1;
}
