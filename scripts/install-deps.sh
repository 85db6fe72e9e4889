#!/usr/bin/env bash
# Installs the Debian packages korshaders builds with, when any is missing.
# With --fuzz: also clang and its runtimes (libFuzzer), for `make fuzz`.
# With --bench: the peer renderer and GNU time for bench/peer/run.sh.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libembree-dev libpng-dev libopenexr-dev libopenimageio-dev openimageio-tools libtbb-dev
  nlohmann-json3-dev libtinyobjloader-dev libassimp-dev libnanoflann-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  slurm-wlm munge
)
if [ "${1:-}" = "--fuzz" ]; then packages=(clang libclang-rt-dev); fi
if [ "${1:-}" = "--bench" ]; then packages=(povray time); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "korshaders: installing ${missing[*]}" >&2
sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
