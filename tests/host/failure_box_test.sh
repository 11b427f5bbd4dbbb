#!/bin/bash
# The message boxes of a GUI launcher's failures, for real: the outside
# tests' failure_box cases again, in the prefix whose null graphics driver
# makes windows (in the build tree's own prefix MessageBoxW fails at once),
# where the test program finds each box, reads it and answers it.
#
# Usage: failure_box_test.sh WINE_RUN OUTSIDE_TESTS
set -u
wine_run=$1 outside_tests=$2
. "$(dirname "$0")/host_support.sh"
use_window_prefix
unset TALMIR_ONEFILE_PARENT

ONEFILE_TEST_EXPECT_BOXES=1 "$wine_run" "$outside_tests" --gtest_filter='failure_box.*' </dev/null >"$work/log" 2>&1 ||
    { cat "$work/log"; fail "the failure boxes were not as expected"; }
grep -q '^\[  PASSED  \] 1 test' "$work/log" || { cat "$work/log"; fail "no failure box case ran"; }
check_sentinel "$work/cwd"
echo "failure boxes: shown, read and answered in a prefix that makes windows"
echo "1 passed, 0 failed"
