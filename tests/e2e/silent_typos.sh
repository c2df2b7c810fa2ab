#!/bin/bash
# Typos stop a silent run before it converts anything: an unknown option, a
# preset key the program does not know, or a preset value that is no number
# or out of its key's range, gives one line on standard error naming it,
# status 1, no output and the sources as they were. And a preset that names an output folder writes there, even over
# settings whose last session wrote beside the sources.
set -uo pipefail
quillon=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/in/sub"
convert -size 96x64 -seed 5 plasma:fractal -quality 92 "$work/in/photo.jpg"
convert -size 40x30 gradient:teal-white "$work/in/sub/deep.ppm"

fail() { echo "silent typos: $*" >&2; [ -f "$work/stderr" ] && cat "$work/stderr" >&2; exit 1; }
run() { timeout 120 "$quillon" "$@" 2>"$work/stderr"; status=$?; }
sums() { (cd "$work/in" && find . -type f | sort | xargs md5sum); }
before=$(sums)

# 18 is JPEG, as the README's table says; the preset deletes its sources,
# so a run that wrongly starts would show.
job() {
    printf '[Quillon]\nszOutDir=%s/out/\niFormatId0=18\nszSubFormat0=Normal, by Quality:\niColorFormat0=-1\n' "$work"
    printf 'bDeleteSrcFiles=1\nbSaveInSrcDirs=0\n'
    printf '%s\n' "$@"
}
# refused <words expected in the one line> <arguments...>
refused() {
    local words=$1
    shift
    run -silent "$@"
    [ "$status" = 1 ] || fail "$*: status $status"
    [ "$(wc -l < "$work/stderr")" = 1 ] || fail "$*: not one line"
    grep -qF -- "$words" "$work/stderr" || fail "$*: the line does not say \"$words\""
    [ ! -e "$work/out" ] || fail "$*: something was written"
    [ "$(sums)" = "$before" ] || fail "$*: the sources changed"
}

job iCompParam0=90 > "$work/good.qpt"
refused "-recurce: unknown option" -recurce "$work/good.qpt" "$work/in"
refused "--recurse: unknown option" "$work/good.qpt" --recurse "$work/in"

# The first of two equal keys counts: the typo is put first.
printf '[Quillon]\niFormatId0=abc\n' > "$work/p.qpt"; job iCompParam0=90 | tail -n +2 >> "$work/p.qpt"
refused "iFormatId0=abc is not a number" "$work/p.qpt" "$work/in"
for value in abc 0 -5 101; do
    job "iCompParam0=$value" > "$work/p.qpt"
    case $value in
    abc) words="iCompParam0=abc is not a number" ;;
    *) words="iCompParam0=$value is out of range (1 to 100 for a quality)" ;;
    esac
    refused "$words" "$work/p.qpt" "$work/in"
    grep -qF "$work/p.qpt: " "$work/stderr" || fail "iCompParam0=$value: the line does not name the preset"
done
job iCompParam0=90 iOutFormats=9 > "$work/p.qpt"
refused "iOutFormats=9 is out of range (1 to 8)" "$work/p.qpt" "$work/in"
job iCompParam0=90 bKeepSubDirs=yes > "$work/p.qpt"
refused "bKeepSubDirs=yes is not a number" "$work/p.qpt" "$work/in"
job iCompParam0=90 eResize=1 i3ResizeFactor=0 > "$work/p.qpt"
refused "i3ResizeFactor=0 is out of range (1 or more)" "$work/p.qpt" "$work/in"

# A misspelt key: passed over, the run would take that option from the
# settings store (here the defaults: a BMP, no output folder). Refused with
# the key meant, whether the key's group or output is in use or not.
misspelt() {
    local line=$1
    shift
    refused "$line" "$work/p.qpt" "$work/in"
    [ "$(cat "$work/stderr")" = "Quillon: $work/p.qpt: $line" ] || fail "$*: not the line \"$line\""
}
printf '[Quillon]\nszOutDir=%s/out/\niFormatld0=28\nszSubFormat0=Normal\niColorFormat0=-1\nbDeleteSrcFiles=1\n' \
    "$work" > "$work/p.qpt"
misspelt "iFormatld0=28 is not a key of a preset (did you mean iFormatId0?)"
printf '[Quillon]\niFormatId0=28\nszSubFormat0=Normal\niColorFormat0=-1\nbSaveInSrcDir=1\n' > "$work/p.qpt"
misspelt "bSaveInSrcDir=1 is not a key of a preset (did you mean bSaveInSrcDirs?)"
job iCompParam0=90 bIndex=1 iOutFormats=2 iFormatId1=28 index.iCol=3 > "$work/p.qpt"
misspelt "index.iCol=3 is not a key of a preset (did you mean index.iCols?)"
job iCompParam0=90 bIndex=0 index.bLinkToNw=0 > "$work/p.qpt"
misspelt "index.bLinkToNw=0 is not a key of a preset (did you mean index.bLinkToNew?)"
job iCompParam0=90 iOutFormats=4 iFormatId3=28 szSubFormt3=Normal > "$work/p.qpt"
misspelt "szSubFormt3=Normal is not a key of a preset (did you mean szSubFormat3?)"
job iCompParam0=90 quality=90 > "$work/p.qpt"
misspelt "quality=90 is not a key of a preset"

# Without the typo the same run converts (and deletes its source).
run -silent "$work/good.qpt" -recurse "$work/in"
[ "$status" = 0 ] || fail "the good preset: status $status"
[ "$(identify -format '%Q' "$work/out/photo.jpg")" = 90 ] || fail "the good preset: photo.jpg not at quality 90"
[ -e "$work/out/deep.jpg" ] || fail "the good preset: -recurse did not scan sub/"
[ ! -e "$work/in/photo.jpg" ] || fail "the good preset: the source was not deleted"
rm -rf "$work/out"

# Settings whose last session wrote beside the sources, written as the
# settings store keeps them: magic, version, count, then type, name and
# bytes of each value, and a CRC-32 of it all.
convert -size 96x64 -seed 5 plasma:fractal -quality 92 "$work/in/photo.jpg"
store="$XDG_CONFIG_HOME/Brevik-Software/Quillon 5/settings"
mkdir -p "$(dirname "$store")"
python3 - "$store" <<'EOF' || fail "cannot write the settings"
import struct, sys, zlib
values = [(3, b"bSaveInSrcDirs", b"\x01"), (3, b"bNoOverwritePrompt", b"\x01")]
body = b"QSTO" + struct.pack("<II", 1, len(values))
for kind, name, data in values:
    body += struct.pack("<BB", kind, len(name)) + name + struct.pack("<I", len(data)) + data
open(sys.argv[1], "wb").write(body + struct.pack("<I", zlib.crc32(body)))
EOF
# The same settings, seen through a preset that names neither key: beside
# the sources, as the store says (a PNG, so the source is not touched).
printf '[Quillon]\niFormatId0=28\nszSubFormat0=Normal\niColorFormat0=-1\n' > "$work/beside.qpt"
run -silent "$work/beside.qpt" "$work/in/photo.jpg"
[ "$status" = 0 ] || fail "beside the sources: status $status"
[ -e "$work/in/photo.png" ] || fail "the store's bSaveInSrcDirs=1 was not used"
rm "$work/in/photo.png"
source=$(md5sum < "$work/in/photo.jpg")
printf '[Quillon]\nszOutDir=%s/out/\niFormatId0=18\nszSubFormat0=Normal, by Quality:\niColorFormat0=-1\n' "$work" > "$work/folder.qpt"
printf 'iCompParam0=30\nbNoOverwritePrompt=1\n' >> "$work/folder.qpt"
run -silent "$work/folder.qpt" "$work/in/photo.jpg"
[ "$status" = 0 ] || fail "preset with an output folder: status $status"
[ "$(identify -format '%Q' "$work/out/photo.jpg" 2>/dev/null)" = 30 ] || fail "no quality-30 output in the preset's folder"
[ "$(md5sum < "$work/in/photo.jpg")" = "$source" ] || fail "the source was replaced by its re-encode"
echo "silent typos: ok"
