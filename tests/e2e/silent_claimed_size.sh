#!/bin/bash
# Tiny files whose headers claim huge pictures, converted by a silent run
# under a 1 GB address-space limit: each fails as a damaged file, not as
# "Out of memory", and the run's peak resident size stays small.
set -uo pipefail
quillon=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/in" "$work/out"
fail() { echo "claimed size: $*" >&2; exit 1; }

# 70 bytes each: a bitmap of 2 x 268435456 pixels of 32 bits, an icon of
# 2 x 322122547, each with one row of pixels.
/usr/bin/python3 - "$work/in" <<'PY'
import struct, sys
d = sys.argv[1]
bmp = b'BM' + struct.pack('<IIII', 0, 0, 54, 40) + struct.pack('<iiHHIIiiII', 2, 1 << 28, 1, 32, 0, 0, 0, 0, 0, 0)
open(d + '/tall.bmp', 'wb').write(bmp + b'\x11' * 16)
ico = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', 0, 0, 0, 0, 1, 32, 40, 22)
ico += struct.pack('<IiiHHIIiiII', 40, 2, 2 * 322122547, 1, 32, 0, 0, 0, 0, 0, 0)
open(d + '/tall.ico', 'wb').write(ico + b'\x44' * 8)
PY
[ "$(stat -c %s "$work/in/tall.bmp") $(stat -c %s "$work/in/tall.ico")" = "70 70" ] || fail "test files not made"
printf '[Quillon]\nszOutDir=%s/out/\niOutFormats=1\niFormatId0=1\nszSubFormat0=Normal\niColorFormat0=-1\nbSaveInSrcDirs=0\n' "$work" > "$work/job.qpt"

# The sanitizer's shadow memory cannot live under an address-space limit:
# a sanitized program runs without one, and only the resident bound holds.
limit=(prlimit --as=1073741824)
grep -q __asan_init "$quillon" && limit=()
for name in tall.bmp tall.ico; do
  status=0
  "${limit[@]}" /usr/bin/time -f '%M' -o "$work/peak" \
    timeout 60 "$quillon" -silent "$work/job.qpt" "$work/in/$name" 2>"$work/stderr" || status=$?
  [ "$status" = 1 ] || fail "$name: status $status"
  grep -qF "$work/in/$name: Corrupted, truncated or malformed file" "$work/stderr" ||
    fail "$name: not reported as damaged: $(cat "$work/stderr")"
  peak=$(tail -n 1 "$work/peak")
  [ "$peak" -gt 0 ] && [ "$peak" -lt 204800 ] || fail "$name: peak resident size ${peak} kB"
done
[ -z "$(ls -A "$work/out")" ] || fail "an output was written"
echo "claimed size: ok"
