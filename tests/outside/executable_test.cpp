// The built launcher as a file: its PE headers, what it imports, and the
// resources it carries besides the payload.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "outside/launcher_fixture.h"

namespace {

struct pe_view {
    std::string bytes;
    const IMAGE_NT_HEADERS64* headers = nullptr;

    const IMAGE_SECTION_HEADER* sections() const { return IMAGE_FIRST_SECTION(headers); }

    // File offset of a relative virtual address, or 0 when outside every
    // section.
    size_t offset_of(DWORD rva) const
    {
        for (int i = 0; i < headers->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& section = sections()[i];
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.SizeOfRawData) {
                return rva - section.VirtualAddress + section.PointerToRawData;
            }
        }
        return 0;
    }
};

bool load_pe(const std::wstring& path, pe_view* view)
{
    if (!read_file(path, &view->bytes) || view->bytes.size() < sizeof(IMAGE_DOS_HEADER)) {
        return false;
    }
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(view->bytes.data());
    view->headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(view->bytes.data() + dos->e_lfanew);
    return dos->e_magic == IMAGE_DOS_SIGNATURE && view->headers->Signature == IMAGE_NT_SIGNATURE;
}

std::set<std::string> imported_dlls(const pe_view& view)
{
    std::set<std::string> names;
    const IMAGE_DATA_DIRECTORY& directory = view.headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    size_t at = view.offset_of(directory.VirtualAddress);
    for (auto entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(view.bytes.data() + at); entry->Name != 0;
         ++entry) {
        std::string name = view.bytes.data() + view.offset_of(entry->Name);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        names.insert(name);
    }
    return names;
}

class launcher_file : public testing::TestWithParam<bool> {};

TEST_P(launcher_file, is_64_bit_of_its_subsystem_and_imports_only_system_dlls)
{
    bool console = GetParam();
    pe_view view;
    ASSERT_TRUE(load_pe(console ? console_launcher_stub_path() : launcher_stub_path(), &view));
    EXPECT_EQ(view.headers->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(view.headers->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    EXPECT_EQ(view.headers->OptionalHeader.Subsystem,
              console ? IMAGE_SUBSYSTEM_WINDOWS_CUI : IMAGE_SUBSYSTEM_WINDOWS_GUI);
    // Page-aligned file layout, so that a large payload is mapped, not read.
    EXPECT_EQ(view.headers->OptionalHeader.FileAlignment, 0x1000u);

    const std::set<std::string> system = {"kernel32.dll", "msvcrt.dll", "advapi32.dll"};
    std::set<std::string> imports = imported_dlls(view);
    // shell32 is bound when the parent first needs it: importing it would
    // cost every start, nested child-role starts included, its loading.
    EXPECT_EQ(imports.count("shell32.dll"), 0u);
    for (const std::string& name : imports) {
        EXPECT_TRUE(system.count(name)) << name << " is not a system DLL";
        EXPECT_EQ(name.find("libstdc++"), std::string::npos);
        EXPECT_EQ(name.find("libgcc"), std::string::npos);
        EXPECT_EQ(name.find("pthread"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(subsystems, launcher_file, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "console" : "gui"; });

std::string resource_text(HMODULE module, LPCWSTR type, LPCWSTR name)
{
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) {
        return "";
    }
    auto data = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return std::string(data, SizeofResource(module, found));
}

std::wstring version_string(const std::string& block, const wchar_t* key)
{
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    void* value = nullptr;
    UINT length = 0;
    std::string copy = block;  // VerQueryValueW may write into its block
    if (!VerQueryValueW(copy.data(), query.c_str(), &value, &length) || length == 0) {
        return L"";
    }
    return std::wstring(static_cast<const wchar_t*>(value));
}

#pragma pack(push, 2)
struct icon_directory_entry {
    BYTE width, height, colors, reserved;
    WORD planes, bit_count;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(launcher_resources, manifest_version_and_icons_read_back)
{
    HMODULE module = LoadLibraryExW(launcher_stub_path().c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);

    std::string manifest = resource_text(module, RT_MANIFEST, MAKEINTRESOURCEW(1));
    for (const char* needle : {"level=\"asInvoker\"", "uiAccess=\"false\"", ">true</longPathAware>",
                               "Microsoft.Windows.Common-Controls", "version=\"6.0.0.0\"",
                               "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                               "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                               "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
        EXPECT_NE(manifest.find(needle), std::string::npos) << needle;
    }

    std::string version = resource_text(module, RT_VERSION, MAKEINTRESOURCEW(1));
    EXPECT_EQ(version_string(version, L"CompanyName"), L"Merla Software");
    EXPECT_EQ(version_string(version, L"ProductName"), L"Merla");
    EXPECT_EQ(version_string(version, L"FileVersion"), L"0.0.6.0");
    EXPECT_EQ(version_string(version, L"ProductVersion"), L"0.0.6.0");

    std::string group = resource_text(module, RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    ASSERT_GE(group.size(), 6u);
    WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
    ASSERT_EQ(count, 7);
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        auto entry = reinterpret_cast<const icon_directory_entry*>(group.data() + 6 + i * sizeof(icon_directory_entry));
        sizes.push_back(entry->width == 0 ? 256 : entry->width);
        EXPECT_EQ(entry->width, entry->height);
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 64, 128, 256}));

    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(27), RT_RCDATA), nullptr) << "the stub carries no payload";
    FreeLibrary(module);
}

}  // namespace
