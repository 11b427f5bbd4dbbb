#!/bin/sh
# Nothing below a Wine prefix's C:\users may lead out of the prefix: a
# removal gone wrong there would reach through a link into the host's files
# (a new prefix links Desktop, Documents, ... to the host's home; wine-run
# replaces those links with plain directories). Checks every prefix of the
# build tree: the tests', made here if need be, and the example's when
# scripts/run-example has made it.
#
# Usage: prefix_links_test.sh WINE_RUN BUILD_DIR
set -u
wine_run=$1 build=$2

mkdir -p "$build/scratch"
work=$(mktemp -d "$build/scratch/prefix.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && ONEFILE_WINEPREFIX="$build/wineprefix" "$wine_run" cmd.exe /c exit) >/dev/null 2>&1

status=0
checked=0
for prefix in "$build"/*wineprefix; do
    [ -d "$prefix/drive_c/users" ] || continue
    checked=$((checked + 1))
    inside=$(readlink -m "$prefix")
    {
        echo "$prefix/drive_c"
        echo "$prefix/drive_c/users"
        find "$prefix/drive_c/users" -type l
    } >"$work/paths"
    while IFS= read -r path; do
        target=$(readlink -m "$path")
        case "$target" in
        "$inside"/*) ;;
        *)
            echo "FAIL: $path leads out of the prefix, to $target" >&2
            status=1
            ;;
        esac
    done <"$work/paths"
done
[ "$checked" -gt 0 ] || { echo "FAIL: no prefix in $build" >&2; exit 1; }
[ "$status" -eq 0 ] && echo "$checked prefix(es): no link below drive_c/users leads out"
exit $status
