#pragma once
// The end for an internal limit (a full buffer, a failed conversion, a value
// that must be present and is not): status 3 and nothing on any stream.
// Defined apart from its callers so that a fuzzing harness, and the launcher
// (which removes what its run created first), can supply their own.
[[noreturn]] void abnormal_end();
