#!/bin/bash
# The program run from the command line in silent mode: a preset names the
# output folder, two images are converted, and the program exits by itself.
set -euo pipefail
quillon=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/out" "$work/in dir"
convert -size 48x32 gradient:red-blue BMP3:"$work/in dir/one.bmp"
convert -size 20x20 xc:orange BMP3:"$work/in dir/two.bmp"
printf '[Quillon]\r\nszOutDir=%s/out/\r\n' "$work" > "$work/job.qpt"

timeout 60 "$quillon" -SILENT "$work/job.qpt" "$work/in dir/one.bmp" "$work/in dir/two.bmp"

test "$(identify -format '%w %h' "$work/out/one.bmp")" = "48 32"
test "$(identify -format '%w %h' "$work/out/two.bmp")" = "20 20"
# A silent run leaves the settings store as it found it: none here.
test ! -e "$XDG_CONFIG_HOME/Brevik-Software/Quillon 5/settings"
# An empty list closes a silent run without any question, as a failure.
status=0
timeout 60 "$quillon" -SILENT "$work/job.qpt" || status=$?
test "$status" = 1
# Inputs the list could not take (an empty .jpg, a text named .png, a
# missing file) are failures of the run: its log names each, as it names
# every other failure. The log goes to the program's folder: a copy of the
# program runs here.
mkdir -p "$work/bin"
cp "$quillon" "$work/bin/quillon"
: > "$work/in dir/empty.jpg"
echo "shopping list" > "$work/in dir/list.png"
printf 'bShowMoreOptions=1\r\nbCreateLogFile=1\r\n' >> "$work/job.qpt"
status=0
timeout 60 "$work/bin/quillon" -SILENT "$work/job.qpt" "$work/in dir/one.bmp" "$work/in dir/empty.jpg" \
  "$work/in dir/list.png" "$work/in dir/gone.jpg" 2>/dev/null || status=$?
test "$status" = 1
log="$work/bin/Quillon log.txt"
tr -d '\r' < "$log" > "$work/log.txt"
grep -qx "Error: $work/in dir/empty.jpg: .*" "$work/log.txt"
grep -qx "Error: $work/in dir/list.png: Unknown file format" "$work/log.txt"
grep -qx "Error: $work/in dir/gone.jpg: .*" "$work/log.txt"
grep -qx "Reading:  $work/in dir/one.bmp" "$work/log.txt"
# Without an output folder the output check stops a silent run: it fails
# and writes nothing.
export XDG_CONFIG_HOME="$work/fresh"
mkdir -p "$XDG_CONFIG_HOME"
rm -f "$work/out/"*
if timeout 60 "$quillon" -SILENT "$work/in dir/one.bmp" 2>"$work/err.txt"; then
  echo "a silent run without an output folder reported success"; exit 1
fi
test -z "$(ls -A "$work/out")"
echo "silent run: ok"
