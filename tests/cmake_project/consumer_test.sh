#!/bin/bash
# A separate project packs its application with the installed package:
# install this build tree, move the installation (it must not remember where
# it was made), configure and build consumer/ with find_package(onefile),
# run what it produced, then change inputs and check that exactly the
# affected executables are rebuilt with the new contents. Every configure
# and build runs with Wine hidden: building needs none, only running does.
# A second build tree gives the same bytes; a signed executable verifies,
# runs and lists, and signed again later gives the same bytes; a project
# that enables only C packs a C library, and the build refuses one whose DLL
# is not in the payload. The examples build against the installation the
# same way.
#
# Usage: consumer_test.sh CMAKE BUILD_DIR CONSUMER_SOURCE PREBUILT_LIBRARY EXAMPLE_SOURCE
set -u
cmake=$1 build=$2 source=$3 prebuilt=$4 example=$5

fail() { echo "FAIL: $*" >&2; exit 1; }

export ONEFILE_WINEPREFIX="$build/wineprefix"
# The signing time (the consumer's SIGN_COMMAND reads it, as the README
# shows); the second build tree below goes without it.
export SOURCE_DATE_EPOCH=1767225600
mkdir -p "$build/scratch"
work=$(mktemp -d "$build/scratch/cmake_project.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$cmake" --install "$build" --prefix "$work/staging" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install failed"; }
mv "$work/staging" "$work/prefix"
package="$work/prefix/lib/cmake/onefile"

# Wine hidden: a program of that name fails loudly and leaves a mark.
mkdir -p "$work/no-wine"
for name in wine wine64 wineserver; do
    printf '#!/bin/sh\necho "%s was started during a build: $*" >&2\ntouch "%s/wine-was-used"\nexit 99\n' \
        "$name" "$work" >"$work/no-wine/$name"
    chmod +x "$work/no-wine/$name"
done
without_wine() { PATH="$work/no-wine:$PATH" "$@"; }

cp -r "$source" "$work/src"
mkdir -p "$work/src/data/empty"  # git keeps no empty directories

# The branded executable's icon: a 16-pixel bitmap whose directory entry
# leaves planes and depth to the image, and a 48-pixel PNG (with "png" as
# the first argument, the PNG alone).
write_icon() {
    python3 - "$work/src/app.ico" "$@" <<'EOF'
import struct, sys, zlib
def png(n):
    rows = b"".join(b"\0" + b"\x20\x80\xe0\xff" * n for _ in range(n))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")
def bitmap(n):  # colours, then the mask, each row padded to 32 bits; the height counts both
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"\xe0\x80\x20\xff" * n * n + b"\0" * 4 * n
images = [(48, 1, 32, png(48))] if sys.argv[2:] == ["png"] else [(16, 0, 0, bitmap(16)), (48, 1, 32, png(48))]
directory = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
for n, planes, bits, data in images:
    directory += struct.pack("<BBBBHHII", n, n, 0, 0, planes, bits, len(data), offset)
    offset += len(data)
open(sys.argv[1], "wb").write(directory + b"".join(data for *_, data in images))
EOF
}
write_icon

# A throwaway certificate for the signed executable.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=onefile consumer test" >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log"; fail "no certificate"; }

# configure SOURCE BUILD [CMAKE ARGUMENTS...]
configure() {
    local from=$1 to=$2
    shift 2
    without_wine "$cmake" -S "$from" -B "$to" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$package/toolchain-mingw64.cmake" -DCMAKE_PREFIX_PATH="$work/prefix" "$@" \
        >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "$from did not configure in $to"; }
}
configure "$work/src" "$work/out" -DPREBUILT_LIBRARY="$prebuilt" -DSIGN_CERT="$work/cert.pem" \
    -DSIGN_KEY="$work/key.pem"

build_log="$work/build.log"
# Whether the build log says TEXT, CMake's wrapping of long messages undone.
logged() { tr -s ' \n' '  ' <"$build_log" | grep -qF -- "$1"; }
rebuild() {
    without_wine "$cmake" --build "$work/out" >"$build_log" 2>&1 ||
        { cat "$build_log"; fail "the consumer build failed ($1)"; }
    [ -e "$work/wine-was-used" ] && { cat "$build_log"; fail "the build started Wine ($1)"; }
}

# check LABEL EXE EXPECTED_STATUS EXPECTED_OUTPUT ARGUMENTS...
check() {
    local label=$1 exe=$2 expected_status=$3 expected=$4
    shift 4
    local output status
    output=$(cd "$work/out" && "$package/wine-run" "./$exe" "$@" 2>"$work/err")
    status=$?
    [ "$status" = "$expected_status" ] || fail "$label: status $status, expected $expected_status ($(cat "$work/err"))"
    [ "$output" = "$expected" ] || fail "$label: output was
$output
expected
$expected"
}

# The checksum in the optional header against the sum of the file's 16-bit
# words (the field itself read as zero, carries folded in) plus its length.
pe_checksum_holds() {
    python3 - "$1" <<'EOF'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
length = len(data)
field = struct.unpack_from("<I", data, 0x3C)[0] + 4 + 20 + 64
stored = struct.unpack_from("<I", data, field)[0]
data[field:field + 4] = bytes(4)
if length % 2:
    data.append(0)
total = 0
for (word,) in struct.iter_unpack("<H", data):
    total += word
    total = (total & 0xFFFF) + (total >> 16)
sys.exit(0 if stored != 0 and stored == total + length else 1)
EOF
}

subsystem() { x86_64-w64-mingw32-objdump -p "$work/out/$1" | awk '/^Subsystem/ { print $2 }'; }
digest() { sha256sum "$work/out/$1" | cut -d' ' -f1; }
# The resources as binutils decompiles them, a reader independent of ours.
resources() { x86_64-w64-mingw32-windres -i "$1" -O rc; }

rebuild "first build"
[ "$(subsystem consumer_console.exe)" = 00000003 ] || fail "CONSOLE did not give the console subsystem"
[ "$(subsystem consumer-window.exe)" = 00000002 ] || fail "the default is not the GUI subsystem"
file_alignment() { x86_64-w64-mingw32-objdump -p "$1" | awk '/^FileAlignment/ { print $2 }'; }
[ "$(file_alignment "$work/out/consumer_app.dll")" = 00001000 ] ||
    fail "the main library target is not page-aligned: $(file_alignment "$work/out/consumer_app.dll")"

# Reproducible: a second build tree, without SOURCE_DATE_EPOCH, gives the same
# bytes. Every executable's checksum holds, recomputed here rather than read
# from a signing tool's report, whose wording differs between its versions.
(
    unset SOURCE_DATE_EPOCH
    configure "$work/src" "$work/out2" -DPREBUILT_LIBRARY="$prebuilt"
    without_wine "$cmake" --build "$work/out2" >"$build_log" 2>&1 || { cat "$build_log"; fail "second build tree"; }
) || exit 1
for exe in consumer_console.exe consumer-window.exe consumer_prebuilt.exe consumer_branded.exe consumer_cached.exe \
    consumer_signed.exe; do
    if [ "$exe" != consumer_signed.exe ] && ! cmp -s "$work/out/$exe" "$work/out2/$exe"; then
        fail "$exe differs between two build trees"
    fi
    pe_checksum_holds "$work/out/$exe" || fail "$exe: its PE checksum is wrong"
done
rm -rf "$work/out2"

# Signed after linking: the signature verifies, and the executable runs and lists.
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/out/consumer_signed.exe" >"$work/verify.log" 2>&1 &&
    grep -q "Signature verification: ok" "$work/verify.log" || { cat "$work/verify.log"; fail "the signature fails"; }
check "signed" consumer_signed.exe 5 "argument signed" signed --exit 5
# Linked and signed again a second later: the same bytes.
signed_before=$(digest consumer_signed.exe)
sleep 1
rm "$work/out/consumer_signed.exe"
rebuild "signed again"
[ "$(digest consumer_signed.exe)" = "$signed_before" ] || fail "signing again gave other bytes"
listing=$("$work/prefix/bin/onefile-pack" list "$work/out/consumer_signed.exe" 2>&1) ||
    fail "onefile-pack list of the signed executable: $listing"
case "$listing" in
*"1 entries"*) ;;
*) fail "onefile-pack list of the signed executable: $listing" ;;
esac
# An executable that the function linked serves as a stub; being signed, it
# loses its signature with a warning.
"$work/prefix/bin/onefile-pack" attach --launcher "$work/out/consumer_signed.exe" \
    --image "$work/out/onefile/consumer_console/payload.img" --output "$work/resigned.exe" >/dev/null 2>"$work/err" ||
    fail "attach to the signed executable: $(cat "$work/err")"
grep -q "consumer_signed.exe' was signed; its signature would not match" "$work/err" ||
    fail "no warning about the dropped signature: $(cat "$work/err")"

check "console, renamed files, directory contents at the top" consumer_console.exe 3 \
'argument two words
file consumer_app.dll
file data\greeting.txt
file data\sub\deep.txt
file docs\renamed-note.txt
file note.txt
file top.txt
show data\greeting.txt: Hello
show docs\renamed-note.txt: note v1' \
    --exit 3 "two words" --list --show 'data\greeting.txt' --show 'docs\renamed-note.txt'

check "GUI subsystem, renamed directory, empty directories kept" consumer-window.exe 4 \
'file consumer_app.dll
file content\empty\.keep_dir.txt
file content\greeting.txt
file content\sub\deep.txt' \
    --list --exit 4

check "main library given as a file" consumer_prebuilt.exe 9 "" --status 9

# Both installed tools read the payload of an executable linked this way.
listing=$("$package/wine-run" "$work/prefix/bin/onefile-pack.exe" list "Z:$work/out/consumer-window.exe" 2>&1) ||
    fail "onefile-pack list failed: $listing"
case "$listing" in
*"4 entries"*) ;;
*) fail "onefile-pack list: $listing" ;;
esac
native_listing=$("$work/prefix/bin/onefile-pack" list "$work/out/consumer-window.exe" 2>&1) ||
    fail "the installed native onefile-pack failed: $native_listing"
[ "$native_listing" = "$(printf '%s' "$listing" | tr -d '\r')" ] || fail "the two installed tools list differently:
$native_listing
$listing"

# The application's identity: every value read back, the icon's images
# as the file held them, the manifest's level; the same resources as the
# tool gives for the same options; a start that unpacks where the template
# says, named after the application's product and version, and leaves only
# the directory shared by every run.
branded_resources=$(resources "$work/out/consumer_branded.exe")
for needle in 'FILEVERSION 2, 5, 1, 0' 'PRODUCTVERSION 2, 5, 1, 0' '"CompanyName", "Acme Tools"' \
    '"ProductName", "Rocket"' '"FileVersion", "2.5.1"' '"ProductVersion", "2.5.1"' \
    '"FileDescription", "Rocket, packed"' '"LegalCopyright", "(c) 2026 Acme; ""all"" rights"' \
    '"OriginalFilename", "consumer_branded.exe"' 'level=""highestAvailable""' 'Has 2 elements' \
    '"\020\020\000\000", 1, 32,' '"\060\060\000\000", 1, 32,' \
    'L"{TEMP}\\{PRODUCT}-{VERSION}\\run_{PID}_{TIME}\\files"'; do
    grep -qF -- "$needle" <<<"$branded_resources" || fail "consumer_branded.exe lacks $needle:
$branded_resources"
done
mkdir -p "$work/tool"
"$work/prefix/bin/onefile-pack" pack --launcher "$work/prefix/bin/onefile-launcher-console.exe" \
    --output "$work/tool/consumer_branded.exe" --icon "$work/src/app.ico" --company "Acme Tools" --product Rocket \
    --version 2.5.1 --description "Rocket, packed" --copyright '(c) 2026 Acme; "all" rights' \
    --execution-level highestAvailable --target-directory '{TEMP}\{PRODUCT}-{VERSION}\run_{PID}_{TIME}\files' \
    "$work/out/consumer_app.dll" >/dev/null || fail "the tool refused what the function accepted"
[ "$(resources "$work/tool/consumer_branded.exe")" = "$branded_resources" ] ||
    fail "the function and the tool give different resources for the same options"
where=$(cd "$work/out" && "$package/wine-run" ./consumer_branded.exe --where 2>&1)
case "$where" in
'where C:\users\'*'\Temp\Rocket-2.5.1\run_'[0-9]*_[0-9]*'\files') ;;
*) fail "consumer_branded.exe unpacked to: $where" ;;
esac
temp_root=("$ONEFILE_WINEPREFIX"/drive_c/users/*/Temp/Rocket-2.5.1)
[ -d "${temp_root[0]}" ] && [ -z "$(ls -A "${temp_root[0]}")" ] ||
    fail "the run left $(ls -A "${temp_root[0]}" 2>&1) in Temp\Rocket-2.5.1"
rm -rf "${temp_root[0]}"

# CACHE: the executable carries the SHA-256 of the payload it holds (the
# image the build packed, hashed by Python here) and the cache's template.
cached_resources=$(resources "$work/out/consumer_cached.exe")
for needle in '"ONEFILE_CACHE" RCDATA' 'L"{CACHE_DIR}\\Acme\\{PRODUCT}"'; do
    grep -qF -- "$needle" <<<"$cached_resources" || fail "consumer_cached.exe lacks $needle:
$cached_resources"
done
python3 - "$work/out/consumer_cached.exe" "$work/out/onefile/consumer_cached/payload.img" <<'EOF' ||
import hashlib, sys
exe, image = (open(name, "rb").read() for name in sys.argv[1:])
sys.exit(0 if exe.count(hashlib.sha256(image).digest()) == 1 else 1)
EOF
    fail "consumer_cached.exe lacks the SHA-256 of its payload"

rebuild "nothing changed"
grep -q "no work to do" "$build_log" || { cat "$build_log"; fail "a build without changes did work"; }

# Each change must reach the executables that pack the changed input, and
# only those.
console_before=$(digest consumer_console.exe)
window_before=$(digest consumer-window.exe)
prebuilt_before=$(digest consumer_prebuilt.exe)
printf 'Changed\n' >"$work/src/data/greeting.txt"
rebuild "a file in a directory changed"
[ "$(digest consumer_console.exe)" != "$console_before" ] || fail "consumer_console.exe kept the old data file"
[ "$(digest consumer-window.exe)" != "$window_before" ] || fail "consumer-window.exe kept the old data file"
[ "$(digest consumer_prebuilt.exe)" = "$prebuilt_before" ] || fail "consumer_prebuilt.exe was rebuilt needlessly"
check "changed data file" consumer_console.exe 0 "show data\greeting.txt: Changed" --show 'data\greeting.txt'

window_before=$(digest consumer-window.exe)
printf 'note v2\n' >"$work/src/note.txt"
rebuild "a listed file changed"
[ "$(digest consumer-window.exe)" = "$window_before" ] || fail "consumer-window.exe was rebuilt for a file it lacks"
check "changed listed file" consumer_console.exe 0 "show docs\renamed-note.txt: note v2" --show 'docs\renamed-note.txt'

printf 'added\n' >"$work/src/data/sub/added.txt"
rm "$work/src/data/sub/deep.txt"
rebuild "a file added and one removed"
check "added and removed files" consumer-window.exe 0 \
'file consumer_app.dll
file content\empty\.keep_dir.txt
file content\greeting.txt
file content\sub\added.txt' \
    --list

rm "$work/src/data/sub/added.txt"
rebuild "the last file of a directory removed"
check "directory emptied" consumer-window.exe 0 \
'file consumer_app.dll
file content\empty\.keep_dir.txt
file content\greeting.txt
file content\sub\.keep_dir.txt' \
    --list

# Names that differ only in case cannot both be unpacked on Windows; the
# tool refuses them, and the build must fail rather than keep the old files,
# which would look current (Ninja keeps going, so both packing steps run).
printf 'other\n' >"$work/src/data/GREETING.txt"
without_wine "$cmake" --build "$work/out" -- -k 0 >"$build_log" 2>&1 && fail "a refused payload did not fail the build"
logged "onefile-pack failed (1): onefile-pack: entries 'data\GREETING.txt' and 'data\greeting.txt' differ only in case" ||
    { cat "$build_log"; fail "the refusal was not reported"; }
for exe in consumer_console.exe consumer-window.exe; do
    [ -e "$work/out/$exe" ] && fail "a refused payload left the old $exe"
done
rm "$work/src/data/GREETING.txt"
rebuild "the refused file removed again"

window_before=$(digest consumer-window.exe)
write_icon png
rebuild "the icon changed"
[ "$(digest consumer-window.exe)" = "$window_before" ] || fail "consumer-window.exe was rebuilt for an icon it lacks"
grep -qF 'Has 1 elements' <<<"$(resources "$work/out/consumer_branded.exe")" ||
    fail "consumer_branded.exe kept the old icon"

# A value the tool refuses stops CMake as it configures, naming the keyword,
# the value and the reason, and leaves no executable behind; so does a
# target-directory template that breaks the rules.
sed -i 's/VERSION 2.5.1/VERSION 2.x/' "$work/src/CMakeLists.txt"
without_wine "$cmake" --build "$work/out" >"$build_log" 2>&1 && fail "a refused version did not fail the build"
logged "onefile_add_executable(consumer_branded): VERSION \"2.x\" is refused: --version '2.x' is not 1 to 4 numbers" ||
    { cat "$build_log"; fail "the refusal was not shown as CMake configured"; }
grep -q "Configuring incomplete" "$build_log" || { cat "$build_log"; fail "the refusal came later than configuring"; }
[ -e "$work/out/consumer_branded.exe" ] && fail "a refused identity left consumer_branded.exe behind"
sed -i 's/VERSION 2.x/VERSION 2.5.1/; s|run_{PID}_{TIME}/files|run_{PID}/files|' "$work/src/CMakeLists.txt"
without_wine "$cmake" --build "$work/out" >"$build_log" 2>&1 && fail "a refused template did not fail the build"
logged 'TARGET_DIRECTORY "{TEMP}/{PRODUCT}-{VERSION}/run_{PID}/files" is refused: --target-directory' ||
    { cat "$build_log"; fail "the refused template was not shown as CMake configured"; }
sed -i 's|run_{PID}/files|run_{PID}_{TIME}/files|' "$work/src/CMakeLists.txt"
rebuild "the version and template mended"

sed -i 's/"v1"/"v2"/' "$work/src/app.cpp"
rebuild "the main library's source changed"
check "rebuilt main library" consumer_console.exe 0 "version v2" --version

# A failed signing fails the build and leaves no unsigned executable.
configure "$work/src" "$work/out" -DSIGN_KEY="$work/no-such-key.pem"
without_wine "$cmake" --build "$work/out" >"$build_log" 2>&1 && fail "a failed signing did not fail the build"
grep -q "SIGN_COMMAND failed" "$build_log" || { cat "$build_log"; fail "the failed signing was not reported"; }
[ -e "$work/out/consumer_signed.exe" ] && fail "a failed signing left consumer_signed.exe"

# A project that enables only C: its main library needs a DLL of its own,
# which the build refuses until the payload carries it beside the library.
mkdir -p "$work/c_only"
cat >"$work/c_only/CMakeLists.txt" <<'END'
cmake_minimum_required(VERSION 3.25)
project(onefile_c_consumer LANGUAGES C)
find_package(onefile 0.0 CONFIG REQUIRED)
add_library(helper SHARED helper.c)
add_library(c_app SHARED app.c)
target_link_libraries(c_app PRIVATE helper)
set_target_properties(helper c_app PROPERTIES PREFIX "")
if(WITH_HELPER)
    onefile_add_executable(c_exe CONSOLE MAIN_LIBRARY c_app FILES helper NO_PAGE_ALIGNMENT)
else()
    onefile_add_executable(c_exe CONSOLE MAIN_LIBRARY c_app NO_PAGE_ALIGNMENT)
endif()
END
printf '__declspec(dllexport) int helper_value(void) { return 42; }\n' >"$work/c_only/helper.c"
printf '#include <wchar.h>\nint helper_value(void);\n%s\n' \
    '__declspec(dllexport) int run_code(int argc, wchar_t** argv) { (void)argv; return helper_value() + argc; }' \
    >"$work/c_only/app.c"
configure "$work/c_only" "$work/c_out"
without_wine "$cmake" --build "$work/c_out" >"$build_log" 2>&1 && fail "a main library without its DLL was packed"
grep -q "needs DLLs that are neither system DLLs nor in the payload beside it: helper.dll;" "$build_log" ||
    { cat "$build_log"; fail "the missing helper.dll was not named"; }
[ -e "$work/c_out/c_exe.exe" ] && fail "a refused payload left c_exe.exe"
configure "$work/c_only" "$work/c_out" -DWITH_HELPER=ON
without_wine "$cmake" --build "$work/c_out" >"$build_log" 2>&1 || { cat "$build_log"; fail "the C-only build"; }
[ "$(file_alignment "$work/c_out/c_app.dll")" = 00000200 ] || fail "NO_PAGE_ALIGNMENT changed the main library"
status=$(cd "$work/c_out" && "$package/wine-run" ./c_exe.exe x >/dev/null 2>&1; echo $?)
[ "$status" = 44 ] || fail "the C-only executable ended with $status, expected 44"

# The examples, on their own against the installation (onefile::main and
# its header the installed ones).
for name in hello ported; do
    without_wine "$cmake" -S "$example/../$name" -B "$work/$name" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$package/toolchain-mingw64.cmake" -DCMAKE_PREFIX_PATH="$work/prefix" \
        >"$build_log" 2>&1 && without_wine "$cmake" --build "$work/$name" >>"$build_log" 2>&1 ||
        { cat "$build_log"; fail "examples/$name did not build against the installation"; }
    [ -e "$work/wine-was-used" ] && { cat "$build_log"; fail "the build of examples/$name started Wine"; }
done
greeting=$(cd "$work/hello" && "$package/wine-run" ./hello.exe 2>&1)
case "$greeting" in
*"data\greeting.txt says: Hello from inside the payload!"*) ;;
*) fail "the example built against the installation said: $greeting" ;;
esac
motd=$(cd "$work/ported" && "$package/wine-run" ./ported.exe 2>&1)
case "$motd" in
*"data/motd.txt: Hello from the payload of a ported program!"*) ;;
*) fail "examples/ported built against the installation said: $motd" ;;
esac

# From the sources (add_subdirectory), with the native tool built here, the
# identity options are taken too, and checked as CMake configures.
mkdir -p "$work/sub"
cat >"$work/sub/CMakeLists.txt" <<END
cmake_minimum_required(VERSION 3.25)
project(onefile_sub_consumer LANGUAGES C)
add_subdirectory("$example/../.." onefile EXCLUDE_FROM_ALL)
add_library(sub_app SHARED app.c)
target_link_libraries(sub_app PRIVATE onefile::main)
onefile_add_executable(sub CONSOLE MAIN_LIBRARY sub_app PRODUCT Sub VERSION \${SUB_VERSION})
onefile_add_executable(sub_cached CONSOLE MAIN_LIBRARY sub_app CACHE TARGET_DIRECTORY \${SUB_TEMPLATE})
END
printf 'int main(void) { return 3; }\n' >"$work/sub/app.c"
without_wine "$cmake" -S "$work/sub" -B "$work/sub_out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$package/toolchain-mingw64.cmake" \
    -DONEFILE_HOST_PACK="$build/host-tools/tools/onefile-pack" -DSUB_VERSION=1.x >"$build_log" 2>&1 &&
    fail "add_subdirectory: a refused version configured"
logged 'onefile_add_executable(sub): VERSION "1.x" is refused' ||
    { cat "$build_log"; fail "add_subdirectory: the refused version was not named"; }
# With CACHE, a template is checked by a cache's rules: {PID} is refused,
# a template without it taken.
without_wine "$cmake" -S "$work/sub" -B "$work/sub_out" -DSUB_VERSION=1.2 -DSUB_TEMPLATE='{CACHE_DIR}/Sub_{PID}' \
    >"$build_log" 2>&1 && fail "add_subdirectory: a cache's template with {PID} configured"
logged 'onefile_add_executable(sub_cached): TARGET_DIRECTORY "{CACHE_DIR}/Sub_{PID}" is refused: --target-directory '"'"'{CACHE_DIR}/Sub_{PID}'"'"': with the cache every run shares one directory' ||
    { cat "$build_log"; fail "add_subdirectory: the cache's template with {PID} was not refused as one"; }
without_wine "$cmake" -S "$work/sub" -B "$work/sub_out" -DSUB_TEMPLATE='{CACHE_DIR}/Sub' >"$build_log" 2>&1 ||
    { cat "$build_log"; fail "add_subdirectory: the identity options were not taken"; }

# From the sources (add_subdirectory), the native tool comes from a nested
# build, which takes the parallel level of the build that runs it: from
# CMAKE_BUILD_PARALLEL_LEVEL, from a GNU make's MAKEFLAGS, or from the
# command line of a Ninja above it (a stand-in named ninja here), which
# passes its commands nothing else.
host_build="$example/../../cmake/onefile_host_build.cmake"
cat >"$work/no-wine/ninja" <<'END'
#!/bin/bash
# Stands for Ninja: its options (-j among them) first, then the command,
# which it runs through a shell as Ninja does.
while [ "${1#-}" != "$1" ] || [[ "$1" =~ ^[0-9]+$ ]]; do shift; done
/bin/sh -c "$*"
END
chmod +x "$work/no-wine/ninja"
# nested JOBS COMMAND...: the nested build run by COMMAND takes JOBS jobs
# (none named when empty).
nested() {
    local jobs=$1 output
    shift
    output=$(env -u CMAKE_BUILD_PARALLEL_LEVEL -u MAKEFLAGS "$@" -DONEFILE_HOST_DIR="$build/host-tools" \
        -P "$host_build" 2>&1) || fail "the nested build failed: $output"
    if [ -n "$jobs" ]; then
        grep -qF "Building the native onefile-pack with $jobs parallel jobs" <<<"$output" ||
            fail "the nested build did not take $jobs jobs ($*): $output"
    elif grep -q "parallel jobs" <<<"$output"; then
        fail "the nested build took a level nobody gave: $output"
    fi
}
nested 4 CMAKE_BUILD_PARALLEL_LEVEL=4 "$cmake"
nested 5 MAKEFLAGS=" -j5 --jobserver-auth=3,4" "$cmake"
nested 2 "$work/no-wine/ninja" -j 2 "$cmake"
nested 3 "$work/no-wine/ninja" -j3 -k 0 "$cmake"
nested "" "$cmake"

echo "consumer project: all checks passed"
