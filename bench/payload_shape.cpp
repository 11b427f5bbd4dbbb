#include "bench/payload_shape.h"

#include <string.h>

#include <algorithm>

namespace {

// Sizes of the middle-sized files come from this generator, seeded once, so
// the list is the same everywhere without spelling out 192 numbers.
uint64_t next_random(uint64_t* state)
{
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t between(uint64_t* state, uint64_t low, uint64_t high)
{
    return low + next_random(state) % (high - low + 1);
}

const wchar_t* const fixed_library_names[] = {
    L"lib_gui_render.dll", L"lib_gui_core.dll", L"lib_gui_widgets.dll", L"lib_crypto_3.dll",
    L"lib_runtime_3.dll",  L"lib_sqlite3.dll",  L"lib_xml2.dll",        L"lib_ssl_3.dll",
    L"lib_lzma.dll",       L"vcruntime_x.dll",  L"lib_zlib1.dll",       L"lib_bz2.dll",
    L"lib_ffi_8.dll",
};
const uint64_t fixed_library_sizes[] = {
    7135232, 6310912, 5498880, 4987392, 4620288, 1525248, 1310720, 776192, 172032, 98304, 92160, 81920, 35328,
};
// Takes whatever the exact image size leaves over, like a large data library.
const wchar_t remainder_name[] = L"lib_text_data.dll";

const wchar_t* const module_names[] = {
    L"socket",   L"ssl",        L"hashlib",     L"select",    L"ctypes",      L"decimal",  L"elementtree",
    L"lzma",     L"bz2",        L"queue",       L"overlapped", L"asyncio",    L"multiproc", L"sqlite3",
    L"uuid",     L"zoneinfo",   L"json",        L"csv",       L"pickle",      L"struct",   L"array",
    L"math",     L"cmath",      L"random",      L"bisect",    L"heapq",       L"datetime", L"unicodedata",
    L"binascii", L"zlib",       L"mmap",        L"registry",  L"console",     L"statistics", L"opcode",
    L"contextvars", L"imaging", L"imaging_ft",  L"yaml_ext",  L"speedups",
};

const wchar_t* const font_names[] = {
    L"sans-regular", L"sans-bold",   L"sans-italic",  L"sans-bolditalic", L"serif-regular", L"serif-bold",
    L"serif-italic", L"mono-regular", L"mono-bold",   L"mono-italic",     L"symbols",       L"emoji-fallback",
};

const wchar_t* const icon_names[] = {
    L"open",  L"save",   L"close",  L"new",    L"print",   L"undo",  L"redo",     L"cut",
    L"copy",  L"paste",  L"delete", L"find",   L"replace", L"zoom",  L"settings", L"help",
    L"about", L"quit",   L"back",   L"forward", L"home",   L"reload", L"stop",    L"info",
};

// "resources\icons\scalable\actions\" is 33 units; "document-new.svg" makes
// the one 49-unit name, every other stays shorter.
const wchar_t* const scalable_names[] = {
    L"document-new.svg", L"edit-cut.svg",  L"edit-copy.svg",  L"edit-paste.svg", L"go-next.svg",  L"go-previous.svg",
    L"go-home.svg",      L"list-add.svg",  L"list-remove.svg", L"zoom-in.svg",   L"zoom-out.svg", L"edit-find.svg",
};

const wchar_t* const style_names[] = {
    L"light", L"dark", L"high-contrast", L"compact", L"print", L"dialog", L"toolbar", L"base",
};

const wchar_t* const language_names[] = {
    L"de", L"fr", L"es", L"it", L"pt_BR", L"pt_PT", L"nl", L"sv", L"da", L"fi",
    L"nb", L"pl", L"cs", L"hu", L"tr",    L"ru",    L"uk", L"ja", L"ko", L"zh_CN",
};

const wchar_t* const sound_names[] = {
    L"click", L"error", L"warning", L"notify", L"start", L"finish", L"drop", L"tick",
};

const wchar_t* const template_names[] = {
    L"report",  L"invoice",  L"letter",  L"summary", L"welcome", L"error", L"about",
    L"license", L"changes",  L"print",   L"export",  L"index",   L"table", L"chart",
};

const wchar_t* const license_names[] = {
    L"app", L"runtime", L"crypto", L"ssl", L"sqlite", L"xml", L"zlib", L"lzma", L"ffi", L"fonts",
};

void add(std::vector<shape_entry>* entries, const std::wstring& name, uint64_t size)
{
    entries->push_back({name, size});
}

}  // namespace

uint64_t image_size_of(const std::vector<shape_entry>& entries)
{
    uint64_t total = 3 + 2 + 2 + 8;  // magic, end marker, two zero bytes, count
    for (const shape_entry& entry : entries) {
        total += 2 * (entry.name.size() + 1) + 8 + entry.size;
    }
    return total;
}

bool make_payload_shape(unsigned divisor, payload_shape* shape)
{
    if (divisor == 0) {
        return false;
    }
    uint64_t random = 0x6F6E6566696C6521ull;
    std::vector<shape_entry> rest;

    for (size_t i = 0; i < sizeof fixed_library_names / sizeof *fixed_library_names; ++i) {
        add(&rest, fixed_library_names[i], fixed_library_sizes[i]);
    }
    add(&rest, remainder_name, 0);
    for (const wchar_t* name : module_names) {
        add(&rest, std::wstring(L"mod_") + name + L".pyd", between(&random, 16384, 1572864));
    }
    for (const wchar_t* name : font_names) {
        add(&rest, std::wstring(L"resources\\fonts\\") + name + L".ttf", between(&random, 150000, 800000));
    }
    for (const wchar_t* size_directory : {L"16", L"32"}) {
        for (const wchar_t* name : icon_names) {
            add(&rest, std::wstring(L"resources\\icons\\") + size_directory + L"\\" + name + L".png",
                between(&random, 600, 9000));
        }
    }
    for (const wchar_t* name : scalable_names) {
        add(&rest, std::wstring(L"resources\\icons\\scalable\\actions\\") + name, between(&random, 1500, 40000));
    }
    for (const wchar_t* name : style_names) {
        add(&rest, std::wstring(L"resources\\styles\\") + name + L".css", between(&random, 2000, 30000));
    }
    for (const wchar_t* name : sound_names) {
        add(&rest, std::wstring(L"resources\\sounds\\") + name + L".wav", between(&random, 20000, 180000));
    }
    for (const wchar_t* name : template_names) {
        add(&rest, std::wstring(L"resources\\templates\\") + name + L".html", between(&random, 1000, 24000));
    }
    add(&rest, L"certs\\ca-bundle.pem", 292184);
    for (int i = 1; i <= 3; ++i) {
        add(&rest, L"certs\\extra\\root-" + std::to_wstring(i) + L".pem", between(&random, 1400, 2400));
    }
    for (const wchar_t* name : license_names) {
        add(&rest, std::wstring(L"docs\\licenses\\LICENSE-") + name + L".txt", between(&random, 1000, 40000));
    }
    for (const wchar_t* name : language_names) {
        add(&rest, std::wstring(L"locale\\") + name + L"\\LC_MESSAGES\\app.mo", between(&random, 30000, 120000));
    }
    // The directory of a package that ships no files of its own: the empty
    // placeholder keeps it in existence after unpacking.
    add(&rest, L"Cryptodome\\Util\\.keep_dir.txt", 0);

    for (shape_entry& entry : rest) {
        entry.size /= divisor;
    }
    std::sort(rest.begin(), rest.end(),
              [](const shape_entry& a, const shape_entry& b) { return a.name < b.name; });

    uint64_t main_size = full_main_library_size / divisor;
    main_size = (main_size + 256) / 512 * 512;
    shape->entries.clear();
    shape->entries.push_back({L"main.dll", main_size});
    shape->entries.insert(shape->entries.end(), rest.begin(), rest.end());
    shape->image_size = full_image_size / divisor;

    uint64_t without_remainder = image_size_of(shape->entries);
    if (without_remainder > shape->image_size) {
        return false;
    }
    for (shape_entry& entry : shape->entries) {
        if (entry.name == remainder_name) {
            entry.size = shape->image_size - without_remainder;
        }
    }

    size_t longest = 0;
    for (const shape_entry& entry : shape->entries) {
        longest = std::max(longest, entry.name.size());
    }
    return shape->entries.size() == shape_entry_count && longest == shape_longest_name &&
           image_size_of(shape->entries) == shape->image_size;
}

void fill_bytes(byte_stream* stream, uint8_t* out, size_t count)
{
    while (count != 0) {
        uint64_t value = next_random(&stream->state);
        size_t take = count < 8 ? count : 8;
        memcpy(out, &value, take);
        out += take;
        count -= take;
    }
}
