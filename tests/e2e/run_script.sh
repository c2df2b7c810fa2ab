#!/bin/bash
# scripts/run says what it builds only when it builds: with the program up
# to date, a silent run's standard error is the program's own. Run on a copy
# of the script, with a stand-in setup, cmake and program, so that nothing
# is installed or built here.
set -uo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root/scripts" "$work/root/build" "$work/bin"
cp "$source/scripts/run" "$work/root/scripts/run"
printf '#!/bin/bash\nexit 0\n' > "$work/root/scripts/setup"
# The stand-in program says what it was given and, when asked, where it
# started and which of its arguments name something there.
cat > "$work/root/build/quillon" <<'EOF'
#!/bin/bash
echo "program: $*"
if [ -n "${FAKE_WHERE:-}" ]; then
    echo "in: $PWD"
    for a; do [ -e "$a" ] && echo "found: $a"; done
fi
echo "program says this on standard error" >&2
exit 3
EOF
# The build's words as ninja says them: with nothing to do, and with work.
# It builds only the repository's tree, wherever it is started.
cat > "$work/bin/cmake" <<'EOF'
#!/bin/bash
[ "$(cd "$2" 2>/dev/null && pwd)" = "$FAKE_TREE$([ "$1" = -S ] || echo /build)" ] ||
    { echo "cmake given $2 in $PWD" >&2; exit 1; }
if [ "$1" = -S ]; then
    echo "-- Configuring done"
    [ "${FAKE_CONFIGURE:-ok}" = ok ] || { echo "CMake Error: no compiler" >&2; exit 1; }
    exit 0
fi
echo "[0/2] Re-checking globbed directories..."
case ${FAKE_BUILD:-none} in
none) echo "ninja: no work to do." ;;
work) echo "[1/2] Building CXX object CMakeFiles/quillon.dir/ui/main.cpp.o"
      echo "[2/2] Linking CXX executable quillon" ;;
fail) echo "FAILED: CMakeFiles/quillon.dir/ui/main.cpp.o"
      echo "main.cpp:1: error: expected ';'" >&2
      exit 1 ;;
esac
EOF
chmod +x "$work/root/scripts/run" "$work/root/scripts/setup" "$work/root/build/quillon" "$work/bin/cmake"
export PATH="$work/bin:$PATH" FAKE_TREE="$work/root"

fail() { echo "run script: $*" >&2; cat "$work/err" >&2; exit 1; }
run() { "$work/root/scripts/run" "$@" >"$work/out" 2>"$work/err"; status=$?; }

# Up to date: only the program speaks, and its status is the run's.
run -silent a.jpg
[ "$status" = 3 ] || fail "up to date: status $status"
[ "$(cat "$work/out")" = "program: -silent a.jpg" ] || fail "up to date: standard output $(cat "$work/out")"
[ "$(cat "$work/err")" = "program says this on standard error" ] || fail "up to date: build lines on standard error"

# Something to build: the build's lines under one heading, on standard
# error, before the program's; standard output stays the program's.
FAKE_BUILD=work run -silent a.jpg
[ "$status" = 3 ] || fail "building: status $status"
[ "$(cat "$work/out")" = "program: -silent a.jpg" ] || fail "building: standard output $(cat "$work/out")"
expected="Building Quillon (only the first run takes a while)...
[1/2] Building CXX object CMakeFiles/quillon.dir/ui/main.cpp.o
[2/2] Linking CXX executable quillon
program says this on standard error"
[ "$(cat "$work/err")" = "$expected" ] || fail "building: standard error not as expected"

# Started from another folder, the program starts there too: a relative
# name means the caller's file, not one of the repository's.
mkdir -p "$work/photos" "$work/root/photos"
touch "$work/photos/photo.jpg" "$work/root/photos/mine.jpg"
cd "$work/photos" || exit 1
FAKE_WHERE=1 run -silent ../job.qpt photo.jpg photos
cd - >/dev/null || exit 1
[ "$status" = 3 ] || fail "from another folder: status $status"
[ "$(cat "$work/out")" = "program: -silent ../job.qpt photo.jpg photos
in: $work/photos
found: photo.jpg" ] || fail "from another folder: the program saw $(cat "$work/out")"

# A failed build or configuration says why, and the program does not start.
FAKE_BUILD=fail run -silent a.jpg
[ "$status" != 0 ] && [ "$status" != 3 ] || fail "failed build: status $status"
grep -q "error: expected ';'" "$work/err" || fail "failed build: the error is not shown"
[ ! -s "$work/out" ] || fail "failed build: the program ran"
FAKE_CONFIGURE=fail run -silent a.jpg
[ "$status" = 1 ] || fail "failed configuration: status $status"
grep -q "CMake Error: no compiler" "$work/err" || fail "failed configuration: the error is not shown"
[ ! -s "$work/out" ] || fail "failed configuration: the program ran"
echo "run script: ok"
