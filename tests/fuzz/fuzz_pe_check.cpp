// The packaging tool's main-library check reads files it did not write:
// whatever the headers claim, it must stay inside the bytes it was given and
// give the same answer twice.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "neutral/pe_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size heap copy, so that AddressSanitizer catches a read one
    // byte past the end.
    uint8_t* copy = static_cast<uint8_t*>(malloc(size == 0 ? 1 : size));
    if (size != 0) {
        memcpy(copy, data, size);
    }
    pe_facts first = {};
    pe_facts second = {};
    pe_problem answer = pe_check_main_library(copy, size, &first);
    if (pe_check_main_library(copy, size, &second) != answer || memcmp(&first, &second, sizeof first) != 0) {
        abort();
    }
    if (pe_problem_text(answer) == nullptr) {
        abort();
    }
    free(copy);
    return 0;
}
