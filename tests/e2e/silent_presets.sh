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
# An index with a third output: the index takes two, so the preset is
# refused rather than run without the third.
out=idx; preset idx bIndex=1 iOutFormats=3 iFormatId0=18 iFormatId1=28 iFormatId2=39
run -silent "$work/idx.qpt" "$work/in"
[ "$status" = 1 ] || fail "index with three outputs: status $status"
[ "$(cat "$work/stderr")" = "Quillon: $work/idx.qpt: iOutFormats=3 is out of range with bIndex=1 (2: the picture and its thumbnail)" ] ||
  fail "index with three outputs: wrong line"
[ ! -e "$work/idx" ] || fail "index with three outputs: something was written"
# Presets that say nothing the run could go by: one named but not there, one
# whose section header is misspelt, one whose keys all are, one that cannot
# be read. Each would leave
# the job to the settings store, which here writes beside the sources and
# deletes them (written as the store keeps its values: magic, version,
# count, then type, name and bytes of each, and a CRC-32 of it all). Each is
# refused: one line naming it, status 1, nothing written or deleted.
store="$XDG_CONFIG_HOME/Brevik-Software/Quillon 5/settings"
mkdir -p "$(dirname "$store")"
python3 - "$store" <<'PY' || fail "cannot write the settings"
import struct, sys, zlib
values = [(3, b"bSaveInSrcDirs", b"\x01"), (3, b"bDeleteSrcFiles", b"\x01"), (3, b"bNoOverwritePrompt", b"\x01")]
body = b"QSTO" + struct.pack("<II", 1, len(values))
for kind, name, data in values:
    body += struct.pack("<BB", kind, len(name)) + name + struct.pack("<I", len(data)) + data
open(sys.argv[1], "wb").write(body + struct.pack("<I", zlib.crc32(body)))
PY
sums() { (cd "$work/in" && find . -type f | sort | xargs md5sum); }
before=$(sums)
printf '[Quilon]\nszOutDir=%s/typo/\niFormatId0=28\nszSubFormat0=Normal\niColorFormat0=-1\nbSaveInSrcDirs=0\n' \
    "$work" > "$work/typo.qpt"
printf '[Quillon]\nszOutFolder=%s/keys/\niFormat0=28\n[Other]\niFormatId0=28\n' "$work" > "$work/keys.qpt"
# Too large to be a preset, it cannot be read, whoever runs the program.
{ printf '[Quillon]\nszOutDir=%s/typo/\niFormatId0=28\n' "$work"; head -c 5000000 /dev/zero | tr '\0' ';'; } > "$work/large.qpt"
for case in "webb.qpt|no such preset" "typo.qpt|has no [Quillon] section" \
    "keys.qpt|its [Quillon] section holds no key of a preset" "large.qpt|cannot be read"; do
    name=${case%%|*}
    run -silent "$work/$name" "$work/in"
    [ "$status" = 1 ] || fail "$name: status $status"
    [ "$(cat "$work/stderr")" = "Quillon: $work/$name: ${case#*|}" ] || fail "$name: wrong line"
    [ "$(sums)" = "$before" ] || fail "$name: the sources changed"
    [ ! -e "$work/typo" ] && [ ! -e "$work/keys" ] || fail "$name: something was written"
done
# The store is as said: with a preset that names no folder, the run writes
# beside the sources.
printf '[Quillon]\niFormatId0=28\nszSubFormat0=Normal\niColorFormat0=-1\nbDeleteSrcFiles=0\n' > "$work/png.qpt"
run -silent "$work/png.qpt" "$work/in"
[ "$status" = 0 ] && [ -e "$work/in/a.png" ] && [ -e "$work/in/a.ppm" ] || fail "the store does not write beside the sources"
echo "silent presets: ok"
