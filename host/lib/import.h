// Models from other applications (glTF, Collada, PLY, OBJ with its
// materials, and whatever else the asset importer reads): their meshes,
// node hierarchy and materials become scene objects, instances and
// standard materials before the scene is loaded.
#pragma once

#include <string>

#include "session.h"

namespace korhost {

// Whether a scene object names a model to import: a "file" that is not an
// OBJ, or any file with "import": true. OBJ files otherwise stay one mesh
// read by the OBJ reader, with the instance's material.
bool is_model_object(const json &object);

// Whether `path` names a file the asset importer reads (by its extension).
bool is_model_file(const std::string &path);

// Replaces, in the parsed scene, every model object by one object per mesh
// of the model, and every instance of it by one instance per mesh of each
// node, placed by the node's transform (in metres, turned to the scene's up
// axis) before the instance's own; instances without a "material" take the
// model's materials, translated to the standard material. Throws Error
// naming the scene file, the object and the problem.
void expand_models(Session &s, json &root);

// The mesh `index` of the model `file` read by expand_models, moved out of
// the importer's keeping into `mesh`; false when there is none.
bool take_model_mesh(Session &s, const std::string &file, int index, Mesh &mesh);

// The scene of a quick look at a model (korrender --import): the model at
// the origin with its materials, a camera framing its bounds from the front
// and above, a key and a fill light and a grey surround. Throws Error.
std::string import_scene_text(Session &s, const std::string &model);

}  // namespace korhost
