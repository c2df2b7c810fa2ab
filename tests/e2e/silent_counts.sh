#!/bin/bash
# What a silent run counts and how it ends: files of a folder that look like
# pictures but are not, inputs that fail while being read and outputs that
# are not written are named with why, and counted; outputs the job's own rule
# leaves alone are no failure; an index shows each picture that is there
# once; a target size that cannot be reached is said in the log.
set -uo pipefail
quillon=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/photos" "$work/bin"

fail() { echo "silent counts: $*" >&2; [ -f "$work/stderr" ] && cat "$work/stderr" >&2; exit 1; }
run() { timeout 120 "$quillon" "$@" 2>"$work/stderr"; status=$?; }
# A preset named $1 writing into the folder of that name; the other
# arguments are its keys. Without a format key the output is a bitmap.
job() {
  local name=$1; shift
  printf '[Quillon]\nszOutDir=%s/%s/\nbSaveInSrcDirs=0\n' "$work" "$name" > "$work/$name.qpt"
  printf '%s\n' "$@" >> "$work/$name.qpt"
}

# A folder of 15 files of our extensions: 12 pictures, one whose pixel data
# ends early, an empty .jpg and a text named .png; and a text file, which
# is nobody's picture.
for i in $(seq -w 1 12); do convert -size 20x16 xc:"rgb($((10#$i)),90,$((10#$i * 9)))" "$work/photos/p$i.png"; done
convert -size 64x64 -seed 3 plasma:fractal BMP3:"$work/cut.bmp"
head -c 3000 "$work/cut.bmp" > "$work/photos/cut.bmp"
: > "$work/photos/empty.jpg"
echo "shopping list" > "$work/photos/list.png"
echo "notes" > "$work/photos/notes.txt"
job scan
run -silent "$work/scan.qpt" "$work/photos"
[ "$status" = 1 ] || fail "folder with damaged files: status $status"
[ "$(ls "$work/scan" | wc -l)" = 12 ] || fail "not 12 pictures written"
grep -qx "Quillon: $work/photos/empty.jpg: .*" "$work/stderr" || fail "empty.jpg not named"
grep -qx "Quillon: $work/photos/list.png: Unknown file format" "$work/stderr" || fail "list.png not named"
cut="Corrupted, truncated or malformed file"
grep -qx "Quillon: $work/photos/cut.bmp: $cut" "$work/stderr" || fail "cut.bmp not named"
! grep -q "notes.txt" "$work/stderr" || fail "notes.txt named"
grep -qx "Quillon: 12 written, 0 skipped, 3 failed" "$work/stderr" || fail "counts"
[ "$(wc -l < "$work/stderr")" = 4 ] || fail "not four lines"

# A named input whose pixels end early, in a run without a log: the line
# that names it is all there is to find it by. The program's folder would
# hold a log: a copy of it runs here.
cp "$quillon" "$work/bin/quillon"
job named
timeout 120 "$work/bin/quillon" -silent "$work/named.qpt" "$work/photos/p01.png" "$work/photos/cut.bmp" \
  "$work/photos/p02.png" 2>"$work/stderr"
status=$?
[ "$status" = 1 ] || fail "named damaged file: status $status"
[ ! -e "$work/bin/Quillon log.txt" ] || fail "a log was written"
[ "$(cat "$work/stderr")" = "Quillon: $work/photos/cut.bmp: $cut
Quillon: 2 written, 0 skipped, 1 failed" ] || fail "named damaged file: $(cat "$work/stderr")"

# Named inputs: one missing, one of unknown format and a good one. Both
# that could not be read count as failed, and the run ends with the counts.
job lost
run -silent "$work/lost.qpt" "$work/photos/gone.jpg" "$work/photos/list.png" "$work/photos/p03.png"
[ "$status" = 1 ] || fail "lost inputs: status $status"
[ -f "$work/lost/p03.bmp" ] || fail "lost inputs: the good one was not written"
[ "$(cat "$work/stderr")" = "Quillon: $work/photos/gone.jpg: no such file or folder
Quillon: $work/photos/list.png: Unknown file format
Quillon: 1 written, 0 skipped, 2 failed" ] || fail "lost inputs: $(cat "$work/stderr")"
# Only a missing one, with a good one: still a count line.
run -silent "$work/lost.qpt" "$work/photos/gone.jpg" "$work/photos/p04.png"
[ "$status" = 1 ] || fail "missing input: status $status"
[ "$(tail -n 1 "$work/stderr")" = "Quillon: 1 written, 0 skipped, 1 failed" ] ||
    fail "missing input: $(cat "$work/stderr")"
# Only a missing one, in a run with a log: the log names it all the same.
job lonely bShowMoreOptions=1 bCreateLogFile=1
timeout 120 "$work/bin/quillon" -silent "$work/lonely.qpt" "$work/photos/gone.jpg" 2>"$work/stderr"
[ $? = 1 ] || fail "only a missing input: status not 1"
tr -d '\r' < "$work/bin/Quillon log.txt" | grep -qxF "Error: $work/photos/gone.jpg: no such file or folder" ||
    fail "only a missing input: the log does not name it"

# A finished folder run again: whether existing outputs are skipped by
# choice or never overwritten, nothing fails, nothing is said, status 0.
mkdir -p "$work/good"
cp "$work"/photos/p0[1-4].png "$work/good/"
job again bNoOverwritePrompt=0 bSkipExisting=0
run -silent "$work/again.qpt" "$work/good"
[ "$status" = 0 ] || fail "first run: status $status"
touch -d '2001-01-01' "$work"/again/*
run -silent "$work/again.qpt" "$work/good"
[ "$status" = 0 ] || fail "rerun that never overwrites: status $status"
[ ! -s "$work/stderr" ] || fail "rerun that never overwrites said something"
printf 'bSkipExisting=1\nbNoOverwritePrompt=1\n' >> "$work/again.qpt"
cp "$work/photos/p05.png" "$work/good/"
run -silent "$work/again.qpt" "$work/good"
[ "$status" = 0 ] || fail "rerun that skips existing: status $status"
[ ! -s "$work/stderr" ] || fail "rerun that skips existing said something"
[ "$(find "$work/again" -type f -newermt 2002-01-01 | wc -l)" = 1 ] || fail "the rerun replaced existing outputs"
# Beside the sources, where the first run's outputs are inputs of the
# second, which keeps them: it replaces nothing and succeeds.
state() { (cd "$work/beside" && stat -c '%n %i %y' * && md5sum *); }
for keep in "bSkipExisting=1 bNoOverwritePrompt=1" "bSkipExisting=0 bNoOverwritePrompt=0"; do
  rm -rf "$work/beside"; mkdir -p "$work/beside"; cp "$work"/photos/p0[1-2].png "$work/beside/"
  printf '[Quillon]\nbSaveInSrcDirs=1\n%s\n%s\n' $keep > "$work/beside.qpt"
  run -silent "$work/beside.qpt" "$work/beside"
  [ "$status" = 0 ] && [ -f "$work/beside/p02.bmp" ] || fail "beside the sources, $keep: first run: status $status"
  before=$(state)
  run -silent "$work/beside.qpt" "$work/beside"
  [ "$status" = 0 ] && [ ! -s "$work/stderr" ] || fail "beside the sources, $keep: rerun: status $status"
  [ "$(state)" = "$before" ] || fail "beside the sources, $keep: the rerun changed files"
done
# A failure in a rerun still counts.
cp "$work/photos/cut.bmp" "$work/good/"
run -silent "$work/again.qpt" "$work/good"
[ "$status" = 1 ] || fail "rerun with a damaged input: status $status"
grep -qx "Quillon: 0 written, 5 skipped, 1 failed" "$work/stderr" || fail "rerun counts"
grep -qx "Quillon: $work/good/cut.bmp: $cut" "$work/stderr" || fail "rerun: cut.bmp not named"

# Three inputs of one name from three folders: one picture, one cell.
for c in red green blue; do mkdir -p "$work/same/$c"; convert -size 30x30 "xc:$c" "$work/same/$c/pic.png"; done
job index bShowMoreOptions=1 bIndex=1 iOutFormats=2 iFormatId1=1 szSubFormat1=Normal iColorFormat1=-1
run -silent "$work/index.qpt" "$work"/same/*/pic.png
[ "$status" = 1 ] || fail "clashing names: status $status"
[ "$(grep -c '<td' "$work/index/index.html")" = 1 ] || fail "index cells: $(grep -c '<td' "$work/index/index.html")"
# Each input whose outputs were not written is named, with the outputs and
# the input that was there first.
for c in green red; do
  for out in "$work/index/pic.bmp" "$work/index/ico/pic.bmp"; do
    line="Quillon: $work/same/$c/pic.png: Not written: $out was already written in this batch, from"
    grep -qxF "$line $work/same/blue/pic.png." "$work/stderr" || fail "$c's $out not named"
  done
done
grep -qx "Quillon: 2 written, 0 skipped, 4 failed" "$work/stderr" || fail "clashing names: counts"
[ "$(wc -l < "$work/stderr")" = 5 ] || fail "clashing names: not five lines"

# An existing output that is read-only is not replaced, even by a job that
# replaces existing outputs, and even by root (as CI runs it): the output
# fails and is named, and the file keeps its inode and its bytes.
mkdir -p "$work/ro"
echo "keep me" > "$work/ro/p01.bmp"
chmod 444 "$work/ro/p01.bmp"
before=$(stat -c '%i' "$work/ro/p01.bmp")
job ro bNoOverwritePrompt=1
run -silent "$work/ro.qpt" "$work/photos/p01.png"
[ "$status" = 1 ] || fail "read-only output: status $status"
[ "$(cat "$work/stderr")" = "Quillon: $work/photos/p01.png: Not written: $work/ro/p01.bmp: Read-only file
Quillon: 0 written, 0 skipped, 1 failed" ] || fail "read-only output: $(cat "$work/stderr")"
[ "$(stat -c '%i' "$work/ro/p01.bmp")" = "$before" ] || fail "read-only output: another file now"
[ "$(cat "$work/ro/p01.bmp")" = "keep me" ] || fail "read-only output: replaced"

# A TIFF of two pages (tiffcp joins two of ImageMagick's) whose source the
# job deletes: a JPEG holds its first page only, so the source stays and is
# named; a TIFF or a GIF holds both pages, and the source goes.
convert -size 20x10 xc:red "$work/red.tif"
convert -size 20x10 xc:blue "$work/blue.tif"
for case in "18 jpg 1 Normal, by Quality:" "39 tiff 2 Uncompressed" "9 gif 2 Normal"; do
  read -r id ext pages sub <<< "$case"
  mkdir -p "$work/doc$id"
  tiffcp "$work/red.tif" "$work/blue.tif" "$work/doc$id/two.tif" || fail "tiffcp"
  # After an input of one page, so that it is read ahead.
  cp "$work/red.tif" "$work/doc$id/one.tif"
  job "pages$id" bDeleteSrcFiles=1 "iFormatId0=$id" "szSubFormat0=$sub" iColorFormat0=-1
  run -silent "$work/pages$id.qpt" "$work/doc$id/one.tif" "$work/doc$id/two.tif"
  [ "$(identify "$work/pages$id/two.$ext" 2>/dev/null | wc -l)" = "$pages" ] || fail "$ext: not $pages pages written"
  if [ "$pages" = 1 ]; then
    [ "$status" = 1 ] || fail "$ext: status $status"
    [ -f "$work/doc$id/two.tif" ] || fail "$ext: the source of two pages is gone"
    [ "$(cat "$work/stderr")" = "Quillon: $work/doc$id/two.tif: Not deleted: its outputs hold 1 of 2 pages
Quillon: 2 written, 0 skipped, 0 failed; 1 source not deleted" ] || fail "$ext: $(cat "$work/stderr")"
  else
    [ "$status" = 0 ] || fail "$ext: status $status"
    [ ! -e "$work/doc$id/two.tif" ] || fail "$ext: the source was kept"
  fi
done

# "to Size" with a target no quality reaches: the log says so and how large
# the file is. The copy of the program keeps the log in its folder.
convert -size 900x700 -seed 7 plasma:fractal "$work/noise.ppm"
job size bShowMoreOptions=1 bCreateLogFile=1 iFormatId0=18 "szSubFormat0=Normal, to Size:" iCompParam0=3
run_size() { timeout 120 "$work/bin/quillon" -silent "$work/size.qpt" "$work/noise.ppm" 2>"$work/stderr"; status=$?; }
run_size
[ "$status" = 0 ] || fail "to size: status $status"
bytes=$(stat -c %s "$work/size/noise.jpg")
[ "$bytes" -gt 3072 ] || fail "the target was reached after all ($bytes bytes)"
want=$(awk -v b="$bytes" 'BEGIN { printf "Result: Target size not reached: %.1f KB written for 3 KB.", b / 1024 }')
tr -d '\r' < "$work/bin/Quillon log.txt" | grep -qxF "$want" || fail "log: $(cat "$work/bin/Quillon log.txt")"
! grep -q "Result: Ok" "$work/bin/Quillon log.txt" || fail "log says Ok"
echo "silent counts: ok"
