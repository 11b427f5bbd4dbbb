// Arbitrary argument vectors (zero bytes separate the elements; bytes 0x80
// and above stand for code units beyond Latin-1) through build_command_line
// and back through the reference splitter: every element, empty ones too,
// must come back unchanged, and the line must need exactly its length plus
// terminator.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "argument_splitter.h"
#include "fuzz_support.h"
#include "neutral/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::wstring> arguments(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += data[i] < 0x80 ? static_cast<wchar_t>(data[i]) : static_cast<wchar_t>(0x100 + data[i]);
        }
    }
    std::vector<wchar_t*> pointers;
    // Quoting at most doubles each unit and adds two quotes and a blank.
    size_t bound = 1;
    for (std::wstring& argument : arguments) {
        pointers.push_back(&argument[0]);
        bound += 2 * argument.size() + 3;
    }
    int count = static_cast<int>(pointers.size());

    std::vector<wchar_t> roomy(bound, L'#');
    require(run_until_abnormal_end([&] { build_command_line(roomy.data(), bound, pointers.data(), count); }),
            "fits the bound");
    std::wstring line(roomy.data());
    std::vector<std::wstring> split;
    split_command_line(line.c_str(), &split);
    require(split == arguments, "splitting gives every element back");

    std::vector<wchar_t> exact(line.size() + 1, L'#');
    require(run_until_abnormal_end([&] { build_command_line(exact.data(), exact.size(), pointers.data(), count); }),
            "fits its length plus terminator");
    require(line == exact.data(), "same line in an exact buffer");
    std::vector<wchar_t> short_by_one(line.size() + 1, L'#');
    require(!run_until_abnormal_end(
                [&] { build_command_line(short_by_one.data(), line.size(), pointers.data(), count); }),
            "one unit short ends the process");
    return 0;
}
