#!/usr/bin/env bash
# Times scenes/contour.json with and without its contour pass and prints
# the share the pass adds to the render time (best of N runs each).
#   bench/contour_overhead.sh [BUILD_DIR] [RUNS] [extra korrender options]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
shift 2 || shift $# || true
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
best() {
  local t best=""
  for _ in $(seq "$runs"); do
    t=$("$build/host/korrender" scenes/contour.json -o "$out/contour.exr" --no-progress --benchmark "$@" |
        sed -n 's/.*seconds=\([0-9.]*\).*/\1/p')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}
with=$(best "$@")
without=$(best --set /camera/contour/enable=false "$@")
awk -v a="$with" -v b="$without" 'BEGIN {
  printf "with_contours=%.3f s without=%.3f s contour_overhead=%.1f%%\n", a, b, 100 * (a - b) / b }'
