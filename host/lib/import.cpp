// Model import: the asset importer reads the file into meshes, a node
// hierarchy and materials; the meshes stay binary (the loader takes them
// by index), while the hierarchy and the materials are written into the
// parsed scene as ordinary entries, so that they are checked, named in
// messages and rendered exactly like hand-written ones.
#include "import.h"

#include <assimp/GltfMaterial.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <assimp/Importer.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "image_file.h"
#include "jsonloc.h"
#include "scene_load.h"

namespace korhost {

namespace {

// One mesh placed by one node: what becomes an instance.
struct Part {
    int mesh = 0;
    std::string node;
    float to_model[16];  // node to model space, row vectors, metres, model's own up
};

}  // namespace

struct ImportedModel {
    std::string file;
    std::vector<Mesh> meshes;
    std::vector<bool> taken;
    std::vector<std::string> mesh_names;
    std::vector<int> mesh_material;
    std::vector<std::string> material_names;  // scene names of the translated materials
    std::string prefix;                       // of every scene entry made from the model
    std::vector<Part> parts;
    int up_axis = 1, up_sign = 1;  // the model's up: 0 X, 1 Y, 2 Z
    json materials;                // "materials", "shaders", "images" entries, names relative
    std::vector<std::string> temp_files;  // embedded textures written out for the image reader
    ~ImportedModel() {
        for (const std::string &f : temp_files) unlink(f.c_str());
    }
};

namespace {

std::string folder_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string joined(const std::string &dir, const std::string &file) {
    return file.empty() || file[0] == '/' ? file : dir + "/" + file;
}

// Matrices of the importer are column-vector, row-major; ours are row
// vectors, so an importer matrix read column by column is ours.
void from_importer(const aiMatrix4x4 &a, float *m) {
    const float rows[4][4] = {{a.a1, a.a2, a.a3, a.a4},
                              {a.b1, a.b2, a.b3, a.b4},
                              {a.c1, a.c2, a.c3, a.c4},
                              {a.d1, a.d2, a.d3, a.d4}};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m[r * 4 + c] = rows[c][r];
}

void walk(const aiNode *node, const aiMatrix4x4 &parent, const std::string &path,
          std::vector<Part> &parts) {
    const aiMatrix4x4 global = parent * node->mTransformation;
    std::string name = node->mName.length ? node->mName.C_Str() : "node";
    const std::string here = path.empty() ? name : path + "/" + name;
    for (unsigned k = 0; k < node->mNumMeshes; ++k) {
        Part p;
        p.mesh = static_cast<int>(node->mMeshes[k]);
        p.node = here;
        from_importer(global, p.to_model);
        parts.push_back(p);
    }
    for (unsigned c = 0; c < node->mNumChildren; ++c) walk(node->mChildren[c], global, here, parts);
}

void convert_mesh(const aiMesh *in, const std::string &file, Mesh &m) {
    if (static_cast<long long>(in->mNumVertices) > kMaxMeshVertices ||
        static_cast<long long>(in->mNumFaces) > kMaxMeshTriangles)
        throw Error(file + ": mesh '" + std::string(in->mName.C_Str()) +
                    "' is past the limits of one object (" + std::to_string(kMaxMeshTriangles) +
                    " triangles)");
    m.P.reserve(in->mNumVertices + 1);
    for (unsigned i = 0; i < in->mNumVertices; ++i) {
        const aiVector3D &v = in->mVertices[i];
        if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z))
            throw Error(file + ": mesh '" + std::string(in->mName.C_Str()) + "' vertex " +
                        std::to_string(i) + " is not a finite point");
        m.P.push_back({v.x, v.y, v.z});
    }
    if (in->mNormals) {
        m.N.reserve(in->mNumVertices);
        for (unsigned i = 0; i < in->mNumVertices; ++i) {
            const aiVector3D &n = in->mNormals[i];
            m.N.push_back(std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z)
                              ? Vector3{n.x, n.y, n.z}
                              : Vector3{0, 0, 0});
        }
    }
    for (unsigned c = 0; c < AI_MAX_NUMBER_OF_TEXTURECOORDS && in->mTextureCoords[c]; ++c) {
        if (c >= static_cast<unsigned>(kMaxTextureSpaces)) break;
        m.tex.emplace_back();
        m.tex.back().reserve(in->mNumVertices);
        for (unsigned i = 0; i < in->mNumVertices; ++i) {
            const aiVector3D &t = in->mTextureCoords[c][i];
            m.tex.back().push_back({t.x, t.y, t.z});
        }
    }
    m.tri.reserve(3 * static_cast<size_t>(in->mNumFaces));
    for (unsigned f = 0; f < in->mNumFaces; ++f) {
        const aiFace &face = in->mFaces[f];
        if (face.mNumIndices != 3) continue;  // points and lines are not rendered
        for (int k = 0; k < 3; ++k) m.tri.push_back(face.mIndices[k]);
    }
}

std::string clean_name(const std::string &name, const std::string &fallback) {
    std::string out;
    for (char c : name) out += (c == '/' || static_cast<unsigned char>(c) < 32) ? '_' : c;
    return out.empty() ? fallback : out;
}

json color_json(const aiColor4D &c) {
    return json::array({c.r, c.g, c.b});
}

// The Blinn glossiness g whose exponent 4 * 2^(10 g) is `exponent`.
float glossiness_of_exponent(float exponent) {
    if (!(exponent > 4)) return 0;
    return std::min(1.0f, std::log2(exponent / 4) / 10);
}

// A microfacet roughness (glTF's, perceptual: alpha = r^2) as the
// exponent of the equivalent Blinn-Phong lobe, 2 / alpha^2 - 2.
float exponent_of_roughness(float r) {
    const float a = std::max(r * r, 1e-3f);
    return 2 / (a * a) - 2;
}

class MaterialWriter {
  public:
    MaterialWriter(const aiScene *scene, ImportedModel &model, const std::string &dir)
        : scene_(scene), model_(model), dir_(dir) {}

    void write(unsigned index) {
        const aiMaterial *mat = scene_->mMaterials[index];
        aiString n;
        mat->Get(AI_MATKEY_NAME, n);
        base_ = model_.prefix + "/material" + std::to_string(index) + "_" +
                clean_name(n.C_Str(), "unnamed");
        maps_ = json::object();
        json illum = json::object();
        float metallic = 0;
        const bool pbr = mat->Get(AI_MATKEY_METALLIC_FACTOR, metallic) == AI_SUCCESS;
        aiColor4D diffuse(0.8f, 0.8f, 0.8f, 1), specular(1, 1, 1, 1), emissive(0, 0, 0, 1);
        if (mat->Get(AI_MATKEY_BASE_COLOR, diffuse) != AI_SUCCESS)
            mat->Get(AI_MATKEY_COLOR_DIFFUSE, diffuse);
        mat->Get(AI_MATKEY_COLOR_SPECULAR, specular);
        mat->Get(AI_MATKEY_COLOR_EMISSIVE, emissive);
        float exponent = 0, strength = 1, roughness = 1, opacity = 1;
        bool has_roughness = mat->Get(AI_MATKEY_ROUGHNESS_FACTOR, roughness) == AI_SUCCESS;
        mat->Get(AI_MATKEY_SHININESS, exponent);
        mat->Get(AI_MATKEY_SHININESS_STRENGTH, strength);
        mat->Get(AI_MATKEY_OPACITY, opacity);
        if (pbr && has_roughness) exponent = exponent_of_roughness(roughness);
        const bool metal = pbr && metallic >= 0.5f;
        illum["diffuse"] = color_json(diffuse);
        illum["ambient"] = color_json(diffuse);
        illum["glossiness"] = metal ? 1 - roughness : glossiness_of_exponent(exponent);
        if (metal) {
            illum["specularLevel"] = 1;
            // A metal is what it reflects: traced reflections, tinted by the
            // metal model with its colour, fainter as the surface roughens.
            const std::string trace = base_ + "/reflection";
            shaders()[trace] = {{"shader", "kor_Raytrace"}, {"params", json::object()}};
            maps_["reflection"] = {{"map", trace},
                                   {"amount", std::clamp(1 - roughness, 0.0f, 1.0f)}};
        } else if (pbr) {
            // A dielectric reflects 4 % head-on; the lobe's peak over a
            // white diffuse grows as (n + 8) / 8 for a normalised lobe.
            illum["specular"] = json::array({1, 1, 1});
            illum["specularLevel"] = std::min(9.99f, 0.04f * (exponent + 8) / 8);
        } else {
            illum["specular"] = color_json(specular);
            illum["specularLevel"] = exponent > 0 ? std::min(9.99f, std::max(0.0f, strength)) : 0;
        }
        float emissive_strength = 1;
        mat->Get(AI_MATKEY_EMISSIVE_INTENSITY, emissive_strength);
        if (emissive.r > 0 || emissive.g > 0 || emissive.b > 0) {
            illum["useSelfIllumColor"] = true;
            illum["selfIllumColor"] = json::array({std::min(1.0f, emissive.r * emissive_strength),
                                                   std::min(1.0f, emissive.g * emissive_strength),
                                                   std::min(1.0f, emissive.b * emissive_strength)});
        }
        // Textures.
        const std::string base_map = texture(mat, aiTextureType_BASE_COLOR, "diffuse", json{});
        if (base_map.empty()) texture(mat, aiTextureType_DIFFUSE, "diffuse", json{});
        texture(mat, aiTextureType_SPECULAR, "specular", json{});
        if (!texture(mat, aiTextureType_EMISSIVE, "selfIllumination", json{}).empty())
            illum["useSelfIllumColor"] = true;
        bool cutout = !texture(mat, aiTextureType_OPACITY, "opacity", json{}).empty();
        aiString alpha_mode;
        if (!cutout && mat->Get(AI_MATKEY_GLTF_ALPHAMODE, alpha_mode) == AI_SUCCESS &&
            std::string(alpha_mode.C_Str()) != "OPAQUE") {
            // The base colour's alpha, read as a mono map.
            cutout =
                !texture(mat, aiTextureType_BASE_COLOR, "opacity", json{{"monoChannel", 1}})
                     .empty() ||
                !texture(mat, aiTextureType_DIFFUSE, "opacity", json{{"monoChannel", 1}}).empty();
            if (diffuse.a < 1) opacity = diffuse.a;
        }
        float bump = 1;
        mat->Get(AI_MATKEY_BUMPSCALING, bump);
        const std::string normal_map = texture(mat, aiTextureType_NORMALS, "", json{});
        if (!normal_map.empty()) {
            const std::string name = base_ + "/normal";
            shaders()[name] = {{"shader", "kor_GNormal"}, {"params", {{"normalMap", normal_map}}}};
            maps_["bump"] = {{"map", name}, {"amount", 1}};
        } else {
            texture(mat, aiTextureType_HEIGHT, "bump", json{}, bump);
        }
        const std::string model_name = base_ + "/model";
        shaders()[model_name] = {
            {"shader", metal ? "kor_base_MetalIllumination" : "kor_base_BlinnIllumination"},
            {"params", illum}};
        json params = {{"illumination", model_name}, {"opacity", std::clamp(opacity, 0.0f, 1.0f)}};
        int two_sided = 0;
        if (mat->Get(AI_MATKEY_TWOSIDED, two_sided) == AI_SUCCESS && two_sided)
            params["twoSided"] = true;
        if (!maps_.empty()) params["maps"] = maps_;
        shaders()[base_] = {{"shader", "kor_StandardMaterial"}, {"params", params}};
        json entry = {{"shader", base_}};
        // See-through surfaces filter the shadows they cast.
        if (cutout || opacity < 1) entry["shadow"] = base_;
        model_.materials["materials"][base_] = entry;
        model_.material_names.push_back(base_);
    }

  private:
    json &shaders() { return model_.materials["shaders"]; }

    // The texture of `type` as a bitmap map through a UV generator, in the
    // standard material's `slot` (none when empty); its name, or "" when
    // the material has no such texture.
    std::string texture(const aiMaterial *mat, aiTextureType type, const std::string &slot,
                        const json &bitmap_params, float amount = 1) {
        if (mat->GetTextureCount(type) == 0) return "";
        aiString path;
        unsigned uv_index = 0;
        aiTextureMapMode modes[2] = {aiTextureMapMode_Wrap, aiTextureMapMode_Wrap};
        if (mat->GetTexture(type, 0, &path, nullptr, &uv_index, nullptr, nullptr, modes) !=
            AI_SUCCESS)
            return "";
        const std::string image = image_of(path.C_Str());
        if (image.empty()) return "";
        const std::string name = base_ + "/" + (slot.empty() ? "normal" : slot) + "_map";
        json uv = {{"mapChannel", static_cast<int>(uv_index) + 1}};
        aiUVTransform t;
        if (mat->Get(AI_MATKEY_UVTRANSFORM(type, 0), t) == AI_SUCCESS) {
            // u' = u s + t against the generator's (u - 0.5 - offset) s + 0.5.
            const float su = t.mScaling.x != 0 ? t.mScaling.x : 1,
                        sv = t.mScaling.y != 0 ? t.mScaling.y : 1;
            uv["uTiling"] = su;
            uv["vTiling"] = sv;
            uv["uOffset"] = (0.5f - 0.5f * su - t.mTranslation.x) / su;
            uv["vOffset"] = (0.5f - 0.5f * sv - t.mTranslation.y) / sv;
            if (t.mRotation != 0) uv["wAngle"] = -t.mRotation * 180 / static_cast<float>(M_PI);
        }
        for (int axis = 0; axis < 2; ++axis) {
            const char *tile = axis ? "vTile" : "uTile", *mirror = axis ? "vMirror" : "uMirror";
            if (modes[axis] == aiTextureMapMode_Clamp || modes[axis] == aiTextureMapMode_Decal)
                uv[tile] = false;
            if (modes[axis] == aiTextureMapMode_Mirror) {
                uv[tile] = false;
                uv[mirror] = true;
            }
        }
        json params = bitmap_params;
        params["image"] = image;
        params["coords"] = {{"shader", "kor_base_UVGenerator"}, {"params", uv}};
        shaders()[name] = {{"shader", "kor_Bitmap"}, {"params", params}};
        if (!slot.empty()) maps_[slot] = {{"map", name}, {"amount", amount}};
        return name;
    }

    // The images entry of a texture path (a file beside the model, or a
    // texture embedded in it); "" with a warning when it cannot be had.
    std::string image_of(std::string path) {
        for (char &c : path)
            if (c == '\\') c = '/';
        auto known = images_.find(path);
        if (known != images_.end()) return known->second;
        std::string file;
        if (const aiTexture *embedded = scene_->GetEmbeddedTexture(path.c_str())) {
            if (embedded->mHeight != 0) {
                messagef(kWarning, "%s: embedded texture %s is raw texels, left out",
                         model_.file.c_str(), path.c_str());
                return images_[path] = "";
            }
            std::string hint = embedded->achFormatHint;
            if (hint.empty()) hint = "png";
            char tmpl[] = "/tmp/korrender-texture-XXXXXX";
            const int fd = mkstemp(tmpl);
            if (fd < 0) return images_[path] = "";
            close(fd);
            unlink(tmpl);
            file = std::string(tmpl) + "." + hint;
            std::ofstream out(file, std::ios::binary);
            out.write(reinterpret_cast<const char *>(embedded->pcData), embedded->mWidth);
            model_.temp_files.push_back(file);
            if (!out) {
                messagef(kWarning, "%s: embedded texture %s cannot be written out, left out",
                         model_.file.c_str(), path.c_str());
                return images_[path] = "";
            }
        } else {
            file = joined(dir_, path);
            char resolved[PATH_MAX];
            if (access(file.c_str(), R_OK) != 0 || !realpath(file.c_str(), resolved)) {
                messagef(kWarning, "%s: texture %s cannot be read, left out", model_.file.c_str(),
                         file.c_str());
                return images_[path] = "";
            }
            file = resolved;  // the scene reads it from its own folder
        }
        const std::string name = model_.prefix + "/image" + std::to_string(images_.size());
        model_.materials["images"][name] = {{"file", file}};
        return images_[path] = name;
    }

    const aiScene *scene_;
    ImportedModel &model_;
    std::string dir_, base_;
    json maps_;
    std::map<std::string, std::string> images_;
};

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
    Assimp::Importer importer;
    importer.SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE,
                                aiPrimitiveType_POINT | aiPrimitiveType_LINE);
    // Normals for meshes that come without: smooth, but creases sharper
    // than this stay sharp.
    importer.SetPropertyFloat(AI_CONFIG_PP_GSN_MAX_SMOOTHING_ANGLE, 80.0f);
    importer.SetPropertyBool(AI_CONFIG_FBX_CONVERT_TO_M, true);
    const aiScene *scene =
        importer.ReadFile(path, aiProcess_Triangulate | aiProcess_JoinIdenticalVertices |
                                    aiProcess_SortByPType | aiProcess_GenSmoothNormals);
    if (!scene) {
        std::string why = importer.GetErrorString();
        while (!why.empty() && (why.back() == '.' || why.back() == '\n')) why.pop_back();
        // The reason names the file by its full path: say it once, as given.
        const std::string of_file = " of file \"" + path + "\"";
        for (size_t at; (at = why.find(of_file)) != std::string::npos;)
            why.erase(at, of_file.size());
        throw Error(given + ": cannot import the model: " + why);
    }
    if (!scene->mRootNode || scene->mNumMeshes == 0)
        throw Error(given + ": the model holds no meshes");
    if (scene->mMetaData) {
        int axis = 1, sign = 1;
        if (scene->mMetaData->Get("UpAxis", axis) && axis >= 0 && axis <= 2) model->up_axis = axis;
        if (scene->mMetaData->Get("UpAxisSign", sign)) model->up_sign = sign < 0 ? -1 : 1;
    }
    model->meshes.resize(scene->mNumMeshes);
    model->taken.assign(scene->mNumMeshes, false);
    for (unsigned k = 0; k < scene->mNumMeshes; ++k) {
        const aiMesh *m = scene->mMeshes[k];
        convert_mesh(m, given, model->meshes[k]);
        model->mesh_names.push_back(clean_name(m->mName.C_Str(), "mesh"));
        model->mesh_material.push_back(static_cast<int>(m->mMaterialIndex));
    }
    walk(scene->mRootNode, aiMatrix4x4(), "", model->parts);
    model->materials = {
        {"materials", json::object()}, {"shaders", json::object()}, {"images", json::object()}};
    MaterialWriter writer(scene, *model, folder_of(path));
    for (unsigned i = 0; i < scene->mNumMaterials; ++i) writer.write(i);
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
    return !ext.empty() && ext != "json" && Assimp::Importer().IsExtensionSupported("." + ext);
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
        const std::string path = joined(s.scene_dir, given);
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
            const Part &part = m.parts[p];
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
    s.scene_dir = folder_of(model_path);
    const size_t slash = model_path.find_last_of('/');
    const std::string given =
        slash == std::string::npos ? model_path : model_path.substr(slash + 1);
    ImportedModel &m = read_model(s, joined(s.scene_dir, given), model_path);
    // The bounds of every placed mesh, in the Z-up world.
    float turn[16];
    up_turn(m, false, turn);
    Vector3 lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
    for (const Part &part : m.parts) {
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
