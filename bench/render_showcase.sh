#!/usr/bin/env bash
# Renders the showcase scene and prints rays and samples per second.
#   bench/render_showcase.sh [BUILD_DIR] [extra korrender options]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
line=$("$build/host/korrender" scenes/showcase.json -o "$out/showcase.png" --no-progress --benchmark "$@")
echo "$line"
echo "$line" | awk '{
  for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
  printf "samples_per_second=%.0f rays_per_second=%.0f\n", v["samples"] / v["seconds"], v["rays"] / v["seconds"]
}'
