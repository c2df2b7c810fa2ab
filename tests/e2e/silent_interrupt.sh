#!/bin/bash
# A run stopped in the middle of writing: SIGINT and SIGTERM take the
# half-written temporary file along, and the run ends by the signal. A run
# killed outright leaves its temporary, which the next run in that folder
# removes, while the temporary of a run that still goes on is kept.
set -uo pipefail
quillon=$1
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done; rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/in" "$work/out"

fail() { echo "silent interrupt: $*" >&2; exit 1; }
# Large pictures, squeezed as hard as PNG allows: the writing takes a while.
for i in 1 2 3; do convert -size 2400x1800 -seed $i plasma:fractal "$work/in/big$i.ppm"; done
convert -size 20x20 xc:teal "$work/in/small.ppm"
printf '[Quillon]\nszOutDir=%s/out/\niFormatId0=28\nszSubFormat0=Super optimized\niColorFormat0=-1\nbNoOverwritePrompt=1\n' \
  "$work" > "$work/png.qpt"
temporaries() { find "$work/out" -name '.*.part' | sort; }

# Starts a run with the signals at their defaults (a shell's background job
# would ignore SIGINT) and waits until it writes its temporary.
start() {
  python3 -c 'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])' \
    "$quillon" -silent "$work/png.qpt" "$work"/in/big*.ppm 2>"$work/stderr" &
  run=$!
  pids+=("$run")
  for _ in $(seq 1200); do
    [ -n "$(temporaries)" ] && return 0
    kill -0 "$run" 2>/dev/null || fail "the run ended before writing"
    sleep 0.05
  done
  fail "no temporary appeared"
}

for sig in INT TERM; do
  rm -f "$work"/out/*
  start
  kill -s "$sig" "$run"
  wait "$run"
  status=$?
  want=$((128 + $(kill -l "$sig")))
  [ "$status" = "$want" ] || fail "SIG$sig: status $status, not $want"
  [ -z "$(temporaries)" ] || fail "SIG$sig left $(temporaries)"
done

# Killed outright: the temporary stays, named after the run's process.
rm -f "$work"/out/*
start
kill -9 "$run"
wait "$run" 2>/dev/null
stale=$(temporaries)
[ -n "$stale" ] || fail "kill -9 left no temporary"
case "$stale" in *".quillon-$run-"*) ;; *) fail "the temporary does not name its process: $stale" ;; esac
# Another run still writing into the folder, and a user's own file.
sleep 300 &
live=$!
disown "$live"
pids+=("$live")
echo "being written" > "$work/out/.other.png.quillon-$live-0123456789abcdef.part"
echo "mine" > "$work/out/.draft.png.part"
timeout 120 "$quillon" -silent "$work/png.qpt" "$work/in/small.ppm" 2>"$work/stderr" || fail "cleaning run failed"
[ -f "$work/out/small.png" ] || fail "the cleaning run wrote nothing"
[ ! -e "$stale" ] || fail "the killed run's temporary is still there"
[ -f "$work/out/.other.png.quillon-$live-0123456789abcdef.part" ] || fail "a live run's temporary was removed"
[ -f "$work/out/.draft.png.part" ] || fail "the user's file was removed"
echo "silent interrupt: ok"
