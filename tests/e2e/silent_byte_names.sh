#!/bin/bash
# File names that are not UTF-8 (Latin-1, Windows-1252 and Shift-JIS names
# from old archives, a UTF-8-encoded surrogate) keep their bytes through a
# batch: a source rewritten in place is replaced under its own name and never
# deleted, outputs in another folder are named by the source's bytes, and the
# log and the index page stay valid UTF-8 with links that reach the files.
set -uo pipefail
quillon=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/bin" "$work/src"
# The log lives in the program's folder: a copy of the program runs here.
cp "$quillon" "$work/bin/quillon"

fail() { echo "byte names: $*" >&2; [ -f "$work/stderr" ] && cat "$work/stderr" >&2; exit 1; }
run() { timeout 120 "$work/bin/quillon" "$@" 2>"$work/stderr"; status=$?; }

# The names' stems, as bytes: caf\xe9 (Latin-1), \x93quote\x94 (Windows-1252
# quotation marks), \x82\xa0\x83J (Shift-JIS), \xed\xa0\x80 (a surrogate
# in UTF-8 form, which is no character) and a UTF-8 name for comparison.
make_sources() {
  rm -rf "$work/src"
  mkdir -p "$work/src"
  convert -size 12x10 xc:red "$work/src/caf$(printf '\xe9').png"
  convert -size 10x12 xc:lime "$work/src/$(printf '\x93quote\x94').jpg"
  convert -size 9x9 xc:blue BMP3:"$work/src/$(printf '\x82\xa0\x83J').bmp"
  convert -size 8x8 xc:yellow "$work/src/$(printf '\xed\xa0\x80').png"
  convert -size 7x7 xc:white "$work/src/$(printf '\xc3\xbc').png"
}

# The names of the files in a folder (not its folders), by their bytes, one
# hex string per line, sorted.
names() {
  python3 - "$1" <<'EOF'
import os, sys
d = os.fsencode(sys.argv[1])
for n in sorted(n for n in os.listdir(d) if os.path.isfile(os.path.join(d, n))):
    print(n.hex())
EOF
}

# (a) Each source rewritten in its own format, in place, with "delete
# sources" on: every source is replaced by its output under the same bytes,
# nothing is deleted and no other file appears.
make_sources
before=$(names "$work/src")
declare -A inode
for f in "$work"/src/*; do inode[$f]=$(stat -c %i "$f"); done
printf '[Quillon]\niOutFormats=1\niFormatId0=-1\nbSaveInSrcDirs=1\nbDeleteSrcFiles=1\nbNoOverwritePrompt=1\n' \
  > "$work/inplace.qpt"
run -silent "$work/inplace.qpt" "$work/src"
[ "$status" = 0 ] || fail "in place: status $status"
[ ! -s "$work/stderr" ] || fail "in place said something"
after=$(names "$work/src")
[ "$after" = "$before" ] || fail "in place: the folder holds other names:
$after
instead of
$before"
for f in "$work"/src/*; do
  # Written anew: the output took the source's place.
  [ "$(stat -c %i "$f")" != "${inode[$f]}" ] || fail "in place: $(basename "$f" | od -An -c) was not rewritten"
  identify "$f" >/dev/null 2>&1 || fail "in place: $(basename "$f" | od -An -c) is no picture"
done

# (b) Into another folder as PNG, with the index page (thumbnails in its
# icon folder) and the log.
make_sources
cat > "$work/out.qpt" <<EOF
[Quillon]
szOutDir=$work/out/
bSaveInSrcDirs=0
iOutFormats=2
iFormatId0=28
iFormatId1=28
bShowMoreOptions=1
bCreateLogFile=1
bIndex=1
index.bFileName=1
index.bFileExt=1
index.bUseValidURIs=0
index.bUseAsciiFileNames=0
bNoOverwritePrompt=1
EOF
run -silent "$work/out.qpt" "$work/src"
[ "$status" = 0 ] || fail "other folder: status $status"
[ ! -s "$work/stderr" ] || fail "other folder said something"
expected=$(python3 - "$work/src" <<'EOF'
import os, sys
for n in sorted(os.path.splitext(n)[0] + b".png" for n in os.listdir(os.fsencode(sys.argv[1]))):
    print(n.hex())
EOF
)
[ "$(names "$work/src" | wc -l)" = 5 ] || fail "other folder: sources deleted"
got=$(names "$work/out" | grep -vx "$(printf 'index.html' | od -An -tx1 | tr -d ' \n')")
[ "$got" = "$expected" ] || fail "other folder: the outputs are named
$got
instead of
$expected"
[ "$(names "$work/out/ico")" = "$expected" ] || fail "other folder: the thumbnails are named $(names "$work/out/ico")"
# The log and the page are valid UTF-8; every address of the page, its
# percent-encoding undone, names a file that exists; each source's name is
# shown in a caption.
python3 - "$work/out" "$work/bin/Quillon log.txt" <<'EOF' || fail "log or index"
import os, re, sys, urllib.parse
out, log = os.fsencode(sys.argv[1]), sys.argv[2]
text = open(log, "rb").read().decode("utf-8")          # strict: raises on invalid bytes
for stem in ("caf\ufffd.png", "\ufffdquote\ufffd.jpg", "\u00fc.png"):
    if "Reading:  " not in text or stem not in text:
        sys.exit("log misses " + repr(stem))
page = open(os.path.join(out, b"index.html"), "rb").read().decode("utf-8")
addresses = re.findall(r'(?:href|src)="([^"]*)"', page)
if len(addresses) != 10:
    sys.exit("%d addresses in the page" % len(addresses))
for a in addresses:
    target = urllib.parse.unquote_to_bytes(a)
    if not os.path.isfile(os.path.join(out, target)):
        sys.exit("address %r names no file" % a)
if "caf\ufffd.png<br/>" not in page or "\u00fc.png<br/>" not in page:
    sys.exit("captions missing")
EOF
# Percent-encoding of every byte the address names is asked for too.
sed -i 's/index.bUseValidURIs=0/index.bUseValidURIs=1/' "$work/out.qpt"
rm -rf "$work/out"
run -silent "$work/out.qpt" "$work/src"
[ "$status" = 0 ] || fail "valid addresses: status $status"
grep -q 'href="caf%E9.png"' "$work/out/index.html" || fail "valid addresses: no caf%E9.png link"
grep -q 'src="ico/%93quote%94.png"' "$work/out/index.html" || fail "valid addresses: no %93quote%94 thumbnail"

# (c) Names holding control characters keep them on disk, but every line
# that names them, on standard error and in the log, shows them escaped: a
# name cannot break its line nor forge the next one ("Result: Ok.").
rm -rf "$work/src" "$work/out" "$work/bin/Quillon log.txt"
mkdir -p "$work/src"
nl=$'\n' tab=$'\t' esc=$'\e'
convert -size 12x10 xc:red "$work/src/a${nl}Result: Ok.png"
convert -size 64x64 -seed 2 plasma:fractal "$work/whole.png"
head -c 3000 "$work/whole.png" > "$work/src/b${tab}cut.png"
echo "no picture" > "$work/c${esc}[31m.png"
printf '[Quillon]\nszOutDir=%s/out/\nbSaveInSrcDirs=0\nbShowMoreOptions=1\nbCreateLogFile=1\nbNoOverwritePrompt=1\n' \
  "$work" > "$work/lines.qpt"
run -silent "$work/lines.qpt" "$work/src" "$work/c${esc}[31m.png"
[ "$status" = 1 ] || fail "control characters: status $status"
[ "$(cat "$work/stderr")" = "Quillon: $work/c\\x1B[31m.png: Unknown file format
Quillon: $work/src/b\\tcut.png: Corrupted, truncated or malformed file
Quillon: 1 written, 0 skipped, 2 failed; log: $work/bin/Quillon log.txt" ] ||
  fail "control characters: standard error not one escaped line each"
[ "$(identify -format '%w %h' "$work/out/a${nl}Result: Ok.bmp")" = "12 10" ] ||
  fail "control characters: the output does not keep its name"
log=$(tr -d '\r' < "$work/bin/Quillon log.txt")
grep -qxF "Reading:  $work/src/a\\nResult: Ok.png" <<< "$log" || fail "control characters: no escaped Reading line"
grep -qxF "Writing: $work/out/a\\nResult: Ok.bmp" <<< "$log" || fail "control characters: no escaped Writing line"
grep -qxF "Reading:  $work/src/b\\tcut.png" <<< "$log" || fail "control characters: no escaped Reading line for b"
[ "$(grep -c '^Result: ' <<< "$log")" = 1 ] || fail "control characters: a name forged a Result line"
exit 0
