#pragma once
// Parent or child: decided once, before anything touches the disk.
#include <wchar.h>

// The child role returns the parent identifier text (TALMIR_ONEFILE_PARENT's
// value, kept for the process's life); the parent role returns null, having
// exported its own process identifier.
const wchar_t* decide_role();
