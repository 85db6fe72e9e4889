// The entry points the fuzz targets and the corpus replay feed: each takes
// one input and must return without crashing, hanging or leaking, whatever
// the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korfuzz {

// A scene file's text: loaded completely (declarations, shader library,
// records, meshes, textures), nothing rendered.
int scene(const uint8_t *data, size_t size);
// An OBJ mesh file.
int obj(const uint8_t *data, size_t size);
// An image file (its first byte picks the format, the second the filter),
// read as a texture and looked up through the texture services.
int image(const uint8_t *data, size_t size);
// A photometric (IES) light profile file, read and sampled in every
// direction.
int profile(const uint8_t *data, size_t size);

// Loads what every input shares (declarations, the shader library, the
// image format plugins) before the first input.
void prepare();

// The entry point of a target by name (scene, obj, image, profile); null if
// unknown.
using Entry = int (*)(const uint8_t *, size_t);
Entry entry(const std::string &target);

}  // namespace korfuzz
