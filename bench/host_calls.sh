#!/usr/bin/env bash
# Counts the host functions the shaders call per eye sample of a render,
# through uprobes on every exported host function of libkorhost (perf probe;
# needs root or perf_event_paranoid -1 and tracefs). One thread, a small
# image: the counts do not depend on either.
#   bench/host_calls.sh [BUILD_DIR] [SCENE] [extra korrender options]
# Prints "calls_per_sample function" for every function called, most first.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
scene=${2:-bench/peer/peer.json}
shift 2 || shift $# || true
lib=$(readlink -f "$build/host/libkorhost.so")
out=$(mktemp -d)
group=korhost_calls
cleanup() {
  perf probe -q -d "$group:*" 2>/dev/null || true
  rm -rf "$out"
}
trap cleanup EXIT
for f in $(nm -D --defined-only "$lib" | awk '$2 == "T" && $3 ~ /^zo_/ { print $3 }'); do
  perf probe -q -x "$lib" --add "$group:$f=$f" 2>/dev/null || true
done
perf stat -x, -o "$out/counts" -e "$group:*" \
  "$build/host/korrender" "$scene" -o "$out/image.exr" --resolution 160x90 --threads 1 \
  --no-progress --benchmark "$@" >"$out/line"
samples=$(sed -n 's/.*samples=\([0-9]*\).*/\1/p' "$out/line")
echo "$(cat "$out/line")"
awk -F, -v n="$samples" '$1 + 0 > 0 { sub(/.*:/, "", $3); printf "%8.2f %s\n", $1 / n, $3 }' \
  "$out/counts" | sort -gr
awk -F, -v n="$samples" '{ t += $1 } END { printf "%8.2f host calls per sample in all\n", t / n }' \
  "$out/counts"
