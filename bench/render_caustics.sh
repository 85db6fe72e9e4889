#!/usr/bin/env bash
# Renders the caustics scene and prints the photon pass's rates (photons
# emitted and stored per second) and the render's time, photon pass included.
#   bench/render_caustics.sh [BUILD_DIR] [extra korrender options]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$build/host/korrender" scenes/caustics.json -o "$out/caustics.png" --no-progress --benchmark "$@"
