#!/usr/bin/env python3
"""Writes still_life.gltf and gingham.png beside this script: a table (one
leg mesh placed by four nodes) with a gingham cloth, a glazed vase, a gold
bowl and three apples (one mesh, three nodes). Y up, metres."""
import base64, json, math, os, struct, zlib

here = os.path.dirname(os.path.abspath(__file__))
buffer = bytearray()
views, accessors, meshes = [], [], []


def add_view(data, target):
    while len(buffer) % 4:
        buffer.append(0)
    views.append({"buffer": 0, "byteOffset": len(buffer), "byteLength": len(data), "target": target})
    buffer.extend(data)
    return len(views) - 1


def add_mesh(name, P, N, UV, I, material):
    attributes = {}
    for key, rows, kind in (("POSITION", P, "VEC3"), ("NORMAL", N, "VEC3"), ("TEXCOORD_0", UV, "VEC2")):
        data = b"".join(struct.pack("<%df" % len(r), *r) for r in rows)
        acc = {"bufferView": add_view(data, 34962), "componentType": 5126, "count": len(rows), "type": kind}
        if key == "POSITION":
            acc["min"] = [min(p[k] for p in P) for k in range(3)]
            acc["max"] = [max(p[k] for p in P) for k in range(3)]
        accessors.append(acc)
        attributes[key] = len(accessors) - 1
    accessors.append({"bufferView": add_view(struct.pack("<%dI" % len(I), *I), 34963),
                      "componentType": 5125, "count": len(I), "type": "SCALAR"})
    meshes.append({"name": name, "primitives": [{"attributes": attributes, "indices": len(accessors) - 1,
                                                 "material": material}]})
    return len(meshes) - 1


def box(sx, sy, sz, uv_scale=1.0):
    P, N, UV, I = [], [], [], []
    for axis in range(3):
        for sign in (1, -1):
            n = [0, 0, 0]
            n[axis] = sign
            u = [0, 0, 0]
            u[(axis + 1) % 3] = 1
            v = [0, 0, 0]
            v[(axis + 2) % 3] = 1
            base = len(P)
            for a, b in ((-1, -1), (1, -1), (1, 1), (-1, 1)):
                p = [n[k] + a * u[k] + b * v[k] for k in range(3)]
                P.append((p[0] * sx / 2, p[1] * sy / 2, p[2] * sz / 2))
                N.append(tuple(n))
                UV.append(((a + 1) / 2 * uv_scale, (b + 1) / 2 * uv_scale))
            quad = (0, 1, 2, 0, 2, 3) if sign > 0 else (0, 2, 1, 0, 3, 2)
            I += [base + k for k in quad]
    return P, N, UV, I


def lathe(profile, segments=64):
    """Revolves (radius, height) points about Y; normals from the profile's slope."""
    P, N, UV, I = [], [], [], []
    rows = len(profile)
    for j, (r, y) in enumerate(profile):
        r0, y0 = profile[max(j - 1, 0)]
        r1, y1 = profile[min(j + 1, rows - 1)]
        dr, dy = r1 - r0, y1 - y0
        length = math.hypot(dr, dy) or 1
        nr, ny = dy / length, -dr / length
        for i in range(segments + 1):
            a = 2 * math.pi * i / segments
            c, s = math.cos(a), math.sin(a)
            P.append((r * c, y, -r * s))
            N.append((nr * c, ny, -nr * s))
            UV.append((i / segments, j / (rows - 1)))
    for j in range(rows - 1):
        for i in range(segments):
            a = j * (segments + 1) + i
            b, c, d = a + 1, a + segments + 1, a + segments + 2
            I += [a, b, d, a, d, c]
    return P, N, UV, I


def pbr(name, colour, roughness, metallic=0.0, texture=None):
    m = {"name": name, "pbrMetallicRoughness": {"baseColorFactor": colour + [1], "roughnessFactor": roughness,
                                                 "metallicFactor": metallic}}
    if texture is not None:
        m["pbrMetallicRoughness"]["baseColorTexture"] = {"index": texture}
    return m


materials = [pbr("walnut", [0.32, 0.17, 0.08], 0.55), pbr("gingham", [1, 1, 1], 0.9, texture=0),
             pbr("glaze", [0.08, 0.22, 0.55], 0.2), pbr("gold", [1.0, 0.78, 0.34], 0.3, 1.0),
             pbr("apple", [0.62, 0.05, 0.03], 0.45)]
top = add_mesh("top", *box(1.4, 0.04, 0.8), 0)
leg = add_mesh("leg", *box(0.05, 0.71, 0.05), 0)
cloth = add_mesh("cloth", *box(0.9, 0.004, 0.9, uv_scale=3), 1)
vase_profile = [(0.0, 0.0), (0.07, 0.0), (0.1, 0.06), (0.115, 0.14), (0.1, 0.22), (0.06, 0.29),
                (0.045, 0.33), (0.055, 0.36), (0.05, 0.365)]
vase = add_mesh("vase", *lathe(vase_profile), 2)
bowl_profile = [(0.0, 0.0), (0.06, 0.0), (0.12, 0.04), (0.16, 0.09), (0.165, 0.095), (0.15, 0.095),
                (0.11, 0.05), (0.0, 0.012)]
bowl = add_mesh("bowl", *lathe(bowl_profile), 3)
apple_profile = [(0.04 * math.sin(math.pi * t / 16) * (1 + 0.15 * math.sin(math.pi * t / 16)),
                  0.04 * (1 - math.cos(math.pi * t / 16))) for t in range(17)]
apple = add_mesh("apple", *lathe(apple_profile, 32), 4)

nodes = [{"name": "table", "translation": [0, 0.73, 0], "children": list(range(1, 9))},
         {"name": "top", "mesh": top}]
for k, (x, z) in enumerate(((-0.64, -0.34), (0.64, -0.34), (-0.64, 0.34), (0.64, 0.34))):
    nodes.append({"name": "leg%d" % (k + 1), "mesh": leg, "translation": [x, -0.375, z]})
nodes.append({"name": "cloth", "mesh": cloth, "translation": [0.1, 0.022, 0],
              "rotation": [0, math.sin(math.radians(5)), 0, math.cos(math.radians(5))]})
nodes.append({"name": "vase", "mesh": vase, "translation": [-0.35, 0.024, 0.12]})
nodes.append({"name": "bowl", "mesh": bowl, "translation": [0.2, 0.024, 0.0], "children": [9, 10, 11]})
for k, (x, y, z, turn) in enumerate(((-0.045, 0.012, 0.02, 0), (0.05, 0.012, -0.02, 40),
                                     (0.0, 0.06, 0.0, 75))):
    a = math.radians(turn) / 2
    nodes.append({"name": "apple%d" % (k + 1), "mesh": apple, "translation": [x, y, z],
                  "rotation": [0, math.sin(a), 0, math.cos(a)]})

# Gingham: red and white checks, 16 x 16 texels.
raw = b""
for y in range(16):
    raw += b"\0"
    for x in range(16):
        k = ((x // 4) % 2) + ((y // 4) % 2)
        raw += bytes(((235, 232, 225), (200, 120, 115), (170, 30, 30))[k])


def chunk(t, d):
    return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xFFFFFFFF)


png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 16, 16, 8, 2, 0, 0, 0)) +
       chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
open(os.path.join(here, "gingham.png"), "wb").write(png)
doc = {"asset": {"version": "2.0", "generator": "make_still_life.py"}, "scene": 0,
       "scenes": [{"nodes": [0]}], "nodes": nodes, "meshes": meshes, "materials": materials,
       "textures": [{"source": 0, "sampler": 0}], "samplers": [{"magFilter": 9728}],
       "images": [{"uri": "gingham.png"}], "accessors": accessors, "bufferViews": views,
       "buffers": [{"byteLength": len(buffer)}]}
open(os.path.join(here, "still_life.bin"), "wb").write(buffer)
doc["buffers"][0]["uri"] = "still_life.bin"
open(os.path.join(here, "still_life.gltf"), "w").write(json.dumps(doc, indent=1) + "\n")
print("still_life.gltf: %d meshes, %d nodes, %d bytes of buffer" % (len(meshes), len(nodes), len(buffer)))
