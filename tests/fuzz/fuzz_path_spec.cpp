// Path spec expansion against a small reference model. The input holds the
// capacity (two bytes) and then, separated by zero bytes, the spec and the
// provider's TEMP, PROGRAM, PID, HOME, CACHE_DIR and TIME values; a value
// the input does not reach counts as one the platform did not deliver.
// Bytes 0x80 and above stand for code units beyond Latin-1. A spec that
// passes as a target directory's template names its run's directory with
// a prefix whose expansion begins the whole one's.
#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "neutral/path_spec.h"
#include "neutral/wide_bounded.h"

namespace {

constexpr int provided_count = 6;
const path_spec_placeholder provided[provided_count] = {spec_temp, spec_program,   spec_pid,
                                                        spec_home, spec_cache_dir, spec_time};
const std::wstring company = L"Company", product = L"Product", version = L"1.2";

struct fake_values {
    const std::wstring* value[provided_count];
};

const std::wstring* value_of(const fake_values& values, path_spec_placeholder which)
{
    switch (which) {
    case spec_company: return &company;
    case spec_product: return &product;
    case spec_version: return &version;
    default: break;
    }
    for (int i = 0; i < provided_count; ++i) {
        if (provided[i] == which) {
            return values.value[i];
        }
    }
    return nullptr;
}

bool fake_append(void* context, path_spec_placeholder which, wchar_t* output, size_t capacity)
{
    const std::wstring* value = value_of(*static_cast<const fake_values*>(context), which);
    if (value == nullptr) {
        return false;
    }
    append_wide_bounded(output, value->c_str(), capacity);
    return true;
}

enum outcome { expanded, failed, ended };

wchar_t fold(wchar_t unit)
{
    return (unit >= L'a' && unit <= L'z') ? static_cast<wchar_t>(unit - 32) : unit;
}

bool same_name(const std::wstring& a, const wchar_t* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i] != 0; ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return i == a.size() && b[i] == 0;
}

// The documented behaviour, with unbounded strings and capacity checks made
// up front.
outcome model(const std::wstring& spec, size_t capacity, const fake_values& values, std::wstring* out)
{
    static const struct {
        const wchar_t* name;
        path_spec_placeholder which;
    } names[] = {
        {L"TEMP", spec_temp},       {L"PROGRAM", spec_program},     {L"PROGRAM_BASE", spec_program_base},
        {L"PROGRAM_DIR", spec_program_dir}, {L"PID", spec_pid},     {L"HOME", spec_home},
        {L"CACHE_DIR", spec_cache_dir},     {L"COMPANY", spec_company}, {L"PRODUCT", spec_product},
        {L"VERSION", spec_version},         {L"TIME", spec_time},
    };
    out->clear();
    if (capacity == 0) {
        return ended;
    }
    std::wstring name;
    bool open = false;
    for (wchar_t unit : spec) {
        if (unit == L'{') {
            open = true;
            name.clear();
            continue;
        }
        if (unit == L'}' && open) {
            open = false;
            path_spec_placeholder which = spec_unknown;
            for (const auto& row : names) {
                if (same_name(name, row.name)) {
                    which = row.which;
                    break;
                }
            }
            std::wstring value;
            switch (which) {
            case spec_unknown: return failed;
            default: {
                bool derived = which == spec_program_base || which == spec_program_dir;
                const std::wstring* given = value_of(values, derived ? spec_program : which);
                if (given == nullptr) {
                    return failed;
                }
                value = *given;
            }
            }
            // PROGRAM_BASE and PROGRAM_DIR: the whole program path has to fit
            // before it is cut.
            if (out->size() + value.size() + 1 > capacity) {
                return ended;
            }
            if (which == spec_program_base && value.size() >= 4 &&
                same_name(value.substr(value.size() - 4), L".EXE")) {
                value.resize(value.size() - 4);
            }
            if (which == spec_program_dir) {
                size_t cut = value.rfind(L'\\');
                if (cut != std::wstring::npos) {
                    value.resize(cut);
                }
            }
            *out += value;
            if (which == spec_temp || which == spec_home || which == spec_cache_dir) {
                while (!out->empty() && out->back() == L'\\') {
                    out->pop_back();
                }
            }
            continue;
        }
        if (open) {
            if (name.size() + 1 >= path_spec_name_capacity) {
                return failed;
            }
            name += unit;
            continue;
        }
        if (out->size() + 1 >= capacity) {
            return failed;
        }
        *out += unit;
    }
    return expanded;
}

wchar_t unit_of(uint8_t byte)
{
    return byte < 0x80 ? static_cast<wchar_t>(byte) : static_cast<wchar_t>(0x4E00 + byte);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    // Up to 2300, so that 1024-unit names and long values fit too; 0 only
    // ends the process.
    size_t capacity = static_cast<size_t>(data[0] | (data[1] << 8)) % 2300;

    std::vector<std::wstring> fields(1 + provided_count);
    size_t field_count = 1;
    for (size_t i = 2; i < size && field_count <= fields.size(); ++i) {
        if (data[i] == 0) {
            ++field_count;
        } else if (field_count <= fields.size()) {
            fields[field_count - 1] += unit_of(data[i]);
        }
    }
    fake_values values;
    for (int i = 0; i < provided_count; ++i) {
        values.value[i] = static_cast<size_t>(i + 1) < field_count ? &fields[i + 1] : nullptr;
    }

    // Exactly the capacity, so that AddressSanitizer sees a write past it.
    std::vector<wchar_t> output(capacity == 0 ? 1 : capacity, L'#');
    path_spec_provider provider = {fake_append, &values};
    bool result = false;
    bool returned = run_until_abnormal_end(
        [&] { result = expand_path_spec_with(output.data(), fields[0].c_str(), capacity, &provider); });

    std::wstring expected;
    outcome predicted = model(fields[0], capacity, values, &expected);
    if (!returned) {
        require(predicted == ended, "ends only when a placeholder value does not fit");
        return 0;
    }
    require(predicted == (result ? expanded : failed), "result agrees with the model");
    size_t length = 0;
    while (length < capacity && output[length] != 0) {
        ++length;
    }
    require(length < capacity, "output terminated within its capacity");
    require(expected == std::wstring(output.data(), length), "output agrees with the model");

    // Identifiers and times are digits; a backslash at the end of one could
    // be stripped by a later placeholder's rule.
    auto plain = [&](path_spec_placeholder which) {
        const std::wstring* value = value_of(values, which);
        return value == nullptr || value->find(L'\\') == std::wstring::npos;
    };
    path_spec_template_facts facts;
    if (result && plain(spec_pid) && plain(spec_time) &&
        path_spec_check_template(fields[0].c_str(), capacity, &facts) == template_ok) {
        require(facts.run_root <= fields[0].size(), "the run's directory is a prefix of the template");
        std::wstring root_spec = fields[0].substr(0, facts.run_root);
        std::wstring root;
        require(model(root_spec, capacity, values, &root) == expanded, "the prefix of an expandable template expands");
        require(expected.compare(0, root.size(), root) == 0 &&
                    (root.size() == expected.size() || expected[root.size()] == L'\\'),
                "the run's directory holds the target directory");
    }
    return 0;
}
