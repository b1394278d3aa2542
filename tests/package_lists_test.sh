#!/usr/bin/env bash
# `make run` installs only what building and running need: no server, no second
# compiler, no benchmark tool; `make test` and `make bench` add their own lists.
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

packages=$(grep -v -E '^\s*(#|$)' "$top/scripts/packages/build")
for p in $packages; do
  case "$p" in
    nginx* | apache2* | lighttpd* | *-server | *-daemon | clang* | hyperfine | wget)
      fail "the build list holds $p" ;;
  esac
done
echo "ok"
