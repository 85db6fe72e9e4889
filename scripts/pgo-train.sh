#!/usr/bin/env bash
# The training renders of the profile-guided build: an instrumented
# korrender (built with KOR_PGO=generate) renders the peer benchmark scene
# and every example scene small, and its counts become the profile the
# release build is optimised with.
#   scripts/pgo-train.sh TRAINING_BUILD_DIR PROFILE_DIR
# The scenes with photon maps and final gathering, whose cost hardly depends
# on the image size, are left out; code the training does not run keeps
# the optimisation it has without a profile.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1 profile=$2
korrender=$build/host/korrender
[ -x "$korrender" ] || { echo "pgo-train.sh: no $korrender" >&2; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
rm -rf "$profile"
mkdir -p "$profile"
render() { # SCENE RESOLUTION
  "$korrender" "$1" -o "$out/train.exr" --resolution "$2" --threads 2 --no-progress --quiet \
    >"$out/log" 2>&1 || { echo "pgo-train.sh: $1 failed:" >&2; cat "$out/log" >&2; exit 1; }
}
render bench/peer/peer.json 160x90
render scenes/showcase.json 160x90
for scene in scenes/*.json; do
  case $scene in scenes/cornell.json | scenes/caustics.json) continue ;; esac
  render "$scene" 48x27
done
n=$(find "$profile" -name '*.gcda' | wc -l)
[ "$n" -gt 0 ] || { echo "pgo-train.sh: the training wrote no profile into $profile" >&2; exit 1; }
echo "pgo-train.sh: a profile of $n objects in $profile"
