#pragma once
// The child role's last stage: load the main library from the target
// directory and run its exported run_code.

// Returns run_code's result bit for bit; every failure ends the process.
int run_main_library();
