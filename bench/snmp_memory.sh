#!/bin/sh
# Memory and descriptor check of the SNMP notifier over 1000 SNMPv3 sends
# whose engine ID is the router's lowest MAC address (payload type 3).
#
# valgrind --leak-check=full --track-fds=yes over the unit test that makes
# the 1000 sends through a recorder (snmp_test, *thousand*): leak summary,
# error summary and the descriptors still open at exit. The test itself
# asserts that the process holds as many descriptors after the 1000 sends as
# before them.
#
# Usage: bench/snmp_memory.sh [BUILD_DIR]   (root; default BUILD_DIR: ../build)
# Exit status: 0 when nothing leaked and no descriptor was left open, 1 otherwise.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build=$(cd "${1:-$source_dir/build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

echo "== valgrind over snmp_test --gtest_filter='*thousand*' ($build)"
if ! valgrind --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=definite,indirect,possible \
        --track-fds=yes --error-exitcode=3 --log-file="$work/valgrind.log" \
        "$build/snmp_test" --gtest_filter='*thousand*' > "$work/test.out" 2>&1; then
    status=1
fi
grep -E '^\[  (PASSED|FAILED) ' "$work/test.out" || { cat "$work/test.out"; status=1; }
sed -n 's/^==[0-9]*== //p' "$work/valgrind.log" > "$work/summary"
grep -E 'FILE DESCRIPTORS|in use at exit|total heap usage|definitely lost|indirectly lost|possibly lost|still reachable|suppressed:|All heap blocks|ERROR SUMMARY' \
    "$work/summary"
# Descriptors the test itself left open: those valgrind lists at exit that
# were not inherited from this script (its own log file among them).
own=$(awk '/^Open / { getline origin; if (origin !~ /inherited from parent/) n++ }
           END { print n + 0 }' "$work/summary")
echo "descriptors left open by the test itself: $own"
[ "$own" -eq 0 ] || status=1

[ "$status" -eq 0 ] && echo "== result: no leak, no descriptor left open" || echo "== result: FAILED"
exit "$status"
