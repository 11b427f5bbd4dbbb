#!/bin/bash
# Console interrupts seen from outside. A real Ctrl+C reaches every process
# attached to the console; here SIGINT goes to the terminal's foreground
# process group, which holds the Wine processes of the parent and of its
# child, and Wine turns it into CTRL_C_EVENT for each of them. That works
# only in a pseudo-terminal, hence `script` (GenerateConsoleCtrlEvent does
# not work under Wine).
#  1. While the application runs, Ctrl+C is the application's: one that
#     ignores it runs to its own end and its status is the launcher's; one
#     that does not ends at once. Either way nothing is left behind.
#  2. While the parent unpacks a payload of thousands of entries, the
#     launcher is the application: it writes no further entry, starts no
#     child, leaves nothing behind, and ends with the interrupt's status.
#
# Usage: console_interrupt_test.sh WINE_RUN PACK_TOOL LAUNCHER_STUB TEST_LIBRARY
set -u
wine_run=$1 pack=$2 stub=$3 library=$4
. "$(dirname "$0")/host_support.sh"
export ONEFILE_WINEPREFIX="$build/wineprefix"
unset TALMIR_ONEFILE_PARENT

find_target() { find "$ONEFILE_WINEPREFIX/drive_c" -maxdepth 7 -type d -name "onefile_*_$1" 2>/dev/null | head -n 1; }

# Starts EXE ARGS... in a pseudo-terminal with a fresh start value; sets
# `start` and `script_pid`, and the terminal's output goes to $work/out.
start_in_terminal() {
    start=$(fresh_start_value)
    TALMIR_ONEFILE_START="$start" script -qec "'$wine_run' $*" /dev/null >"$work/out" 2>&1 &
    script_pid=$!
    group=""
}

# The terminal's foreground process group, found from the terminal's own
# process (the one `script` started), not by any program's name.
foreground_group() {
    local inside
    inside=$(ps -o pid= --ppid "$script_pid" | head -n 1 | tr -d ' ')
    [ -n "$inside" ] && ps -o tpgid= -p "$inside" | tr -d ' '
}

# Ctrl+C, as the terminal sends it.
interrupt() {
    group=$(foreground_group)
    [ -n "$group" ] && [ "$group" -gt 1 ] || fail "no foreground process group in the terminal"
    kill -INT -- "-$group"
}

# Waits (at most $1 tenths of a second) for the terminal's program to end;
# sets `status` to its exit status. A run that goes on is killed, with every
# process of its group, and fails the test.
await_end() {
    for _ in $(seq 1 "$1"); do
        kill -0 "$script_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$script_pid" 2>/dev/null; then
        [ -n "$group" ] && kill -KILL -- "-$group" 2>/dev/null
        fail "the launcher did not end: $(tr -d '\r' <"$work/out" | head -n 5)"
    fi
    wait "$script_pid"
    status=$?
    # Nothing of the run may outlive it (an ended process that its parent
    # has not reaped yet does not count).
    [ -n "$group" ] || return 0
    for _ in $(seq 1 20); do
        left=$(ps -o pid=,stat=,args= -g "$group" | awk '$2 !~ /^Z/')
        [ -z "$left" ] && return 0
        sleep 0.1
    done
    kill -KILL -- "-$group" 2>/dev/null
    fail "a process of the run is still running: $left"
}

await_unpacked() {
    target=""
    for _ in $(seq 1 200); do
        target=$(find_target "$start")
        [ -n "$target" ] && [ -e "$target/$(basename "$library")" ] && break
        sleep 0.1
    done
    [ -n "$target" ] || fail "the parent never unpacked"
}

seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

# 1. The application decides. One that handles Ctrl+C goes on sleeping
#    after it and ends with its own status; one that does not is ended by
#    the system's default handling at once. Either way the directory goes.
# interrupt_running WAIT ARGS...: starts the application with ARGS, sends
# Ctrl+C once it runs and waits at most WAIT tenths of a second for the end;
# sets `status` and `elapsed`.
interrupt_running() {
    local wait=$1
    shift
    start_in_terminal "'$exe'" --touch ready.txt "$@"
    await_unpacked
    for _ in $(seq 1 100); do [ -e "$target/ready.txt" ] && break; sleep 0.1; done
    local began
    began=$(date +%s.%N)
    interrupt
    await_end "$wait"
    elapsed=$(seconds_since "$began")
    [ -d "$target" ] && fail "the target directory was not removed: $target"
}
exe="$work/interrupt_app.exe"
package "$stub" "$exe"
interrupt_running 150 --ignore-interrupt --sleep 4000 --status 42
[ "$status" -eq 42 ] || fail "status $status, expected the application's own 42: $(tr -d '\r' <"$work/out" | head -n 3)"
awk -v e="$elapsed" 'BEGIN { exit !(e >= 2.0) }' || fail "the application was cut short ${elapsed}s after the interrupt"
echo "console interrupt ignored by the application: it ran on to its own status 42, directory removed"

interrupt_running 100 --sleep 60000
awk -v e="$elapsed" 'BEGIN { exit !(e < 4.0) }' || fail "the application took ${elapsed}s to end after the interrupt"
check_sentinel "$work/cwd"
echo "console interrupt not handled by the application: it ended at once (${elapsed}s), directory removed"

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
interrupt
await_end 150

[ -d "$target" ] && fail "the target directory was left behind ($(find "$target" -type f | wc -l) files)"
grep -q "argc=" "$work/out" && fail "a child was started: $(tr -d '\r' <"$work/out" | head -n 3)"
# STATUS_CONTROL_C_EXIT (0xC000013A); Wine gives a Unix parent its low byte.
[ "$status" -eq 58 ] || fail "$(tr -d "\r" <"$work/out" | head -n 5) status $status, expected 58 (the low byte of STATUS_CONTROL_C_EXIT)"
check_sentinel "$work/cwd"
echo "console interrupt during unpacking: no child, nothing left, status of the interrupt"
echo "3 passed, 0 failed"
