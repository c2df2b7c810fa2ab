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
# One line, naming commands that work from any folder: xvfb-run with this
# program (or the script that builds and starts it) by its full path, and
# -silent; and a section of the README that is there.
says_how() {
  [ "$(wc -l < "$work/stderr")" = 1 ] || return 1
  grep -q -- "-silent" "$work/stderr" || return 1
  command -v xvfb-run >/dev/null || return 1
  named=$(sed -n 's/.*(xvfb-run -a \(.*\) \.\.\.; .*/\1/p' "$work/stderr")
  [ -n "$named" ] || return 1
  # The path as the shell reads it, quotes and all.
  eval "set -- $named" || return 1
  [ $# = 1 ] || return 1
  case $1 in /*) ;; *) return 1 ;; esac
  [ -x "$1" ] || return 1
  [ "$(realpath "$1")" = "$(realpath "${program:-$quillon}")" ] || [ "$(realpath "$1")" = "$root/scripts/run" ] ||
    return 1
  named=$1
  heading=$(sed -n 's/.*the README.s "\([^"]*\)".*/\1/p' "$work/stderr")
  [ -n "$heading" ] && grep -qxE "#+ $heading" "$root/README.md"
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
# The command named runs from another folder than the repository's root
# (here a silent run, which ends by itself).
mkdir -p "$work/elsewhere"
(cd "$work/elsewhere" && timeout 120 xvfb-run -a "$named" -silent "$work/job.qpt" "$work/one.ppm") 2>"$work/stderr"
status=$?
[ "$status" = 0 ] || fail "the command named, from another folder: status $status"
[ -f "$work/out/one.bmp" ] || fail "the command named, from another folder: nothing written"
rm -f "$work/out/one.bmp"

run "$quillon" -silent "$work/job.qpt" "$work/one.ppm"
[ "$status" = 0 ] || fail "silent run: status $status"
[ -f "$work/out/one.bmp" ] || fail "silent run wrote nothing"

# A program in a folder whose name holds a blank, or a quote: the command
# printed, read by the shell, still names it.
for folder in "with blank" "it's here"; do
  program="$work/$folder/quillon"
  mkdir -p "$work/$folder"
  cp "$quillon" "$program"
  run "$program"
  [ "$status" = 1 ] || fail "in \"$folder\": status $status"
  says_how || fail "in \"$folder\": the command printed does not name the program"
done
unset program
echo "no display: ok"
