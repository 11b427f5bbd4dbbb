# Sourced by the shell tests. Windows programs they start run in a sentinel
# directory, so that one which acts on its current directory by mistake
# (an empty path means "the current directory" to many calls) is caught.

# make_sentinel DIR: creates DIR with a file and a subdirectory holding one.
make_sentinel() {
    mkdir -p "$1/sub"
    echo "must stay as it is" >"$1/keep.txt"
    echo "must stay as it is" >"$1/sub/keep.txt"
    sentinel_state=$(sentinel_listing "$1")
}

sentinel_listing() { (cd "$1" && find . -printf '%p %y %s %T@ %m\n' | sort); }

# check_sentinel DIR: fails the test when anything in DIR changed.
check_sentinel() {
    [ "$(sentinel_listing "$1")" = "$sentinel_state" ] || fail "the working directory changed: $(sentinel_listing "$1")"
}
