// A model read by the import module: binary meshes, the nodes that place
// them and the materials written as scene entries. The module
// (libkorhost_import.so, the asset importer's libraries with it) is loaded
// by libkorhost the first time a scene imports a model.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include "session.h"

namespace korhost {

// One mesh placed by one node: what becomes an instance.
struct ModelPart {
    int mesh = 0;
    std::string node;
    float to_model[16];  // node to model space, row vectors, metres, model's own up
};

struct ImportedModel {
    std::string file;
    std::vector<Mesh> meshes;
    std::vector<bool> taken;
    std::vector<std::string> mesh_names;
    std::vector<int> mesh_material;
    std::vector<std::string> material_names;  // scene names of the translated materials
    std::string prefix;                       // of every scene entry made from the model
    std::vector<ModelPart> parts;
    int up_axis = 1, up_sign = 1;  // the model's up: 0 X, 1 Y, 2 Z
    json materials;                // "materials", "shaders", "images" entries, names relative
    std::vector<std::string> temp_files;  // embedded textures written out for the image reader
    std::vector<std::string> warnings;    // what was left out, for the log
    ~ImportedModel() {
        for (const std::string &f : temp_files) unlink(f.c_str());
    }
};

// The interface of the import module, exported as korhost_import_module().
struct ImportModule {
    int abi;  // kImportModuleAbi
    // Reads the model at `path` into `model` (file and prefix set by the
    // caller); false with the reason, naming the model as `model.prefix`.
    bool (*read)(const std::string &path, ImportedModel &model, std::string &error);
    // Whether the importer reads files with extension `ext` (no dot).
    bool (*reads_extension)(const std::string &ext);
};
constexpr int kImportModuleAbi = 1;
constexpr const char *kImportModuleFile = "libkorhost_import.so";

}  // namespace korhost
