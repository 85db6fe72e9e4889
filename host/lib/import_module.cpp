// The import module (libkorhost_import.so): the asset importer reads a
// model file into meshes, a node hierarchy and materials, which become
// scene entries (import.cpp). libkorhost loads it the first time a scene
// imports a model, so that other renders never load the importer's many
// libraries.
#include <assimp/GltfMaterial.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <assimp/Importer.hpp>
#include <cmath>
#include <cstring>
#include <fstream>

#include "import_model.h"
#include "scene_load.h"

namespace korhost {

namespace {

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
          std::vector<ModelPart> &parts) {
    const aiMatrix4x4 global = parent * node->mTransformation;
    std::string name = node->mName.length ? node->mName.C_Str() : "node";
    const std::string here = path.empty() ? name : path + "/" + name;
    for (unsigned k = 0; k < node->mNumMeshes; ++k) {
        ModelPart p;
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
                model_.warnings.push_back(model_.file + ": embedded texture " + path +
                                          " is raw texels, left out");
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
                model_.warnings.push_back(model_.file + ": embedded texture " + path +
                                          " cannot be written out, left out");
                return images_[path] = "";
            }
        } else {
            file = join_path(dir_, path);
            char resolved[PATH_MAX];
            if (access(file.c_str(), R_OK) != 0 || !realpath(file.c_str(), resolved)) {
                model_.warnings.push_back(model_.file + ": texture " + file +
                                          " cannot be read, left out");
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

void read_model(const std::string &path, ImportedModel &model) {
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
        throw Error(model.prefix + ": cannot import the model: " + why);
    }
    if (!scene->mRootNode || scene->mNumMeshes == 0)
        throw Error(model.prefix + ": the model holds no meshes");
    if (scene->mMetaData) {
        int axis = 1, sign = 1;
        if (scene->mMetaData->Get("UpAxis", axis) && axis >= 0 && axis <= 2) model.up_axis = axis;
        if (scene->mMetaData->Get("UpAxisSign", sign)) model.up_sign = sign < 0 ? -1 : 1;
    }
    model.meshes.resize(scene->mNumMeshes);
    model.taken.assign(scene->mNumMeshes, false);
    for (unsigned k = 0; k < scene->mNumMeshes; ++k) {
        const aiMesh *m = scene->mMeshes[k];
        convert_mesh(m, model.prefix, model.meshes[k]);
        model.mesh_names.push_back(clean_name(m->mName.C_Str(), "mesh"));
        model.mesh_material.push_back(static_cast<int>(m->mMaterialIndex));
    }
    walk(scene->mRootNode, aiMatrix4x4(), "", model.parts);
    model.materials = {
        {"materials", json::object()}, {"shaders", json::object()}, {"images", json::object()}};
    MaterialWriter writer(scene, model, dir_of(path));
    for (unsigned i = 0; i < scene->mNumMaterials; ++i) writer.write(i);
}

bool read(const std::string &path, ImportedModel &model, std::string &error) {
    try {
        read_model(path, model);
        return true;
    } catch (const std::exception &e) {
        error = e.what();
        return false;
    }
}

bool reads_extension(const std::string &ext) {
    return Assimp::Importer().IsExtensionSupported("." + ext);
}

const ImportModule kModule = {kImportModuleAbi, read, reads_extension};

}  // namespace

}  // namespace korhost

extern "C" __attribute__((visibility("default"))) const korhost::ImportModule *
korhost_import_module() {
    return &korhost::kModule;
}
