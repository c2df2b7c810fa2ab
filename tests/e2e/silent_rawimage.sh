#!/bin/bash
# A silent run writing RawImage outputs stopped while it writes their data
# files: SIGTERM takes the data's temporaries along with the description's,
# and those of a run killed outright name its process, so that the next run
# in the folder removes them.
set -uo pipefail
quillon=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/in" "$work/out"

fail() { echo "silent rawimage: $*" >&2; [ -f "$work/stderr" ] && cat "$work/stderr" >&2; exit 1; }
hidden() { find "$work/out" -name '.*' | sort; }
preset() { # name, sub-format, colour format
  printf '[Quillon]\nszOutDir=%s/out/\nbSaveInSrcDirs=0\niFormatId0=35\nszSubFormat0=%s\niColorFormat0=%s\nbNoOverwritePrompt=1\n' \
    "$work" "$2" "$3" > "$work/$1.qpt"
}
convert -size 61x37 -seed 5 plasma:fractal -depth 8 "$work/in/small.ppm"
preset rgb Interleaved 16384
preset rgba16 Separated 524288

# Stopped while a data file is being written: a watcher sends the signal as
# soon as one of them appears beside the description's temporary.
for i in 1 2 3; do convert -size 3000x2000 gradient:red-blue -rotate $((i * 30)) "$work/in/big$i.ppm"; done
stop() { # signal; prints the run's status, then the hidden files seen when it was sent
  python3 - "$1" "$quillon" "$work" <<'PY'
import os, re, signal, subprocess, sys, time
sig, quillon, work = getattr(signal, 'SIG' + sys.argv[1]), sys.argv[2], sys.argv[3]
out = os.path.join(work, 'out')
run = subprocess.Popen([quillon, '-silent', os.path.join(work, 'rgba16.qpt')] +
                       [os.path.join(work, 'in', 'big%d.ppm' % i) for i in (1, 2, 3)],
                       stderr=subprocess.DEVNULL, restore_signals=True)
data = re.compile(r'^\.big\d\.[RGBA]\.')
seen, end = [], time.time() + 120
while run.poll() is None and time.time() < end:
    names = os.listdir(out)
    if any(data.match(n) for n in names):
        run.send_signal(sig)
        seen = sorted(n for n in names if n.startswith('.'))
        break
    time.sleep(0.0005)
if not seen:
    run.kill()
print(run.wait(), run.pid, *seen)
PY
}
for sig in TERM KILL; do
  rm -rf "$work/out" && mkdir "$work/out"
  read -r status pid seen <<<"$(stop $sig)"
  [ -n "$seen" ] || fail "SIG$sig: no data file was seen being written"
  want=$((-$(kill -l $sig)))
  [ "$status" = "$want" ] || fail "SIG$sig: status $status, not $want"
  if [ $sig = TERM ]; then
    [ -z "$(hidden)" ] || fail "SIGTERM left $(hidden)"
  else
    # Each temporary names the run's process, so a later run may remove it.
    for f in $(hidden); do
      case "$f" in */.*".quillon-$pid-"*.part) ;; *) fail "a temporary without its process: $f" ;; esac
    done
    [ "$(hidden | wc -l)" -ge 2 ] || fail "kill -9 left $(hidden), not the description and its data"
    timeout 120 "$quillon" -silent "$work/rgb.qpt" "$work/in/small.ppm" 2>"$work/stderr" || fail "cleaning run failed"
    [ -z "$(hidden)" ] || fail "the next run left $(hidden)"
  fi
done

# A data file that is read-only is no more replaced than the description
# would be, root or not: the output is not written, and nothing of it moves.
rm -rf "$work/out" && mkdir "$work/out"
timeout 120 "$quillon" -silent "$work/rgba16.qpt" "$work/in/small.ppm" 2>"$work/stderr" || fail "first small run"
chmod a-w "$work/out/small.G"
before=$(cd "$work/out" && stat -c '%n %i %s' * && md5sum *)
timeout 120 "$quillon" -silent "$work/rgba16.qpt" "$work/in/small.ppm" 2>"$work/stderr"
[ $? = 1 ] || fail "read-only data file: not status 1"
[ "$(head -n 1 "$work/stderr")" = "Quillon: $work/in/small.ppm: Not written: $work/out/small.G: Read-only file" ] ||
  fail "read-only data file not named"
[ "$(cd "$work/out" && stat -c '%n %i %s' * && md5sum *)" = "$before" ] || fail "the output's files changed"
[ -z "$(hidden)" ] || fail "read-only data file: left $(hidden)"
echo "silent rawimage: ok"
