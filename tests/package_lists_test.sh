#!/usr/bin/env bash
# `make run` installs only what building and running need: no server, no second
# compiler, no benchmark tool, no GoogleTest; `make test` and `make bench` add
# their own lists. `make run` and `make install` build only the program, and a
# folder configured without GoogleTest finds it at `make test`.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

# What each target would install, read from a dry run (nothing is executed).
lists_of() {
  make -s -n -C "$top" "$1" BUILD=/nonexistent/fetchwell-build 2>/dev/null |
    sed -n 's|^scripts/install-deps||p' | tr ' ' '\n' | sed '/^$/d' | sort -u | tr '\n' ' '
}
[ "$(lists_of run)" = "build " ] || fail "make run installs lists: $(lists_of run)"
[ "$(lists_of test)" = "build test " ] || fail "make test installs lists: $(lists_of test)"
[ "$(lists_of bench)" = "bench build " ] || fail "make bench installs lists: $(lists_of bench)"

packages() { grep -v -E '^\s*(#|$)' "$top/scripts/packages/$1"; }
for p in $(packages build); do
  case "$p" in
    nginx* | apache2* | lighttpd* | *-server | *-daemon | clang* | hyperfine | wget | libgtest*)
      fail "the build list holds $p" ;;
  esac
done
packages test | grep -qx libgtest-dev || fail "the test list lacks libgtest-dev"

# Every build step of `make run` and `make install` names the program's targets.
for target in run install; do
  steps=$(make -s -n -C "$top" "$target" BUILD=/nonexistent/fetchwell-build 2>/dev/null |
    grep -E '^cmake --build' || true)
  [ -n "$steps" ] || fail "make $target builds nothing"
  while read -r step; do
    [[ "$step" == *"--target fetchwell fetchwell-window "* ]] || fail "make $target: $step"
  done <<<"$steps"
done
make -s -n -C "$top" install BUILD=/nonexistent/fetchwell-build | grep -q -- '--install .* --strip' ||
  fail "make install does not strip"

# A folder configured without GoogleTest (as `make run` leaves it before
# `make test` installs it) is configured again by `make test`, and finds it.
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cmake -S "$top" -B "$folder" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null ||
  fail "configuring without GoogleTest failed"
grep -qx 'FETCHWELL_GTEST:INTERNAL=OFF' "$folder/CMakeCache.txt" || fail "GoogleTest was found"
make -s -C "$top" -o deps -o test-deps test-configure BUILD="$folder" >/dev/null ||
  fail "make test-configure failed"
grep -qx 'FETCHWELL_GTEST:INTERNAL=ON' "$folder/CMakeCache.txt" ||
  fail "make test did not find GoogleTest in a folder configured without it"
echo "ok"
