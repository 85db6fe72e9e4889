#!/usr/bin/env bash
# Memory and load time of large and instanced geometry:
#  1. peak memory of one and of 100 instances of a 65 024-triangle sphere
#     (instances share the mesh: 100 should cost at most 1.3 times one);
#  2. a 5 005 448-triangle height field imported from a binary glTF file,
#     rendered at 640 x 360 on two threads: load time and peak memory.
#   bench/import_memory.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
korrender="$build/host/korrender"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work" <<'EOF'
import array, json, math, struct, sys
work = sys.argv[1]

def sphere_scene(count):
    side = math.ceil(math.sqrt(count))
    inst = {}
    for i in range(count):
        inst["ball%d" % i] = {"object": "ball", "material": "grey",
                              "translate": [(i % side) * 2.5, (i // side) * 2.5, 0]}
    return {"camera": {"resolution": [320, 180], "position": [12, -30, 20], "look_at": [12, 12, 0]},
            "shaders": {"grey": {"shader": "kor_color", "params": {"color": [0.6, 0.6, 0.6]}}},
            "materials": {"grey": {"shader": "grey"}},
            "objects": {"ball": {"primitive": "sphere", "radius": 1, "segments": 256}},
            "instances": inst}

for n in (1, 100):
    json.dump(sphere_scene(n), open("%s/spheres%d.json" % (work, n), "w"))

# A height field of n x n vertices in glTF's XZ plane (Y up).
n = 1583
pos = array.array("f")
for j in range(n):
    z = j / (n - 1) * 10 - 5
    for i in range(n):
        x = i / (n - 1) * 10 - 5
        pos.extend((x, 0.3 * math.sin(3 * x) * math.cos(2 * z), z))
idx = array.array("I")
for j in range(n - 1):
    row = j * n
    for i in range(n - 1):
        a = row + i
        idx.extend((a, a + n, a + 1, a + 1, a + n, a + n + 1))
pos_bytes, idx_bytes = pos.tobytes(), idx.tobytes()
binary = pos_bytes + idx_bytes
doc = {"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
       "nodes": [{"mesh": 0}],
       "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "indices": 1}]}],
       "buffers": [{"byteLength": len(binary)}],
       "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": len(pos_bytes)},
                       {"buffer": 0, "byteOffset": len(pos_bytes), "byteLength": len(idx_bytes)}],
       "accessors": [{"bufferView": 0, "componentType": 5126, "count": n * n, "type": "VEC3",
                      "min": [-5, -0.3, -5], "max": [5, 0.3, 5]},
                     {"bufferView": 1, "componentType": 5125, "count": len(idx), "type": "SCALAR"}]}
text = json.dumps(doc).encode()
text += b" " * (-len(text) % 4)
with open("%s/field.glb" % work, "wb") as f:
    f.write(struct.pack("<III", 0x46546C67, 2, 12 + 8 + len(text) + 8 + len(binary)))
    f.write(struct.pack("<II", len(text), 0x4E4F534A) + text)
    f.write(struct.pack("<II", len(binary), 0x004E4942) + binary)
print("triangles in the height field:", len(idx) // 3)
EOF

run() {  # prints "peak_kb seconds_total render_line"
    local log="$work/time.txt"
    local line
    line=$(/usr/bin/time -f "%M %e" -o "$log" "$korrender" "$@" --no-progress --benchmark)
    echo "$(cat "$log") $line"
}
one=$(run "$work/spheres1.json" -o "$work/one.png" --threads 2)
hundred=$(run "$work/spheres100.json" -o "$work/hundred.png" --threads 2)
echo "one instance:   peak ${one%% *} kB"
echo "100 instances:  peak ${hundred%% *} kB"
awk -v a="${one%% *}" -v b="${hundred%% *}" 'BEGIN { printf "ratio: %.2f (at most 1.3)\n", b / a }'
field=$(run --import "$work/field.glb" -o "$work/field.png" --resolution 640x360 --threads 2)
read -r peak total rest <<<"$field"
render=$(echo "$rest" | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p')
echo "5M-triangle glTF at 640x360, 2 threads: peak ${peak} kB, ${total} s in all, ${render} s rendering"
awk -v t="$total" -v r="$render" 'BEGIN { printf "load (import, mesh, acceleration structure, image out): %.2f s\n", t - r }'
