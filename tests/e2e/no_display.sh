#!/bin/bash
# The wizard started where there is no screen to show it on: one line that
# says how to run the program, and status 1, instead of the toolkit's abort.
# A silent run there still converts.
set -uo pipefail
quillon=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
export HOME="$work/home" XDG_CONFIG_HOME="$work/config"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/out"
convert -size 24x24 xc:olive "$work/one.ppm"

fail() { echo "no display: $*" >&2; [ -f "$work/stderr" ] && cat "$work/stderr" >&2; exit 1; }
run() { timeout 60 "$@" 2>"$work/stderr"; status=$?; }
# One line, naming commands that exist after the README's steps: xvfb-run
# with the script that builds and starts the program, and -silent.
says_how() {
  [ "$(wc -l < "$work/stderr")" = 1 ] || return 1
  grep -q -- "-silent" "$work/stderr" || return 1
  named=$(sed -n 's/.*(xvfb-run -a \([^ ]*\) \.\.\..*/\1/p' "$work/stderr")
  [ -n "$named" ] && [ -x "$root/$named" ] && command -v xvfb-run >/dev/null
}

run "$quillon"
[ "$status" = 1 ] || fail "no arguments: status $status"
says_how || fail "no arguments: not one line saying how"
run "$quillon" "$work/one.ppm"
[ "$status" = 1 ] || fail "with a file: status $status"
says_how || fail "with a file: not one line saying how"
# A display named but out of reach is no display either.
DISPLAY=:97 run "$quillon" "$work/one.ppm"
[ "$status" = 1 ] || fail "unreachable display: status $status"
says_how || fail "unreachable display: not one line saying how"
[ ! -e "$XDG_CONFIG_HOME/Brevik-Software" ] || fail "the settings were written"

printf '[Quillon]\nszOutDir=%s/out/\n' "$work" > "$work/job.qpt"
run "$quillon" -silent "$work/job.qpt" "$work/one.ppm"
[ "$status" = 0 ] || fail "silent run: status $status"
[ -f "$work/out/one.bmp" ] || fail "silent run wrote nothing"
echo "no display: ok"
