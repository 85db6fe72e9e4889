// Entry points of the scene loader below load_scene, and the limits it
// enforces: what the fuzz targets and the corpus replay drive directly.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace korhost {

// Limits on what one scene may ask for; past them the loader refuses the
// scene with an error instead of running out of memory or stack.
constexpr int kMaxResolution = 32768;                // pixels along either side
constexpr long long kMaxPixels = 1LL << 27;          // pixels of the image
constexpr long long kMaxMeshTriangles = 50'000'000;  // triangles of one object
constexpr long long kMaxMeshVertices = 150'000'000;  // vertices of one object
constexpr int kMaxSphereSegments = 4096;             // segments of a sphere primitive
constexpr int kMaxLightSamples = 1024;               // area light samples along an edge
constexpr int kMaxRayDepth = 64;                     // reflection, refraction, trace depths
constexpr int kMaxConnectionDepth = 256;             // shaders evaluated inside each other
constexpr int kMaxJsonDepth = 128;                   // nesting of the scene's JSON
constexpr long long kMaxImagePixels = 1LL << 28;     // pixels of one texture or image
constexpr int kMaxImageSide = 65536;                 // pixels along either side of one

// Loads the scene `text` as if read from the file `path` (whose folder
// relative paths start from). Throws Error.
void load_scene_text(Session &s, const std::string &path, std::string text);

// Reads the OBJ text `text` (named `name` in messages) into `mesh`: one
// vertex per distinct (position, texture coordinate, normal) of the faces'
// corners, normals and one texture space when the file has them. Throws Error("NAME:LINE: problem") on a face index past the
// vertices, a coordinate out of range or a mesh past the limits; the OBJ
// reader's own warnings are added to `warnings`, each naming the file.
void read_obj_mesh(const std::string &text, const std::string &name, Mesh &mesh,
                   std::vector<std::string> &warnings);

// Refuses an output file that is also written as a frame buffer (the
// frame buffer would silently overwrite the image). Throws Error.
void check_output_files(const Session &s);

}  // namespace korhost
