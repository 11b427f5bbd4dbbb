#!/bin/bash
# The session ends (logoff, shutdown, an update's reboot) while an application
# runs, under a GUI-subsystem and under a console launcher: no target
# directory may be left behind. An application that runs from its unpack
# cache keeps the cache. `wineboot --end-session --kill` sends
# WM_QUERYENDSESSION and WM_ENDSESSION to every top-level window, waits for
# the answers and then kills every program, as Windows does at a session's
# end. It ends everything in its prefix, so this test has a prefix of its own
# (shared with failure_box_test.sh, which CTest never runs at the same time).
#
# Usage: session_end_test.sh WINE_RUN PACK_TOOL GUI_STUB CONSOLE_STUB TEST_LIBRARY
set -u
wine_run=$1 pack=$2 gui_stub=$3 console_stub=$4 library=$5
. "$(dirname "$0")/host_support.sh"
use_window_prefix
unset TALMIR_ONEFILE_PARENT

temp_root="$ONEFILE_WINEPREFIX/drive_c/users"
starts=()
for kind in gui console; do
    stub=$gui_stub
    [ "$kind" = console ] && stub=$console_stub
    exe="$work/${kind}_app.exe"
    package "$stub" "$exe"
    start=$(fresh_start_value)
    starts+=("$start")
    # Ready once the parent's window exists: a session that ends before it
    # does (the parent still unpacking) is not what this test is about.
    TALMIR_ONEFILE_START="$start" "$wine_run" "$exe" --await-window onefile_session_end --touch ready.txt \
        --sleep 60000 </dev/null >/dev/null 2>&1 &
done

# A start from the cache: its first start has put the cache in place.
cached="$work/cached_app.exe"
cache_template="$(windows_path "$work/cache")\\app"
"$wine_run" "$pack" pack --launcher "$(windows_path "$gui_stub")" --output "$(windows_path "$cached")" --cache \
    --target-directory "$cache_template" "$(windows_path "$library")" >/dev/null || fail "could not package $cached"
"$wine_run" "$cached" </dev/null >/dev/null 2>&1 || fail "the cached application's first start failed"
cache=""
for _ in $(seq 1 300); do
    cache=$(find "$work/cache" -maxdepth 1 -name 'app_????????????????' -type d 2>/dev/null | head -n 1)
    [ -n "$cache" ] && [ -f "$cache/stamp" ] && break
    cache=""
    sleep 0.1
done
[ -n "$cache" ] || fail "the cache was never put in place"
"$wine_run" "$cached" --touch ready.txt --sleep 60000 </dev/null >/dev/null 2>&1 &
for _ in $(seq 1 300); do [ -f "$cache/files/ready.txt" ] && break; sleep 0.1; done
[ -f "$cache/files/ready.txt" ] || fail "the cached application never started"

for start in "${starts[@]}"; do
    ready=""
    for _ in $(seq 1 300); do
        ready=$(find "$temp_root" -maxdepth 5 -path "*/onefile_*_$start/ready.txt" 2>/dev/null | head -n 1)
        [ -n "$ready" ] && break
        sleep 0.1
    done
    [ -n "$ready" ] || fail "a launcher never started its application"
done

# Each parent gives what is left of its run three seconds after the session
# ends (Wine tells the parents one after the other, by process identifier)
# and is done within five; a parent that heard of the end late, or waited
# for a message that would never come, would take far longer.
began=$(date +%s.%N)
"$wine_run" wineboot --end-session --kill >/dev/null 2>&1
wait
elapsed=$(awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
awk -v e="$elapsed" 'BEGIN { exit !(e < 2 * 5 + 5) }' || fail "the session's end took ${elapsed}s"

for start in "${starts[@]}"; do
    left=$(find "$temp_root" -maxdepth 4 -type d -name "onefile_*_$start" 2>/dev/null)
    [ -z "$left" ] || fail "left behind at the session's end: $left"
done
[ -f "$cache/stamp" ] && [ -f "$cache/files/$(basename "$library")" ] || fail "the cache went at the session's end"
check_sentinel "$work/cwd"
echo "session end: no target directory left behind (GUI and console launchers), the cache kept, ${elapsed}s"
echo "1 passed, 0 failed"
