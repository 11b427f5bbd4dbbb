#!/bin/bash
# A console interrupt while the parent waits for its child: the child gets up
# to five seconds, is then terminated, the target directory is removed, and
# the parent ends. Wine delivers CTRL_C_EVENT to a program's console handler
# when its Unix process receives SIGINT, but only when the program runs in a
# pseudo-terminal, hence `script`. (On Windows the same event comes from
# Ctrl+C in the console; GenerateConsoleCtrlEvent does not work under Wine.)
#
# Usage: console_interrupt_test.sh WINE_RUN PACK_TOOL LAUNCHER_STUB TEST_LIBRARY
set -u
wine_run=$1 pack=$2 stub=$3 library=$4

fail() { echo "FAIL: $*" >&2; exit 1; }
windows_path() { printf 'Z:%s' "$1" | sed 's#/#\\#g'; }

build=$(pwd)
export ONEFILE_WINEPREFIX="$build/wineprefix"
mkdir -p "$build/scratch"
work=$(mktemp -d "$build/scratch/interrupt.XXXXXX")
trap 'rm -rf "$work"' EXIT

exe="$work/interrupt_app.exe"
"$wine_run" "$pack" pack --launcher "$(windows_path "$stub")" --output "$(windows_path "$exe")" \
    "$(windows_path "$library")" >/dev/null || fail "could not package the test application"

# A start time a day ahead (100-ns units since 1601), unique by process:
# the launcher keeps an inherited one only if it is not before its own start.
start=$(( ($(date +%s) + 11644473600 + 86400) * 10000000 + $$ % 10000000 ))
export TALMIR_ONEFILE_START="$start"
unset TALMIR_ONEFILE_PARENT

# The child sleeps far longer than the test waits.
script -qec "'$wine_run' '$exe' --sleep 60000" /dev/null >"$work/out" 2>&1 &
script_pid=$!

find_target() { find "$ONEFILE_WINEPREFIX/drive_c" -maxdepth 7 -type d -name "onefile_*_$start" 2>/dev/null | head -n 1; }

target=""
for _ in $(seq 1 200); do
    target=$(find_target)
    [ -n "$target" ] && [ -e "$target/$(basename "$library")" ] && break
    sleep 0.1
done
[ -n "$target" ] || fail "the parent never unpacked"
sleep 1  # let the child load the library and start sleeping

# Under Wine the parent's Unix command line starts with the Unix path it was
# given, the child's with the Windows path the parent started it from; the
# `script` wrapper mentions the executable too, so the patterns are anchored.
launchers='^(/|Z:).*interrupt_app\.exe'
parent=$(pgrep -f '^/.*interrupt_app\.exe') || fail "no parent launcher process found"
began=$(date +%s.%N)
kill -INT "$parent"

for _ in $(seq 1 150); do
    [ -d "$target" ] || break
    sleep 0.1
done
ended=$(date +%s.%N)
[ -d "$target" ] && fail "the target directory was not removed: $target"

for _ in $(seq 1 100); do
    pgrep -f "$launchers" >/dev/null || break
    sleep 0.1
done
pgrep -f "$launchers" >/dev/null && { pkill -KILL -f "$launchers"; fail "a launcher process is still running"; }
wait "$script_pid" 2>/dev/null

elapsed=$(awk -v a="$began" -v b="$ended" 'BEGIN { printf "%.1f", b - a }')
# The child ignores the interrupt and sleeps on, so the cleanup waits out
# its grace period of five seconds before terminating it.
awk -v e="$elapsed" 'BEGIN { exit !(e >= 4.5 && e < 12) }' || fail "removal took ${elapsed}s, expected about 5s"
echo "console interrupt: child terminated after the grace period, directory removed in ${elapsed}s"
echo "1 passed, 0 failed"
