#!/bin/bash
# The example as a person meets it: hello.exe started from a terminal (a
# pseudo-terminal around Wine, so that its console is the terminal), and
# with its output redirected. Its output must arrive, with the greeting from
# the payload, and its exit status must be the one asked for.
#
# Usage: example_test.sh WINE_RUN HELLO_EXE
set -u
wine_run=$1 hello=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

# Run from a sentinel directory below the build tree (whose prefix CTest's
# working directory names).
export ONEFILE_WINEPREFIX="${ONEFILE_WINEPREFIX:-$(pwd)/wineprefix}"
mkdir -p scratch
work=$(mktemp -d "$(pwd)/scratch/example.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../host/sentinel.sh"
make_sentinel "$work/cwd"
cd "$work/cwd"

expect_lines() {
    local label=$1 file=$2
    shift 2
    for line in "$@"; do
        grep -qF -- "$line" "$file" || { cat "$file"; fail "$label: no line '$line'"; }
    done
}

expected=("argv[1] = Alice" "argv[2] = two words" "argv[4] = 7"
          "TALMIR_ONEFILE_PARENT = " "TALMIR_ONEFILE_START = " "TALMIR_ONEFILE_DIRECTORY = Z:\\"
          "TALMIR_ORIGINAL_ARGV0 = " "data\\greeting.txt says: Hello from inside the payload!" "Returning 7")

# A terminal: `script -e` passes the exit status on. Wine's console writes
# cursor controls and carriage returns around the text; they are dropped.
script -qec "'$wine_run' '$hello' Alice 'two words' --exit 7" /dev/null </dev/null >"$work/raw" 2>&1
status=$?
[ "$status" = 7 ] || { cat "$work/raw"; fail "in a terminal: status $status, expected 7"; }
sed -e 's/\x1b\[[0-9;?]*[a-zA-Z]//g' -e 's/\r//g' "$work/raw" >"$work/terminal"
expect_lines "in a terminal" "$work/terminal" "${expected[@]}"

# Redirected to a file.
"$wine_run" "$hello" Alice "two words" --exit 7 >"$work/out" 2>"$work/err"
status=$?
[ "$status" = 7 ] || fail "redirected: status $status, expected 7"
expect_lines "redirected" "$work/out" "${expected[@]}"

# A bad --exit value is refused before anything else is printed.
"$wine_run" "$hello" --exit seven >"$work/out" 2>"$work/err"
status=$?
[ "$status" = 2 ] || fail "bad --exit: status $status, expected 2"
[ -s "$work/out" ] && fail "bad --exit: unexpected output $(cat "$work/out")"
expect_lines "bad --exit" "$work/err" "--exit needs a whole number"

check_sentinel "$work/cwd"
echo "example: all checks passed"
