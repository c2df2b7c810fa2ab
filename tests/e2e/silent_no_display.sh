#!/bin/bash
# A silent run on a machine without a display: no display variable and no
# Qt platform chosen. It converts, leaves the settings store alone, never
# replaces an input, and says on standard error why it exits 1.
set -uo pipefail
quillon=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
export HOME="$work/home" XDG_CONFIG_HOME="$work/config"
store="$XDG_CONFIG_HOME/Brevik-Software/Quillon 5/settings"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/in" "$work/out" "$work/photos"

fail() { echo "silent run without a display: $*" >&2; [ -f "$work/stderr" ] && cat "$work/stderr" >&2; exit 1; }
run() { timeout 60 "$quillon" "$@" 2>"$work/stderr"; status=$?; }
pixel() { convert "$1" -format '%[pixel:p{1,1}]' info: 2>/dev/null; }

convert -size 30x20 xc:red -type TrueColor BMP3:"$work/in/one.bmp"
convert -size 30x20 xc:blue -type TrueColor BMP3:"$work/in/two.bmp"

# A preset that deletes its sources.
printf '[Quillon]\nszOutDir=%s/out/\niOutFormats=1\niFormatId0=1\nszSubFormat0=Normal\niColorFormat0=-1\nbSaveInSrcDirs=0\nbNoOverwritePrompt=1\nbDeleteSrcFiles=1\n' "$work" > "$work/delete.qpt"
run -silent "$work/delete.qpt" "$work/in/one.bmp"
[ "$status" = 0 ] || fail "conversion: status $status"
[ "$(identify -format '%w %h' "$work/out/one.bmp")" = "30 20" ] || fail "one.bmp not written"
[ ! -e "$work/in/one.bmp" ] || fail "the preset's source was not deleted"
[ ! -e "$store" ] || fail "a silent run wrote the settings store"

# A display named but out of reach is no display either.
DISPLAY=:97 run -silent "$work/delete.qpt" "$work/in/two.bmp.missing"
[ "$status" = 1 ] || fail "unreachable display: status $status"
grep -q "two.bmp.missing: no such file or folder" "$work/stderr" || fail "unreachable display: no line"

# A later silent run with a preset that says nothing about deleting: the
# first run's choice did not carry over, so the source stays.
printf '[Quillon]\nszOutDir=%s/out/\n' "$work" > "$work/small.qpt"
run -silent "$work/small.qpt" "$work/in/two.bmp"
[ "$status" = 0 ] || fail "second conversion: status $status"
[ -e "$work/in/two.bmp" ] || fail "a source was deleted that no preset of this run asked to delete"

# A bitmap and an RLE bitmap of one name, converted beside their sources:
# the bitmap keeps its own pixels, the run fails, and says what happened.
convert -size 20x20 xc:red -type TrueColor BMP3:"$work/photos/photo.bmp"
convert -size 20x20 xc:blue -type Palette -compress RLE BMP3:"$work/photos/photo.rle"
run -silent "$examples/to-bmp.qpt" "$work/photos"
[ "$status" = 1 ] || fail "two inputs onto one output: status $status"
[ "$(pixel "$work/photos/photo.bmp")" = "srgb(255,0,0)" ] || fail "photo.bmp was replaced"
[ "$(pixel "$work/photos/photo.rle")" = "srgb(0,0,255)" ] || fail "photo.rle changed"
[ "$(wc -l < "$work/stderr")" = 2 ] || fail "not two lines on standard error"
line="Quillon: $work/photos/photo.rle: Not written: $work/photos/photo.bmp was already written in this batch"
grep -qxF "$line, from $work/photos/photo.bmp." "$work/stderr" || fail "photo.rle not named"
grep -qx "Quillon: 1 written, 0 skipped, 1 failed.*" "$work/stderr" || fail "counts missing"

# Arguments that add nothing: one line each, naming them, and status 1
# although the rest converts.
printf 'not an image' > "$work/in/notes.txt"
run -silent "$work/small.qpt" "$work/in/missing.bmp" "$work/in/notes.txt" "$work/in/two.bmp"
[ "$status" = 1 ] || fail "bad arguments: status $status"
grep -q "missing.bmp" "$work/stderr" || fail "the missing file is not named"
grep -q "notes.txt: Unknown file format" "$work/stderr" || fail "the file of unknown format is not named"
# A missing preset stops the run before it starts: without it the job would
# be the settings store's.
rm -f "$work/out/two.bmp"
run -silent "$work/small.qpt" "$work/nowhere.qpt" "$work/in/two.bmp"
[ "$status" = 1 ] || fail "missing preset: status $status"
[ "$(cat "$work/stderr")" = "Quillon: $work/nowhere.qpt: no such preset" ] || fail "the missing preset is not named"
[ ! -e "$work/out/two.bmp" ] || fail "missing preset: something was written"

# Existing outputs left alone, as the job asks: nothing written, nothing
# said, and no failure.
printf '[Quillon]\nszOutDir=%s/out/\nbNoOverwritePrompt=0\nbSkipExisting=1\n' "$work" > "$work/skip.qpt"
run -silent "$work/skip.qpt" "$work/in/two.bmp"
[ "$status" = 0 ] || fail "skipped output: status $status"
[ ! -s "$work/stderr" ] || fail "skipped output: $(cat "$work/stderr")"

# With a log, the line of a run that failed says where it is.
head -c 200 "$work/in/two.bmp" > "$work/in/cut.bmp"
printf 'bShowMoreOptions=1\nbCreateLogFile=1\n' >> "$work/skip.qpt"
run -silent "$work/skip.qpt" "$work/in/two.bmp" "$work/in/cut.bmp"
[ "$status" = 1 ] || fail "failed output with a log: status $status"
log=$(sed -n 's/^Quillon: 0 written, 1 skipped, 1 failed; log: //p' "$work/stderr")
[ -n "$log" ] && grep -q "Skipped!" "$log" || fail "no log named: $(cat "$work/stderr")"

# An index page that cannot replace what stands at its name: the images
# are written, the run fails and says so.
mkdir -p "$work/idx/index.html/kept"
printf '[Quillon]\nszOutDir=%s/idx/\nbShowMoreOptions=1\nbIndex=1\n' "$work" > "$work/index.qpt"
run -silent "$work/index.qpt" "$work/in/two.bmp"
[ "$status" = 1 ] || fail "index not written: status $status"
[ -f "$work/idx/two.bmp" ] || fail "index run: the image was not written"
grep -qx "Quillon: 2 written, 0 skipped, 0 failed; index.html could not be written" "$work/stderr" ||
  fail "index run: no line about the index"

# An empty list.
run -silent "$work/small.qpt"
[ "$status" = 1 ] || fail "empty list: status $status"
grep -q "Quillon: 0 written, 0 skipped, 0 failed (the input list is empty)" "$work/stderr" || fail "empty list line"

# A damaged settings store is kept aside, and said so.
mkdir -p "$(dirname "$store")"
printf 'scrambled settings' > "$store"
printf '[Quillon]\nszOutDir=%s/fresh/\n' "$work" > "$work/fresh.qpt"
run -silent "$work/fresh.qpt" "$work/in/two.bmp"
[ "$status" = 0 ] || fail "run with a damaged store: status $status"
[ "$(cat "$store.bad")" = "scrambled settings" ] || fail "the damaged store was not kept as settings.bad"
grep -q "settings.bad" "$work/stderr" || fail "no word about the damaged store"
echo "silent run without a display: ok"
