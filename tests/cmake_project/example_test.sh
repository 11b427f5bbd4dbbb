#!/bin/bash
# The examples as a person meets them: hello.exe started from a terminal (a
# pseudo-terminal around Wine, so that its console is the terminal), and
# with its output redirected. Its output must arrive, with the greeting from
# the payload, and its exit status must be the one asked for. ported.exe, a
# C program with main() made a main library by onefile::main, gets Unicode
# arguments in UTF-8, finds its data file and ends through exit().
#
# Usage: example_test.sh WINE_RUN HELLO_EXE PORTED_EXE
set -u
wine_run=$1 hello=$2 ported=$3

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

# The ported program: UTF-8 arguments (their lengths in bytes show the
# encoding), argv[0] in the payload directory, which the function and the
# variable name alike and a program it runs inherits, the data file read
# from there, and exit() from main whose buffered output still arrives.
"$wine_run" "$ported" "Grüße" "日本 語" "😀" --run 'cmd /c echo child sees %TALMIR_ONEFILE_PAYLOAD_DIRECTORY%' \
    --exit 7 >"$work/out" 2>"$work/err"
status=$?
[ "$status" = 7 ] || { cat "$work/out" "$work/err"; fail "ported: status $status, expected 7"; }
tr -d '\r' <"$work/out" >"$work/ported"
directory=$(sed -n 's/^payload directory: //p' "$work/ported")
case "$directory" in
'C:\users\'*'\Temp\onefile_'[0-9]*_[0-9]*) ;;
*) cat "$work/ported"; fail "ported: payload directory '$directory'" ;;
esac
expect_lines "ported" "$work/ported" "8 arguments" "argv[0] = $directory\ported.exe (" "argv[1] = Grüße (7 bytes)" \
    "argv[2] = 日本 語 (10 bytes)" "argv[3] = 😀 (4 bytes)" "TALMIR_ONEFILE_PAYLOAD_DIRECTORY = $directory" \
    "child sees $directory" "data/motd.txt: Hello from the payload of a ported program!" "exit(7)"
"$wine_run" "$ported" >"$work/out" 2>"$work/err"
status=$?
[ "$status" = 0 ] || { cat "$work/out" "$work/err"; fail "ported, returning from main: status $status"; }
expect_lines "ported, returning from main" "$work/out" "1 arguments"

check_sentinel "$work/cwd"
echo "example: all checks passed"
