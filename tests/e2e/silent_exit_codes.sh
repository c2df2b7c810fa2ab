#!/bin/bash
# What a silent run tells its caller: status 0 when every output was written
# or left alone as the job says, 1 when anything failed or the run could not
# start,
# with the reason on standard error when no window could show it.
set -uo pipefail
quillon=$1
examples=$2
work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/in" "$work/photos/sub"
convert -size 40x30 gradient:green-white BMP3:"$work/in/one.bmp"
convert -size 24x24 xc:purple BMP3:"$work/in/two.bmp"
convert -size 64x48 -seed 3 plasma:fractal BMP3:"$work/photos/beach.dib"
convert -size 10x12 xc:gray BMP3:"$work/photos/sub/deep.dib"

fail() { echo "silent exit codes: $*" >&2; exit 1; }
run() { timeout 60 "$quillon" "$@" 2>"$work/stderr"; status=$?; }

# The example preset converts a folder beside its sources.
run -silent "$examples/to-bmp.qpt" "$work/photos"
[ "$status" = 0 ] || fail "example preset: status $status"
[ "$(identify -format '%w %h' "$work/photos/beach.bmp")" = "64 48" ] || fail "beach.bmp missing or wrong"
[ ! -e "$work/photos/sub/deep.bmp" ] || fail "a folder without RECURSE is scanned one level"
# Run again on the file: the earlier output is replaced, still a success.
run -silent "$examples/to-bmp.qpt" "$work/photos/beach.dib"
[ "$status" = 0 ] || fail "second example run: status $status"
# Run again on the folder: beach.bmp is an input now, rewritten from itself,
# and beach.dib may not replace it: a failure, and beach.bmp stays itself.
run -silent "$examples/to-bmp.qpt" "$work/photos"
[ "$status" = 1 ] || fail "folder with an earlier output: status $status"
[ "$(identify -format '%w %h' "$work/photos/beach.bmp")" = "64 48" ] || fail "beach.bmp damaged"
grep -q "1 written, 0 skipped, 1 failed" "$work/stderr" || fail "no counts on standard error"

# A folder of outputs: both written, status 0.
printf '[Quillon]\nszOutDir=%s/out/a/\niOutFormats=1\niFormatId0=1\nszSubFormat0=Normal\niColorFormat0=-1\nbSaveInSrcDirs=0\nbNoOverwritePrompt=0\nbSkipExisting=0\n' "$work" > "$work/job.qpt"
run -silent "$work/job.qpt" "$work/in/one.bmp" "$work/in/two.bmp"
[ "$status" = 0 ] || fail "success: status $status"
[ "$(identify -format '%w %h' "$work/out/a/one.bmp")" = "40 30" ] || fail "one.bmp missing"
[ "$(identify -format '%w %h' "$work/out/a/two.bmp")" = "24 24" ] || fail "two.bmp missing"

# The same again: silent runs leave existing outputs alone, as the job
# says, which is no failure.
run -silent "$work/job.qpt" "$work/in/one.bmp" "$work/in/two.bmp"
[ "$status" = 0 ] || fail "skipped outputs: status $status"

# An output that cannot be written (a folder stands at its name): status 1,
# the other output still written.
mkdir -p "$work/out/b/one.bmp"
sed -e "s|/out/a/|/out/b/|" -e 's/bNoOverwritePrompt=0/bNoOverwritePrompt=1/' "$work/job.qpt" > "$work/replace.qpt"
run -silent "$work/replace.qpt" "$work/in/one.bmp" "$work/in/two.bmp"
[ "$status" = 1 ] || fail "failed output: status $status"
[ -f "$work/out/b/two.bmp" ] || fail "the output after a failure was not written"

# No output folder at all: the check's message on standard error, status 1,
# and no wait for an answer.
rm -rf "$XDG_CONFIG_HOME"/*
printf '[Quillon]\nszOutDir=\nbSaveInSrcDirs=0\n' > "$work/nofolder.qpt"
run -silent "$work/nofolder.qpt" "$work/in/one.bmp"
[ "$status" = 1 ] || fail "no output folder: status $status"
grep -q "You must select an output directory first!" "$work/stderr" || fail "no message on standard error"

# Two sources the job says to delete, in a folder its user may read but not
# write: the outputs are written, the sources stay and are named with why,
# in the log too, each counted, and the run fails. Root may delete there: as root the run is
# made by nobody, in folders of its own, with the program copied where it
# keeps its log.
as_user=()
[ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
chmod 755 "$work"
mkdir -p "$work/del/locked" "$work/del/out" "$work/del/bin" "$work/del/home"
convert -size 20x10 xc:teal BMP3:"$work/del/locked/keep.bmp"
convert -size 10x20 xc:plum BMP3:"$work/del/locked/too.bmp"
cp "$quillon" "$work/del/bin/quillon"
printf '[Quillon]\nszOutDir=%s/del/out/\nbSaveInSrcDirs=0\nbDeleteSrcFiles=1\nbShowMoreOptions=1\nbCreateLogFile=1\n' "$work" > "$work/del.qpt"
[ "$(id -u)" = 0 ] && chown -R nobody "$work/del"
chmod 555 "$work/del/locked"
HOME="$work/del/home" XDG_CONFIG_HOME="$work/del/home" timeout 60 "${as_user[@]}" "$work/del/bin/quillon" \
    -silent "$work/del.qpt" "$work/del/locked/keep.bmp" "$work/del/locked/too.bmp" 2>"$work/stderr"
status=$?
[ "$status" = 1 ] || fail "source not deleted: status $status"
[ -f "$work/del/locked/keep.bmp" ] || fail "the source in a read-only folder is gone"
[ "$(identify -format '%w %h' "$work/del/out/keep.bmp")" = "20 10" ] || fail "no output beside a kept source"
[ -f "$work/del/locked/too.bmp" ] || fail "the second source in a read-only folder is gone"
[ "$(cat "$work/stderr")" = "Quillon: $work/del/locked/keep.bmp: Not deleted: Permission denied
Quillon: $work/del/locked/too.bmp: Not deleted: Permission denied
Quillon: 2 written, 0 skipped, 0 failed; 2 sources not deleted; log: $work/del/bin/Quillon log.txt" ] ||
    fail "source not deleted: $(cat "$work/stderr")"
tr -d '\r' < "$work/del/bin/Quillon log.txt" |
    grep -qxF "Error: $work/del/locked/keep.bmp: Not deleted: Permission denied" || fail "the log does not say so"
chmod 755 "$work/del/locked"

# Folders the scan cannot read, given or met under -recurse, and one
# whose path is longer than the system takes: each named with why, counted
# as a failed input, and the readable pictures still converted. Root reads
# every folder: as root the run is made by nobody, who may not read root's
# folders of mode 700; otherwise the folders have mode 000.
mkdir -p "$work/scan/in/sub" "$work/scan/locked" "$work/scan/out" "$work/scan/bin"
convert -size 16x8 xc:navy BMP3:"$work/scan/in/top.bmp"
convert -size 8x8 xc:red BMP3:"$work/scan/in/sub/deep.bmp"
cp "$work/scan/in/sub/deep.bmp" "$work/scan/locked/hidden.bmp"
cp "$quillon" "$work/scan/bin/quillon"
printf '[Quillon]\nszOutDir=%s/scan/out/\nbSaveInSrcDirs=0\nbNoOverwritePrompt=1\n' "$work" > "$work/scan.qpt"
locked_mode=000
[ "$(id -u)" = 0 ] && { chown -R nobody "$work/scan/out"; locked_mode=700; }
chmod "$locked_mode" "$work/scan/locked" "$work/scan/in/sub"
# scanned <case> <expected standard error> <arguments...>
scanned() {
    local what=$1 expected=$2
    shift 2
    rm -f "$work/scan/out/top.bmp"
    HOME="$work/del/home" XDG_CONFIG_HOME="$work/del/home" timeout 60 "${as_user[@]}" "$work/scan/bin/quillon" \
        -silent "$work/scan.qpt" "$@" 2>"$work/stderr"
    status=$?
    [ "$status" = 1 ] || fail "$what: status $status"
    [ "$(cat "$work/stderr")" = "$expected" ] || fail "$what: said $(cat "$work/stderr")"
    [ "$(identify -format '%w %h' "$work/scan/out/top.bmp")" = "16 8" ] || fail "$what: top.bmp not converted"
}
scanned "unreadable folder given" "Quillon: $work/scan/locked: Permission denied
Quillon: 1 written, 0 skipped, 1 failed" "$work/scan/locked" "$work/scan/in/top.bmp"
scanned "unreadable folder met" "Quillon: $work/scan/in/sub: Permission denied
Quillon: 1 written, 0 skipped, 1 failed" -recurse "$work/scan/in"
chmod 755 "$work/scan/locked" "$work/scan/in/sub"
# The long path is made one level at a time, by relative names.
level=$(printf 'd%.0s' $(seq 200))
(cd "$work/scan/in/sub" && for i in $(seq 25); do mkdir "$level" && cd "$level" || exit 1; done) ||
    fail "no long path made"
too_long="$work/scan/in/sub"
while [ ${#too_long} -lt 4096 ]; do too_long="$too_long/$level"; done
as_user=()
scanned "path too long" "Quillon: $too_long: File name too long
Quillon: 2 written, 0 skipped, 1 failed" -recurse "$work/scan/in"

# Nothing to convert: the run cannot start.
run -silent "$work/job.qpt"
[ "$status" = 1 ] || fail "empty list: status $status"
echo "silent exit codes: ok"
