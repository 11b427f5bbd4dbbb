#pragma once
// Shared by the fuzz harnesses; each harness is a single translation unit
// and includes this once.
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

#include "neutral/abnormal_end.h"

// Where abnormal_end jumps to while a call runs under run_until_abnormal_end.
// A placeholder value or command line that does not fit ends the launcher on
// purpose; here that is an outcome to check, not a crash. The neutral code
// keeps no objects with destructors on the stack, so jumping over its frames
// leaks nothing.
static jmp_buf* abnormal_end_target = nullptr;

[[noreturn]] void abnormal_end()
{
    if (abnormal_end_target == nullptr) {
        fprintf(stderr, "abnormal_end outside a guarded call\n");
        abort();
    }
    longjmp(*abnormal_end_target, 1);
}

// True when the call returned, false when it ended through abnormal_end.
template <typename call_type>
bool run_until_abnormal_end(call_type call)
{
    jmp_buf target;
    if (setjmp(target) != 0) {
        abnormal_end_target = nullptr;
        return false;
    }
    abnormal_end_target = &target;
    call();
    abnormal_end_target = nullptr;
    return true;
}

inline void require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "fuzz check failed: %s\n", what);
        abort();
    }
}
