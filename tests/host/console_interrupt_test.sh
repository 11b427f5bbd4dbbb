#!/bin/bash
# Console interrupts seen from outside. Wine delivers CTRL_C_EVENT to a
# program's console handler when its Unix process receives SIGINT, but only
# when the program runs in a pseudo-terminal, hence `script`. (On Windows the
# same event comes from Ctrl+C in the console; GenerateConsoleCtrlEvent does
# not work under Wine.)
#  1. While the parent waits for its child: the child gets up to five
#     seconds, is then terminated, the target directory is removed, and the
#     parent ends.
#  2. While the parent unpacks a payload of thousands of entries: it writes
#     no further entry, starts no child, leaves nothing behind, and ends with
#     the interrupt's status.
#
# Usage: console_interrupt_test.sh WINE_RUN PACK_TOOL LAUNCHER_STUB TEST_LIBRARY
set -u
wine_run=$1 pack=$2 stub=$3 library=$4
. "$(dirname "$0")/host_support.sh"
export ONEFILE_WINEPREFIX="$build/wineprefix"
unset TALMIR_ONEFILE_PARENT

find_target() { find "$ONEFILE_WINEPREFIX/drive_c" -maxdepth 7 -type d -name "onefile_*_$1" 2>/dev/null | head -n 1; }

# Under Wine the parent's Unix command line starts with the Unix path it was
# given, the child's with the Windows path the parent started it from; the
# `script` wrapper mentions the executable too, so the patterns are anchored.
parent_of() { pgrep -f "^/.*$1"; }
launchers_of() { pgrep -f "^(/|Z:).*$1"; }

# Starts EXE ARGS... in a pseudo-terminal with a fresh start value; sets
# `start` and `script_pid`, and the terminal's output goes to $work/out.
start_in_terminal() {
    start=$(fresh_start_value)
    TALMIR_ONEFILE_START="$start" script -qec "'$wine_run' $*" /dev/null >"$work/out" 2>&1 &
    script_pid=$!
}

wait_for_exit() {
    local exe=$1
    for _ in $(seq 1 150); do
        launchers_of "$exe" >/dev/null || break
        sleep 0.1
    done
    launchers_of "$exe" >/dev/null && { pkill -KILL -f "^(/|Z:).*$exe"; fail "a launcher process is still running"; }
    wait "$script_pid"
}

# 1. The child sleeps far longer than the test waits.
exe="$work/interrupt_app.exe"
package "$stub" "$exe"
start_in_terminal "'$exe'" --sleep 60000
target=""
for _ in $(seq 1 200); do
    target=$(find_target "$start")
    [ -n "$target" ] && [ -e "$target/$(basename "$library")" ] && break
    sleep 0.1
done
[ -n "$target" ] || fail "the parent never unpacked"
sleep 1  # let the child load the library and start sleeping

parent=$(parent_of interrupt_app.exe) || fail "no parent launcher process found"
began=$(date +%s.%N)
kill -INT "$parent"
for _ in $(seq 1 150); do
    [ -d "$target" ] || break
    sleep 0.1
done
ended=$(date +%s.%N)
[ -d "$target" ] && fail "the target directory was not removed: $target"
wait_for_exit interrupt_app.exe

check_sentinel "$work/cwd"

elapsed=$(awk -v a="$began" -v b="$ended" 'BEGIN { printf "%.1f", b - a }')
# The child ignores the interrupt and sleeps on, so the cleanup waits out
# its grace period of five seconds before terminating it.
awk -v e="$elapsed" 'BEGIN { exit !(e >= 4.5 && e < 12) }' || fail "removal took ${elapsed}s, expected about 5s"
echo "console interrupt: child terminated after the grace period, directory removed in ${elapsed}s"

# 2. Four thousand one-byte entries take the parent seconds to write under
# Wine; the interrupt comes as soon as the first ones are there.
many="$work/many"
for d in $(seq 1 40); do
    mkdir -p "$many/d$d"
    for f in $(seq 1 100); do printf x >"$many/d$d/f$f"; done
done
exe="$work/unpacking_app.exe"
package "$stub" "$exe" "$(windows_path "$many")"
start_in_terminal "'$exe'" --report
target=""
for _ in $(seq 1 300); do
    target=$(find_target "$start")
    [ -n "$target" ] && [ -n "$(find "$target" -type f -print -quit)" ] && break
    target=""
    sleep 0.05
done
[ -n "$target" ] || fail "the parent never began to unpack"
parent=$(parent_of unpacking_app.exe) || fail "no parent launcher process found"
kill -INT "$parent"
wait_for_exit unpacking_app.exe
status=$?

[ -d "$target" ] && fail "the target directory was left behind ($(find "$target" -type f | wc -l) files)"
grep -q "argc=" "$work/out" && fail "a child was started: $(tr -d '\r' <"$work/out" | head -n 3)"
# STATUS_CONTROL_C_EXIT (0xC000013A); Wine gives a Unix parent its low byte.
[ "$status" -eq 58 ] || fail "status $status, expected 58 (the low byte of STATUS_CONTROL_C_EXIT)"
check_sentinel "$work/cwd"
echo "console interrupt during unpacking: no child, nothing left, status of the interrupt"
echo "2 passed, 0 failed"
