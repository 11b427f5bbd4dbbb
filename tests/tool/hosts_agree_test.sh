#!/bin/bash
# The packaging tool built for this host and the one built for Windows (run
# under Wine) must be one tool: for every case of the table below, the same
# status, the same messages (paths aside, which each host writes its own
# way), and byte for byte the same images and executables. Links in the
# inputs are followed by both: a file link is stored as its target, a
# directory link as its directory, and a loop of links is refused. The
# checks made before writing agree as well: the main library's imports
# (with the compiler's real runtime DLLs, whose own imports are checked in
# turn), run_code without extern "C", stubs that are no launcher, and a
# stub signed with a throwaway certificate. The identity options give the
# same resources and refuse the same values, and the unpack cache the same
# digest.
#
# Usage: hosts_agree_test.sh WINE_RUN HOST_TOOL WINDOWS_TOOL GUI_STUB CONSOLE_STUB MAIN_LIBRARY COMPILER
# (the other main-library fixtures lie beside MAIN_LIBRARY; COMPILER finds
# its runtime DLLs)
set -u
wine_run=$1 host_tool=$2 windows_tool=$3 gui_stub=$4 console_stub=$5 main_library=$6 compiler=$7

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
failures=0

export ONEFILE_WINEPREFIX="$(pwd)/wineprefix"
mkdir -p scratch
# Both tools start in this throwaway directory, never in the build tree.
work=$(mktemp -d "$(pwd)/scratch/hosts_agree.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# Inputs: names in several scripts and cases, sizes across the tools' 1 MiB
# buffer, empty files and directories, links of every kind.
cp "$main_library" main.dll
fixtures=$(dirname "$main_library")
cp "$fixtures/tool_fixture_runtime.dll" runtime.dll
cp "$fixtures/tool_fixture_mangled.dll" mangled.dll
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    cp "$("$compiler" -print-file-name=$dll)" . || exit 1
done
cp "$gui_stub" gui.exe
cp "$console_stub" console.exe
mkdir -p tree/data/sub 'tree/déjà vu' 'tree/日本語' tree/hollow/inner tree/Zeta
printf 'upper case sorts first' >tree/Zeta/z.txt
printf 'alpha' >tree/alpha.txt
printf 'b' >tree/data/b.txt
: >tree/data/empty.bin
printf 'c' >tree/data/sub/c.txt
printf 'accents' >'tree/déjà vu/café.txt'
printf 'a snowman' >'tree/日本語/☃ snow.txt'
printf 'outside the basic plane' >'tree/emoji 😀.txt'
head -c $((5 * 512 * 1024 + 7)) /dev/urandom >tree/big.bin
mkdir -p links/real
ln -s ../tree/alpha.txt links/file-link.txt
ln -s ../tree/data links/dir-link
printf 'r' >links/real/r.txt
mkdir -p loop/sub
ln -s .. loop/sub/back
mkdir -p case
printf 'A' >case/A.txt
printf 'a' >case/a.txt
mkdir -p devices
printf 'x' >devices/aux.txt
# A one-pixel icon (a bitmap, with its mask) and a manifest of one's own.
printf '\0\0\1\0\1\0\1\1\0\0\1\0\40\0\60\0\0\0\26\0\0\0\50\0\0\0\1\0\0\0\2\0\0\0\1\0\40\0' >app.ico
head -c 32 /dev/zero >>app.ico
printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>\n' >own.manifest
mkdir -p host-i windows-i

# Messages name paths as each host writes them: Z:\...\work\x under Wine,
# /.../work/x here. The system's own error texts differ too.
normalise() {
    tr '\\' '/' | sed -e "s#Z:$work#<work>#g" -e "s#$work#<work>#g" \
        -e 's#: [^:]*(error [0-9]*)#: <system error>#g'
}

# run_both LABEL OUTPUT ARGUMENTS...: runs the command with each tool, each
# writing OUTPUT (if any) under its own name, and compares what they did.
run_both() {
    local label=$1 output=$2
    shift 2
    local host_arguments=() windows_arguments=() argument
    for argument in "$@"; do
        host_arguments+=("${argument//@OUT@/host-$output}")
        windows_arguments+=("${argument//@OUT@/windows-$output}")
    done
    "$host_tool" "${host_arguments[@]}" >host.out 2>host.err
    local host_status=$?
    "$wine_run" "$windows_tool" "${windows_arguments[@]}" >windows.out 2>windows.err
    local windows_status=$?
    # The tool never fails without saying why; a run that ends in failure
    # without a word (seen once, under the load of the whole suite) is taken
    # for a start that Wine lost in its own start-up (README: sporadic start
    # failures) and runs again once, logged. A tool that really said nothing
    # would say nothing again.
    if [ "$windows_status" != 0 ] && [ ! -s windows.out ] && [ ! -s windows.err ] &&
        { [ -s host.out ] || [ -s host.err ]; }; then
        echo "$label: the Windows tool ended with $windows_status without a word; run again" >&2
        "$wine_run" "$windows_tool" "${windows_arguments[@]}" >windows.out 2>windows.err
        windows_status=$?
    fi
    [ "$host_status" = "$windows_status" ] ||
        fail "$label: status $host_status here, $windows_status on Windows ($(cat windows.err))"
    [ "$host_status" = 0 ] || [ -z "$output" ] || [ ! -e "host-$output" ] || fail "$label: refused, but wrote $output"
    local a b
    for stream in out err; do
        a=$(sed "s#host-$output#OUT#g" "host.$stream" | normalise)
        b=$(sed "s#windows-$output#OUT#g" "windows.$stream" | tr -d '\r' | normalise)
        [ "$a" = "$b" ] || fail "$label: standard $stream differs:
here:    $a
Windows: $b"
    done
    if [ -n "$output" ] && [ -e "host-$output" ] && ! diff -rq "host-$output" "windows-$output" >/dev/null; then
        fail "$label: the two outputs $output differ"
    fi
    last_status=$host_status
}

# expect LABEL STATUS TEXT: the last case ended with STATUS, and TEXT is in
# its messages.
expect() {
    [ "$last_status" = "$2" ] || fail "$1: status $last_status, expected $2 ($(cat host.err))"
    grep -qF -- "$3" host.out host.err || fail "$1: no '$3' in: $(cat host.out host.err)"
}

run_both "help" "" --help
run_both "build a tree" a.img build --output @OUT@ main.dll tree
expect "build a tree" 0 "a.img: 10 entries"
run_both "build with names, empty directories kept" b.img build --keep-empty-dirs --output @OUT@ \
    main.dll=bin/app.dll tree=res 'tree/alpha.txt=docs/read me.txt' 'tree/data='
expect "build with names" 0 "b.img: 15 entries"
run_both "pack for the console" c.exe pack --launcher console.exe --output @OUT@ main.dll tree
expect "pack" 0 "c.exe: 10 entries"
run_both "attach an image" d.exe attach --launcher gui.exe --image host-a.img --output @OUT@
expect "attach" 0 "payload of"
run_both "replace the payload of a packed executable" e.exe attach --launcher host-c.exe --image host-b.img \
    --output @OUT@
: >empty.img
run_both "attach an empty image" f.exe attach --launcher host-c.exe --image empty.img --output @OUT@
run_both "a stub that is no launcher (a DLL)" g.dll attach --launcher main.dll --image host-a.img --output @OUT@
expect "no launcher" 1 "is not a onefile launcher"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=onefile test" \
    >/dev/null 2>&1 || fail "openssl made no certificate"
osslsigncode sign -certs cert.pem -key key.pem -h sha256 -in gui.exe -out signed.exe >/dev/null ||
    fail "osslsigncode did not sign the stub"
run_both "a signed stub loses its signature, and says so" s.exe attach --launcher signed.exe --image host-a.img \
    --output @OUT@
expect "signed stub" 0 "/signed.exe' was signed; its signature would not match"
run_both "list an executable" "" list host-e.exe
expect "list" 0 "15 entries"
run_both "extract an executable" x extract host-c.exe --output @OUT@
run_both "links are followed" l.img build --output @OUT@ main.dll links
run_both "list what the links gave" "" list host-l.img
expect "links" 0 "$(printf '%14s  links\\dir-link\\sub\\c.txt' 1)"
grep -qF "$(printf '%14s  links\\file-link.txt' 5)" host.out || fail "a file link was not stored as its target"
run_both "a loop of links" h.img build --output @OUT@ main.dll loop
expect "loop" 1 "leads back to"
run_both "names that differ only in case" j.img build --output @OUT@ main.dll case
expect "case" 1 "differ only in case"
run_both "a device name" k.img build --output @OUT@ main.dll devices
expect "device name" 1 "reserved device name"
run_both "a missing input" m.exe pack --launcher gui.exe --output @OUT@ main.dll missing.txt
expect "missing input" 1 "'missing.txt' not found"
run_both "a stub that is not a program" n.exe attach --launcher tree/alpha.txt --image host-a.img --output @OUT@
expect "not a program" 1 "is not a Windows executable"
run_both "the main library is no DLL" o.img build --output @OUT@ gui.exe
expect "main library is no DLL" 1 "an executable, not a DLL"
# The original file name is the output's, so both write app.exe.
run_both "pack with an identity" i/app.exe pack --launcher gui.exe --output @OUT@ --icon app.ico \
    --company 'Acme Æ' --product Rocket --version 1.2.3 --description Packed --copyright '(c) Acme' \
    --execution-level highestAvailable --target-directory '{CACHE_DIR}/Acme/run_{PID}_{TIME}' main.dll
expect "identity" 0 "app.exe: 1 entries"
run_both "attach with a manifest of one's own" r.exe attach --launcher console.exe --image host-a.img \
    --output @OUT@ --manifest own.manifest
expect "own manifest" 0 "payload of"
run_both "an icon that is none" refused.exe pack --launcher gui.exe --output @OUT@ --icon tree/alpha.txt main.dll
expect "not an icon" 1 "is not an icon file (.ico)"
run_both "a version that is no number" refused.exe pack --launcher gui.exe --output @OUT@ --version 1.x main.dll
expect "version" 1 "is not 1 to 4 numbers"
run_both "a template without {TIME}" refused.exe pack --launcher gui.exe --output @OUT@ \
    --target-directory '{TEMP}\a_{PID}' main.dll
expect "template" 1 "lacks {TIME}"
run_both "a manifest that is not one" refused.exe attach --launcher gui.exe --image host-a.img --output @OUT@ \
    --manifest tree/alpha.txt
expect "manifest" 1 "not a well-formed assembly manifest"
run_both "check identity values" "" check --icon app.ico --version 1.2 --manifest own.manifest
[ "$last_status" = 0 ] || fail "check: status $last_status ($(cat host.err))"
run_both "check a manifest that is not one" "" check --manifest tree/alpha.txt
expect "check refuses" 1 "not a well-formed assembly manifest"
# The unpack cache: the digest both write is the SHA-256 of the payload
# each executable holds (Python's, here), an executable made from a cached
# one is cached too with the digest of its own payload, and the cache's
# template is checked by its own rules.
run_both "pack with the cache" ca.exe pack --cache --launcher gui.exe --output @OUT@ \
    --target-directory '{CACHE_DIR}/Acme/{PRODUCT}' main.dll tree
expect "cache" 0 "ca.exe: 10 entries"
run_both "attach to a stub that uses the cache" cb.exe attach --launcher host-ca.exe --image host-b.img \
    --output @OUT@
expect "cached stub" 0 "payload of"
# (ca.exe holds the image that a.img holds: the same inputs.)
python3 - <<'EOF' || fail "a cached executable lacks the digest of its own payload, or keeps its stub's"
import hashlib
def read(name):
    return open(name, "rb").read()
a, b = (hashlib.sha256(read(name)).digest() for name in ("host-a.img", "host-b.img"))
packed, attached = read("host-ca.exe"), read("host-cb.exe")
assert packed.count(a) == 1 and attached.count(b) == 1 and a not in attached
EOF
run_both "a cache's template with {PID}" refused.exe pack --cache --launcher gui.exe --output @OUT@ \
    --target-directory '{CACHE_DIR}/a_{PID}' main.dll
expect "cache template" 1 "with the cache every run shares one directory"
run_both "check a cache's template" "" check --cache --target-directory '{CACHE_DIR}/Acme'
[ "$last_status" = 0 ] || fail "check --cache: status $last_status ($(cat host.err))"
run_both "check a cache's template with {TIME}" "" check --cache --target-directory '{CACHE_DIR}/a_{TIME}'
expect "check cache template" 1 "with the cache every run shares one directory"
run_both "run_code without extern \"C\"" p.img build --output @OUT@ mangled.dll
expect "mangled" 1 "only under its C++ name '_Z8run_codeiPPw'"

# A main library linked without -static needs the C++ runtime's DLL, and
# that one needs two more: each must lie beside it in the payload (in any
# case), or be allowed.
run_both "a runtime DLL missing" r1.img build --output @OUT@ runtime.dll
expect "runtime DLL missing" 1 "in the payload beside it: libstdc++-6.dll;"
run_both "the runtime DLL's own imports missing" r2.img build --output @OUT@ runtime.dll libstdc++-6.dll
expect "imports in turn" 1 \
    ": libgcc_s_seh-1.dll (needed by libstdc++-6.dll), libwinpthread-1.dll (needed by libstdc++-6.dll);"
run_both "a missing runtime DLL allowed" r3.img build --output @OUT@ --allow-dll LIBSTDC++-6 runtime.dll
expect "allowed" 0 "r3.img: 1 entries"
run_both "every runtime DLL beside it" r4.exe pack --launcher console.exe --output @OUT@ runtime.dll \
    libstdc++-6.dll=LIBSTDC++-6.DLL libgcc_s_seh-1.dll libwinpthread-1.dll
expect "runtime DLLs beside" 0 "r4.exe: 4 entries"
# ... where the loader finds them: the executable runs (run_code gives argc).
"$wine_run" ./host-r4.exe one two >/dev/null 2>run.err
status=$?
[ "$status" = 3 ] || fail "the executable with its runtime DLLs ended with $status: $(cat run.err)"

# What only this host's file names can hold: bytes that are not UTF-8, and a
# backslash inside a name, which Windows would read as a separator. And a
# link to nothing, which Windows lists (and the tool refuses, as here) but
# Wine leaves out of its listings.
mkdir -p only_here/latin only_here/slash only_here/dangling
printf 'x' >"only_here/latin/caf$(printf '\351').txt"
printf 'x' >'only_here/slash/a\b.txt'
ln -s nowhere only_here/dangling/gone
only_here() {
    "$host_tool" build --output p.img main.dll "only_here/$2" >host.out 2>host.err
    last_status=$?
    expect "$1" 1 "$3"
}
only_here "a name that is not UTF-8" latin "is not UTF-8 text"
only_here "a backslash in a name" slash "holds a backslash"
only_here "a dangling link" dangling "cannot read '$work/only_here/dangling/gone'"

# An interrupt while the output is pending (here while the tool waits for a
# pipe's writer) discards it, and the status says so.
mkfifo only_here/pipe
"$host_tool" build --output q.img main.dll only_here/pipe >host.out 2>host.err &
tool=$!
for _ in $(seq 1 300); do
    ls q.img.*.partial >/dev/null 2>&1 && break
    sleep 0.1
done
kill -INT "$tool"
wait "$tool"
last_status=$?
expect "an interrupt" 1 "interrupted; no output written"
ls q.img* >/dev/null 2>&1 && fail "an interrupted run left $(ls q.img*)"
ls ./*.partial >/dev/null 2>&1 && fail "a refused run left a partial output"

if [ "$failures" -ne 0 ]; then
    echo "hosts agree: $failures checks failed"
    exit 1
fi
echo "hosts agree: every case gave the same status, messages and bytes"
