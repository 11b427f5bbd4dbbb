# Sourced by the host tests, which CTest starts in the build tree with the
# Wine wrapper, the packaging tool and the test library as arguments.

fail() { echo "FAIL: $*" >&2; exit 1; }
windows_path() { printf 'Z:%s' "$1" | sed 's#/#\\#g'; }

# $work: a fresh directory below the build tree's scratch area, removed at
# the end together with whatever `cleanup_also` names.
build=$(pwd)
mkdir -p "$build/scratch"
work=$(mktemp -d "$build/scratch/host.XXXXXX")
cleanup_also=true
trap 'eval "$cleanup_also"; rm -rf "$work"' EXIT

# Windows programs start in a sentinel directory (see sentinel.sh); a test
# ends with check_sentinel "$work/cwd".
. "$(dirname "$0")/sentinel.sh"
make_sentinel "$work/cwd"
cd "$work/cwd"

# package STUB EXE [INPUT...]: the test library (and the inputs) attached to a
# copy of the launcher stub.
package() {
    "$wine_run" "$pack" pack --launcher "$(windows_path "$1")" --output "$(windows_path "$2")" \
        "$(windows_path "$library")" "${@:3}" >/dev/null || fail "could not package $2"
}

# A start time a day ahead (100-ns units since 1601), unique per call: given
# as TALMIR_ONEFILE_START to a parent, it names that parent's target directory
# (a launcher keeps an inherited start value only if it is not before its own
# start).
fresh_start_value() { echo $(( $(date +%s%N) / 100 + (11644473600 + 86400) * 10000000 )); }

# The prefix of the tests that need windows, build/windows/session-wineprefix
# (CTest keeps them apart with a resource lock): Wine without a display
# creates windows only with its null graphics driver. The desktop process
# that the prefix's first program started keeps the driver it began with,
# so the server stops and the next start begins anew. The server is stopped
# again at the end.
use_window_prefix() {
    export ONEFILE_WINEPREFIX="$build/session-wineprefix"
    cleanup_also='WINEPREFIX="$ONEFILE_WINEPREFIX" wineserver -k 2>/dev/null'
    if [ ! -f "$ONEFILE_WINEPREFIX/.null-graphics" ]; then
        "$wine_run" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 ||
            fail "could not select the null graphics driver"
        WINEPREFIX="$ONEFILE_WINEPREFIX" wineserver -k 2>/dev/null
        WINEPREFIX="$ONEFILE_WINEPREFIX" wineserver -w 2>/dev/null
        touch "$ONEFILE_WINEPREFIX/.null-graphics"
    fi
}
