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
printf '#!/bin/bash\necho "program: $*"\necho "program says this on standard error" >&2\nexit 3\n' \
    > "$work/root/build/quillon"
# The build's words as ninja says them: with nothing to do, and with work.
cat > "$work/bin/cmake" <<'EOF'
#!/bin/bash
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
export PATH="$work/bin:$PATH"

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
