#!/bin/bash
# Presets written by hand, as the README describes them: each output's
# quality is the one the preset names (read back by ImageMagick), a preset
# without it takes the last quality used, and a preset naming a format the
# program does not have is refused before anything is written.
set -uo pipefail
quillon=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/in"
convert -size 96x64 -seed 11 plasma:fractal "$work/in/a.ppm"
convert -size 40x40 gradient:navy-gold "$work/in/b.ppm"

fail() { echo "silent presets: $*" >&2; [ -f "$work/stderr" ] && cat "$work/stderr" >&2; exit 1; }
run() { timeout 120 "$quillon" "$@" 2>"$work/stderr"; status=$?; }
quality() { identify -format '%Q' "$1" 2>/dev/null; }
preset() { printf '[Quillon]\nszOutDir=%s/%s/\nbSaveInSrcDirs=0\n' "$work" "$1" > "$work/$1.qpt"; shift; printf '%s\n' "$@" >> "$work/${out}.qpt"; }

# 18 is JPEG, as the README's table says.
out=q95; preset q95 iFormatId0=18 "szSubFormat0=Normal, by Quality:" iColorFormat0=-1 iCompParam0=95
run -silent "$work/q95.qpt" "$work/in/a.ppm" "$work/in/b.ppm"
[ "$status" = 0 ] || fail "quality 95: status $status"
[ "$(quality "$work/q95/a.jpg")" = 95 ] || fail "a.jpg has quality $(quality "$work/q95/a.jpg"), not 95"
[ "$(quality "$work/q95/b.jpg")" = 95 ] || fail "b.jpg has quality $(quality "$work/q95/b.jpg"), not 95"

# Without the key: the last quality used, 75 on a first start.
out=none; preset none iFormatId0=18 "szSubFormat0=Normal, by Quality:" iColorFormat0=-1
run -silent "$work/none.qpt" "$work/in/a.ppm"
[ "$status" = 0 ] || fail "no quality: status $status"
[ "$(quality "$work/none/a.jpg")" = 75 ] || fail "without iCompParam0: quality $(quality "$work/none/a.jpg")"

# Two outputs, each with its own quality, in sub-folders of their own.
out=two; preset two iOutFormats=2 bMultiOutInSubDirs=1 iFormatId0=18 "szSubFormat0=Normal, by Quality:" \
  iColorFormat0=-1 iCompParam0=92 iFormatId1=18 "szSubFormat1=Progressive, Quality:" iColorFormat1=-1 iCompParam1=35
run -silent "$work/two.qpt" "$work/in/a.ppm"
[ "$status" = 0 ] || fail "two outputs: status $status"
got=$(for f in "$work"/two/*/a.jpg; do quality "$f"; echo; done | sort -n | tr '\n' ' ')
[ "$got" = "35 92 " ] || fail "two outputs have qualities $got"

# A format the program does not have: refused, one line, nothing written,
# the sources untouched.
out=bad; preset bad iOutFormats=2 iFormatId0=18 iFormatId1=99 bDeleteSrcFiles=1
before=$(ls "$work/in" | tr '\n' ' ')
run -silent "$work/bad.qpt" "$work/in"
[ "$status" = 1 ] || fail "unknown format: status $status"
[ "$(cat "$work/stderr")" = "Quillon: $work/bad.qpt: iFormatId1=99 names no output format (0 to 40, or -1 for each output's own extension)" ] ||
  fail "unknown format: wrong line"
[ ! -e "$work/bad" ] || fail "unknown format: something was written"
[ "$(ls "$work/in" | tr '\n' ' ')" = "$before" ] || fail "unknown format: the inputs changed"
echo "silent presets: ok"
