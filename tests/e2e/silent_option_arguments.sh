#!/bin/bash
# An option without what it acts on stops a silent run before it converts
# anything: -recurse or -filter after the last folder, -filter with no
# filter, an empty one or an option in its place. One line on standard
# error names the option, status 1, no output and the sources as they were.
# Options with their arguments still run.
set -uo pipefail
quillon=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/in/sub"
convert -size 30x20 xc:navy "$work/in/a.png"
convert -size 30x20 xc:gold "$work/in/b.jpg"
convert -size 12x10 xc:gray "$work/in/sub/deep.png"

fail() { echo "silent option arguments: $*" >&2; [ -f "$work/stderr" ] && cat "$work/stderr" >&2; exit 1; }
run() { timeout 120 "$quillon" "$@" 2>"$work/stderr"; status=$?; }
sums() { (cd "$work/in" && find . -type f | sort | xargs md5sum); }
before=$(sums)

# The job deletes its sources, so a run that wrongly starts would show.
printf '[Quillon]\nszOutDir=%s/out/\nbSaveInSrcDirs=0\nbDeleteSrcFiles=1\n' "$work" > "$work/job.qpt"
# refused <the one line> <arguments...>
refused() {
    local line=$1
    shift
    run -silent "$work/job.qpt" "$@"
    [ "$status" = 1 ] || fail "$*: status $status"
    [ "$(cat "$work/stderr")" = "Quillon: $line" ] || fail "$*: said $(cat "$work/stderr")"
    [ ! -e "$work/out" ] || fail "$*: something was written"
    [ "$(sums)" = "$before" ] || fail "$*: the sources changed"
}

filter='no filter after it (as in -filter "*.jpg;*.png" before a folder)'
refused "-filter: $filter" "$work/in" -filter
refused "-FILTER: $filter" -FILTER "" "$work/in"
refused "-filter: $filter" -filter -recurse "$work/in"
refused "-filter: no folder after it (-filter goes before the folders it limits)" "$work/in" -filter "*.png"
refused "-recurse: no folder after it (-recurse goes before the folder it scans)" "$work/in" -recurse
refused "/recurse: no folder after it (-recurse goes before the folder it scans)" "$work/in" /recurse -silent
# A preset is nothing they act on.
refused "-filter: no folder after it (-filter goes before the folders it limits)" "$work/in" -filter "*.png" "$work/job.qpt"
refused "-recurse: no folder after it (-recurse goes before the folder it scans)" "$work/in" -recurse "$work/job.qpt"

# In their places they run: the filter and the recursion reach the folder.
run -silent "$work/job.qpt" -recurse -filter "*.png" "$work/in"
[ "$status" = 0 ] || fail "options before the folder: status $status"
[ "$(cd "$work/out" && ls -R | grep -c '\.bmp$')" = 2 ] || fail "options before the folder: $(ls -R "$work/out")"
[ -f "$work/in/b.jpg" ] || fail "the filter let b.jpg through"

# A preset between -recurse and its folder is passed over: the folder is
# scanned to the bottom.
rm -rf "$work/out"
convert -size 30x20 xc:navy "$work/in/a.png"
convert -size 12x10 xc:gray "$work/in/sub/deep.png"
run -silent -recurse "$work/job.qpt" "$work/in"
[ "$status" = 0 ] || fail "a preset after -recurse: status $status"
[ "$(cd "$work/out" && ls -R | grep -c '\.bmp$')" = 3 ] || fail "a preset after -recurse: $(ls -R "$work/out")"
echo "silent option arguments: ok"
