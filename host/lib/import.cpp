// Model import: the import module reads the file into meshes, a node
// hierarchy and materials; the meshes stay binary (the loader takes them
// by index), while the hierarchy and the materials are written into the
// parsed scene as ordinary entries, so that they are checked, named in
// messages and rendered exactly like hand-written ones.
#include "import.h"

#include <cmath>
#include <cstring>

#include "image_file.h"
#include "import_model.h"
#include "jsonloc.h"
#include "module.h"
#include "scene_load.h"

namespace korhost {

namespace {

ModuleSpec import_spec{kImportModuleFile, "KORHOST_IMPORT_MODULE", "korhost_import_module",
                       kImportModuleAbi, "import module"};

// The module, loaded on the first call; null with `why` when it cannot be.
const ImportModule *import_module(std::string &why) {
    return static_cast<const ImportModule *>(load_module(import_spec, why));
}

std::string where(const Session &s, const std::string &ptr) {
    const TextPosition p = locate(s.scene_text, ptr);
    std::string w = s.scene_file;
    if (p.line) w += ":" + std::to_string(p.line) + ":" + std::to_string(p.column);
    return w;
}

// The quarter turn (x, y, z) -> (x, -z, y) that stands +Y up along +Z.
constexpr float kYUpToZUp[16] = {1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1};

// Reads the model at `path` (once per render); `given` is its name in the
// scene, which messages and the names of its entries use.
ImportedModel &read_model(Session &s, const std::string &path, const std::string &given) {
    auto known = s.models.find(path);
    if (known != s.models.end()) return *known->second;
    auto model = std::make_shared<ImportedModel>();
    model->file = path;
    model->prefix = given;
    std::string why;
    const ImportModule *importer = import_module(why);
    if (!importer) throw Error(given + ": cannot import the model: " + why);
    if (!importer->read(path, *model, why)) throw Error(why);
    for (const std::string &w : model->warnings) messagef(kWarning, "%s", w.c_str());
    s.models[path] = model;
    return *model;
}

// Model space to the scene's own space: the model's up turned to the
// scene's (Y or Z).
void up_turn(const ImportedModel &model, bool scene_y_up, float *m) {
    mat_identity(m);
    // First the model's up onto +Y.
    if (model.up_axis == 2) {
        // (x, y, z) -> (x, z, -y), the inverse of the Y-to-Z turn
        mat_invert(m, kYUpToZUp);
    } else if (model.up_axis == 0) {
        const float x_to_y[16] = {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
        memcpy(m, x_to_y, sizeof x_to_y);
    }
    if (model.up_sign < 0) {
        float flip[16], out[16];
        mat_identity(flip);
        flip[5] = -1;
        flip[0] = -1;
        mat_mul(out, m, flip);
        memcpy(m, out, sizeof out);
    }
    if (!scene_y_up) {
        float out[16];
        mat_mul(out, m, kYUpToZUp);
        memcpy(m, out, sizeof out);
    }
}

json matrix_json(const float *m) {
    json a = json::array();
    for (int i = 0; i < 16; ++i) a.push_back(m[i]);
    return a;
}

}  // namespace

bool is_model_file(const std::string &path) {
    const std::string ext = file_extension(path);
    if (ext.empty() || ext == "json") return false;
    std::string why;
    const ImportModule *importer = import_module(why);
    return importer && importer->reads_extension(ext);
}

bool is_model_object(const json &object) {
    if (!object.is_object() || !object.contains("file") || !object["file"].is_string())
        return false;
    if (object.contains("import") && object["import"].is_boolean() && object["import"].get<bool>())
        return true;
    return file_extension(object["file"].get<std::string>()) != "obj";
}

bool take_model_mesh(Session &s, const std::string &file, int index, Mesh &mesh) {
    auto it = s.models.find(file);
    if (it == s.models.end() || index < 0 ||
        static_cast<size_t>(index) >= it->second->meshes.size() || it->second->taken[index])
        return false;
    mesh = std::move(it->second->meshes[index]);
    it->second->taken[index] = true;
    return true;
}

void expand_models(Session &s, json &root) {
    if (!root.is_object()) return;
    const bool y_up = root.contains("up") && root["up"] == "y";
    // The objects (named, or inline in an instance) that are models.
    struct Use {
        ImportedModel *model;
        json spec;
    };
    std::map<std::string, Use> named;
    auto load = [&](const json &spec, const std::string &ptr, const std::string &what) {
        const std::string given = spec["file"].get<std::string>();
        const std::string path = join_path(s.scene_dir, given);
        try {
            return &read_model(s, path, given);
        } catch (const Error &e) {
            throw Error(where(s, ptr + "/file") + ": " + what + ": " + e.what());
        }
    };
    if (root.contains("objects") && root["objects"].is_object()) {
        json &objects = root["objects"];
        for (auto it = objects.begin(); it != objects.end();) {
            if (!is_model_object(it.value())) {
                ++it;
                continue;
            }
            const std::string ptr = "/objects/" + pointer_token(it.key());
            named[it.key()] = {load(it.value(), ptr, "object '" + it.key() + "'"), it.value()};
            it = objects.erase(it);
        }
    }
    if (!root.contains("instances") || !root["instances"].is_object()) return;
    json &instances = root["instances"];
    json added = json::object();
    std::map<ImportedModel *, bool> merged;
    auto ensure = [&](const std::string &key) -> json & {
        if (!root.contains(key) || !root[key].is_object()) root[key] = json::object();
        return root[key];
    };
    for (auto it = instances.begin(); it != instances.end();) {
        const json &spec = it.value();
        if (!spec.is_object() || !spec.contains("object")) {
            ++it;
            continue;
        }
        const json &ob = spec["object"];
        const std::string ptr = "/instances/" + pointer_token(it.key());
        Use use{nullptr, json()};
        if (ob.is_string() && named.count(ob.get<std::string>()))
            use = named[ob.get<std::string>()];
        else if (is_model_object(ob))
            use = {load(ob, ptr + "/object", "instance '" + it.key() + "'"), ob};
        if (!use.model) {
            ++it;
            continue;
        }
        ImportedModel &m = *use.model;
        if (!merged[&m]) {
            merged[&m] = true;
            for (const char *section : {"materials", "shaders", "images"})
                for (auto &e : m.materials[section].items()) {
                    ensure(section)[e.key()] = e.value();
                    messagef(kDebug, "%s: %s '%s'", m.file.c_str(), section, e.key().c_str());
                }
            for (size_t k = 0; k < m.meshes.size(); ++k) {
                json o = {{"model", m.file}, {"model_mesh", k}};
                for (const char *key : {"data", "label"})
                    if (use.spec.contains(key)) o[key] = use.spec[key];
                ensure("objects")[m.prefix + "/mesh" + std::to_string(k) + "_" + m.mesh_names[k]] =
                    o;
            }
        }
        float turn[16];
        up_turn(m, y_up, turn);
        for (size_t p = 0; p < m.parts.size(); ++p) {
            const ModelPart &part = m.parts[p];
            json inst = spec;
            inst["object"] =
                m.prefix + "/mesh" + std::to_string(part.mesh) + "_" + m.mesh_names[part.mesh];
            float node[16];
            mat_mul(node, part.to_model, turn);
            inst["node_transform"] = matrix_json(node);
            const int material = m.mesh_material[part.mesh];
            if (!spec.contains("material") && material >= 0 &&
                static_cast<size_t>(material) < m.material_names.size())
                inst["material"] = m.material_names[material];
            added[it.key() + "/" + part.node + "/" + std::to_string(p)] = inst;
        }
        it = instances.erase(it);
    }
    for (auto &e : added.items()) instances[e.key()] = e.value();
}

std::string import_scene_text(Session &s, const std::string &model_path) {
    s.scene_file = model_path;
    s.scene_dir = dir_of(model_path);
    const size_t slash = model_path.find_last_of('/');
    const std::string given =
        slash == std::string::npos ? model_path : model_path.substr(slash + 1);
    ImportedModel &m = read_model(s, join_path(s.scene_dir, given), model_path);
    // The bounds of every placed mesh, in the Z-up world.
    float turn[16];
    up_turn(m, false, turn);
    Vector3 lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
    for (const ModelPart &part : m.parts) {
        float to_world[16];
        mat_mul(to_world, part.to_model, turn);
        for (const Vector3 &p : m.meshes[part.mesh].P) {
            const Vector3 w = xform_point(to_world, p);
            lo = {std::min(lo.x, w.x), std::min(lo.y, w.y), std::min(lo.z, w.z)};
            hi = {std::max(hi.x, w.x), std::max(hi.y, w.y), std::max(hi.z, w.z)};
        }
    }
    if (!(lo.x <= hi.x)) throw Error(model_path + ": the model places no mesh in its scene");
    const Vector3 centre = (lo + hi) * 0.5f;
    const Vector3 half = (hi - lo) * 0.5f;
    const float radius = std::max(std::sqrt(dot(half, half)), 1e-3f);
    // The view from the front (-Y), to the right and above; the film is
    // as wide as the focal distance (a 53 degree view across), and the
    // bounding sphere fits the narrower (vertical, at 4:3) half angle.
    const Vector3 view = normalize({0.55f, -1.0f, 0.45f});
    const float half_angle = std::atan(0.5f * 0.75f);
    const Vector3 eye = centre + view * (1.1f * radius / std::sin(half_angle));
    auto vec = [](Vector3 v) { return json::array({v.x, v.y, v.z}); };
    json scene = {
        {"camera",
         {{"resolution", {640, 480}},
          {"position", vec(eye)},
          {"look_at", vec(centre)},
          {"clip", {radius * 1e-3f, radius * 100}},
          {"environment", "surround"}}},
        {"options", {{"samples", 4}}},
        {"shaders",
         {{"surround", {{"shader", "kor_color"}, {"params", {{"color", {0.18, 0.18, 0.2}}}}}},
          {"key",
           {{"shader", "kor_DirectionalLight"},
            {"params", {{"multiplier", 1.0}, {"shadowOn", true}, {"overshoot", true}}}}},
          {"fill",
           {{"shader", "kor_DirectionalLight"},
            {"params", {{"multiplier", 0.35}, {"overshoot", true}, {"affectSpecular", false}}}}}}},
        {"lights",
         {{"key",
           {{"shader", "key"},
            {"type", "directional"},
            {"origin", vec(centre + normalize({0.6f, -0.5f, 1}) * (3 * radius))},
            {"direction", vec(normalize({-0.6f, 0.5f, -1}))}}},
          {"fill",
           {{"shader", "fill"},
            {"type", "directional"},
            {"origin", vec(centre + normalize({-1, -0.6f, 0.3f}) * (3 * radius))},
            {"direction", vec(normalize({1, 0.6f, -0.3f}))}}}}},
        {"instances", {{"model", {{"object", {{"file", given}, {"import", true}}}}}}}};
    return scene.dump(1);
}

}  // namespace korhost
