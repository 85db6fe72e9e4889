#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds the minimal host against
# the installed package as a project of its own, renders its triangle, and
# renders a scene with the installed korrender (library and declarations
# found from where they were installed).
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d /tmp/korinstall_test_XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"

# The package as a consumer sees it.
cmake -S "$source/examples/minimal-host" -B "$work/minimal" -DCMAKE_PREFIX_PATH="$work/prefix" \
  > "$work/configure.log"
cmake --build "$work/minimal" > "$work/build.log"
"$work/minimal/minimal-host" "$work/triangle.ppm" 2> "$work/run.log"
if [ -s "$work/run.log" ]; then echo "the minimal host printed:"; cat "$work/run.log"; exit 1; fi
# Pixel (32, 5) from the bottom: N.L = 4 / 4.0848, N.H = 0.99479, Blinn exponent
# 4 * 2^(10 * 0.3) = 32; diffuse (0.8, 0.3, 0.1) * N.L + 0.5 * N.H^32 = (1.21, 0.717, 0.521).
python3 - "$work/triangle.ppm" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
header, pixels = data[:13], data[13:]
assert header == b'P6\n64 64\n255\n', header
def at(x, y):  # y from the bottom row
    i = ((63 - y) * 64 + x) * 3
    return tuple(pixels[i:i + 3])
for (x, y), want in {(32, 5): (255, 183, 133), (32, 32): (255, 204, 153), (2, 60): (5, 5, 13)}.items():
    got = at(x, y)
    assert all(abs(g - w) <= 1 for g, w in zip(got, want)), f'pixel {x},{y}: {got}, expected {want}'
PY

# pkg-config finds the library and the declarations.
lib=$(PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name korshaders.pc)") \
  pkg-config --variable=library korshaders)
[ -f "$lib" ] || { echo "pkg-config names $lib, which is not there"; exit 1; }

# The installed korrender renders with the installed library and declarations.
cat > "$work/scene.json" <<'JSON'
{"camera": {"resolution": [4, 4], "environment": "bg"},
 "shaders": {"bg": {"shader": "kor_color", "params": {"color": [0.25, 0.5, 0.75]}}},
 "instances": {}}
JSON
"$work/prefix/bin/korrender" "$work/scene.json" -o "$work/out.exr" --no-progress
test -f "$work/out.exr"
echo "install test passed"
