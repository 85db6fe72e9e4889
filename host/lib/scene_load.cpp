// Reading a scene file into the session: the database of shader instances,
// materials, objects, instances, lights, images and user data, the camera,
// the options and the frame buffers. Every problem is reported with the
// file, the line and column, the object and what is wrong.
#include "scene_load.h"

#include <dlfcn.h>
#include <limits.h>

#include <fstream>
#include <sstream>

#include "scene_loader.h"
#include "upaxis.h"

namespace korhost {

namespace loading {

void Loader::run() {
    const json &r = root_;
    if (!r.is_object()) throw Error(s_.scene_file + ": a scene is a JSON object");
    check_keys(r, "", "scene",
               {"library", "declarations", "options", "camera", "shaders", "materials", "objects",
                "instances", "lights", "textures", "images", "data", "framebuffers", "output",
                "elements_into_exr", "up", "description"});
    up_ = scene_up(s_, r);
    auto section = [&](const char *key) -> const json * {
        if (!r.contains(key)) return nullptr;
        if (!r[key].is_object())
            fail("/" + std::string(key), "scene",
                 quote(key) + " must be an object of named entries");
        return &r[key];
    };
    auto register_name = [&](auto &map, const std::string &name, auto *entry, const char *what,
                             const std::string &ptr) {
        if (map.count(name)) fail(ptr, std::string(what) + " " + quote(name), "declared twice");
        map[name] = entry;
    };
    // Names first, so that entries may refer to each other in any order.
    if (const json *sec = section("shaders")) {
        for (const auto &[name, spec] : sec->items()) {
            s_.shaders.emplace_back();
            ShaderInstance &inst = s_.shaders.back();
            inst.name = name;
            inst.tag = s_.add_db(ZO_DB_FUNCTION, &inst.record.rec, sizeof(zoShaderRecord), name);
            register_name(shader_by_name_, name, &inst, "shader", "/shaders/" + escape(name));
        }
    }
    if (const json *sec = section("data")) {
        for (const auto &[name, spec] : sec->items()) {
            s_.data.emplace_back();
            s_.data.back().name = name;
            s_.data.back().tag = s_.add_db(ZO_DB_USERDATA, nullptr, 0, name);
            s_.db[s_.data.back().tag].owner = &s_.data.back();
            register_name(data_by_name_, name, &s_.data.back(), "data", "/data/" + escape(name));
        }
    }
    for (const char *key : {"textures", "images"}) {
        if (const json *sec = section(key)) {
            for (const auto &[name, spec] : sec->items()) {
                s_.images.emplace_back();
                s_.images.back().name = name;
                s_.images.back().tag = s_.add_db(
                    std::string(key) == "images" ? ZO_DB_IMAGE : ZO_DB_TEXTURE, nullptr, 0, name);
                s_.db[s_.images.back().tag].owner = &s_.images.back();
                register_name(image_by_name_, name, &s_.images.back(), "texture",
                              "/" + std::string(key) + "/" + escape(name));
            }
        }
    }
    if (const json *sec = section("materials")) {
        for (const auto &[name, spec] : sec->items()) {
            s_.materials.emplace_back();
            MaterialEntry &m = s_.materials.back();
            m.name = name;
            m.tag = s_.add_db(ZO_DB_MATERIAL, &m, sizeof(MaterialEntry), name);
            register_name(material_by_name_, name, &m, "material", "/materials/" + escape(name));
        }
    }
    if (const json *sec = section("lights")) {
        for (const auto &[name, spec] : sec->items()) {
            s_.lights.emplace_back();
            LightEntry &l = s_.lights.back();
            l.name = name;
            l.tag = s_.add_db(ZO_DB_LIGHT, &l.rec, sizeof(zoLightRecord), name);
            l.instance = s_.add_db(ZO_DB_INSTANCE, &l.inst, sizeof(zoInstanceRecord), name);
            s_.db[l.tag].owner = &l;
            s_.db[l.instance].owner = &l;
            s_.light_instances.push_back(l.instance);
            register_name(light_by_name_, name, &l, "light", "/lights/" + escape(name));
        }
    }
    if (const json *sec = section("objects")) {
        for (const auto &[name, spec] : sec->items()) {
            s_.objects.emplace_back();
            ObjectEntry &o = s_.objects.back();
            o.name = name;
            o.tag = s_.add_db(ZO_DB_OBJECT, &o.rec, sizeof(zoObjectRecord), name);
            s_.db[o.tag].owner = &o;
            register_name(object_by_name_, name, &o, "object", "/objects/" + escape(name));
        }
    }
    if (const json *sec = section("instances")) {
        for (const auto &[name, spec] : sec->items()) {
            s_.instances.emplace_back();
            InstanceEntry &inst = s_.instances.back();
            inst.name = name;
            inst.tag = s_.add_db(ZO_DB_INSTANCE, &inst.rec, sizeof(zoInstanceRecord), name);
            s_.db[inst.tag].owner = &inst;
            s_.db[inst.tag].object_instance = true;
            register_name(instance_by_name_, name, &inst, "instance", "/instances/" + escape(name));
        }
    }

    // Then the entries themselves.
    if (const json *sec = section("data")) {
        for (auto &d : s_.data) build_data(d, (*sec)[d.name], "/data/" + escape(d.name));
    }
    if (const json *sec = section("shaders")) {
        for (auto &[name, inst] : std::map<std::string, ShaderInstance *>(shader_by_name_))
            build_shader(*inst, (*sec)[name], "/shaders/" + escape(name));
    }
    for (auto &m : s_.materials)
        build_material(m, r["materials"][m.name], "/materials/" + escape(m.name));
    for (auto &l : s_.lights) build_light(l, r["lights"][l.name], "/lights/" + escape(l.name));
    {
        std::vector<ObjectEntry *> named;
        for (auto &o : s_.objects) named.push_back(&o);
        for (ObjectEntry *o : named)
            build_object(*o, r["objects"][o->name], "/objects/" + escape(o->name));
    }
    if (const json *sec = section("instances")) {
        for (auto &inst : s_.instances)
            build_instance(inst, (*sec)[inst.name], "/instances/" + escape(inst.name));
    }

    zoCamera &c = s_.camera.cam;
    c.focal = 1;
    c.aperture = 1;
    c.x_resolution = 320;
    c.y_resolution = 240;
    c.clip_near = 0.001f;
    c.clip_far = 1e30f;
    mat_identity(s_.camera.to_world);
    mat_identity(s_.camera.from_world);
    if (!r.contains("camera"))
        throw Error(s_.scene_file + ": scene: no \"camera\" given (an image needs a camera)");
    build_camera(r["camera"], "/camera");
    if (s_.settings.width > 0) {
        c.x_resolution = s_.settings.width;
        c.y_resolution = s_.settings.height;
    }
    if (static_cast<long long>(c.x_resolution) * c.y_resolution > kMaxPixels)
        throw Error(where("/camera/resolution") + ": camera: the image of " +
                    std::to_string(c.x_resolution) + "x" + std::to_string(c.y_resolution) +
                    " pixels is larger than the limit of " + std::to_string(kMaxPixels) +
                    " pixels");
    if (c.aspect <= 0) c.aspect = static_cast<float>(c.x_resolution) / c.y_resolution;

    zoOptions &o = s_.options;
    o.shadow = ZO_SHADOW_ON;
    o.trace = 1;
    o.reflection_depth = 4;
    o.refraction_depth = 4;
    o.trace_depth = 8;
    o.shadow_depth = 4;
    o.samples = 1;
    o.filter = 1;
    o.gamma = 1;
    for (float &c : o.contrast) c = 0.1f;
    if (r.contains("options")) build_options(r["options"], "/options");
    if (s_.settings.samples > 0) o.samples = s_.settings.samples;
    // Images after the options, whose filter decides on pyramids.
    for (auto &img : s_.images) {
        bool image = s_.db[img.tag].type == ZO_DB_IMAGE;
        const char *key = image ? "images" : "textures";
        build_image(img, r[key][img.name], "/" + std::string(key) + "/" + escape(img.name), image);
    }

    if (r.contains("framebuffers")) build_framebuffers(r["framebuffers"], "/framebuffers");
    if (r.contains("output"))
        s_.output_file =
            join_path(s_.scene_dir, text(r["output"], "/output", "scene", "\"output\""));
    resolve_connections();
    build_light_lists(s_);
    for (ObjectEntry &obj : s_.objects) build_mesh_record(s_, obj);
    if (up_.z == 0) convert_y_up(s_);
    if (s_.instances.empty())
        message(kWarning, (s_.scene_file + ": scene: no instances; the image shows only the "
                                           "environment")
                              .c_str());
}

}  // namespace loading

using namespace loading;

// ---------------------------------------------------------------------------

void load_libraries(Session &s, const std::vector<std::string> &scene_libraries) {
    // Our own module's handle: never a global one, whose lookup could find
    // the library's forwarders of the same names.
    Dl_info info;
    if (!dladdr(reinterpret_cast<void *>(&session), &info) || !info.dli_fname)
        throw Error("korrender: cannot find the host module");
    s.self_handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (!s.self_handle)
        throw Error(std::string("korrender: cannot open the host module ") + info.dli_fname);

    std::vector<std::pair<std::string, std::string>> paths;  // path, where it was named
    if (!s.settings.libraries.empty()) {
        for (const auto &p : s.settings.libraries) paths.emplace_back(p, "--library");
    } else if (!scene_libraries.empty()) {
        TextPosition p = locate(s.scene_text, "/library");
        std::string origin = s.scene_file;
        if (p.line) origin += ":" + std::to_string(p.line) + ":" + std::to_string(p.column);
        for (const auto &lib : scene_libraries)
            paths.emplace_back(join_path(s.scene_dir, lib), origin);
    } else {
        const std::string path = default_library_path();
        paths.emplace_back(path, "default location");
    }
    for (const auto &[path, origin] : paths) {
        if (!file_exists(path)) throw Error(origin + ": shader library " + path + ": no such file");
        void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char *e = dlerror();
            throw Error(origin + ": shader library " + path +
                        ": cannot be loaded: " + (e ? e : "?"));
        }
        s.libraries.push_back({path, handle});
        auto set_handle = reinterpret_cast<void (*)(void *)>(dlsym(handle, "zoSetModuleHandle"));
        if (!set_handle)
            throw Error(origin + ": shader library " + path +
                        ": does not export zoSetModuleHandle");
        set_handle(s.self_handle);
    }
}

// Instances without a material get the library's fallback material and
// shadow shader, when the declarations know them.
void add_default_material(const Session &s, json &root) {
    if (!root.is_object() || !root.contains("instances") || !root["instances"].is_object()) return;
    bool needed = false;
    for (const auto &[name, spec] : root["instances"].items())
        if (spec.is_object() && !spec.contains("material")) needed = true;
    if (!needed || !s.decls.find("kor_DefaultMaterial") || !s.decls.find("kor_DefaultShadow"))
        return;
    const std::string material = "(default material)";
    root["shaders"][material] = {{"shader", "kor_DefaultMaterial"}};
    root["shaders"]["(default shadow)"] = {{"shader", "kor_DefaultShadow"}};
    root["materials"][material] = {{"shader", material}, {"shadow", "(default shadow)"}};
    for (auto &[name, spec] : root["instances"].items())
        if (spec.is_object() && !spec.contains("material")) spec["material"] = material;
}

// --set POINTER=JSON: each value replaces (or adds) the one its pointer names.
static void apply_overrides(const Session &s, json &root) {
    for (const auto &[pointer, text] : s.settings.overrides) {
        json value;
        try {
            value = json::parse(text);
        } catch (const json::parse_error &) {
            throw Error("--set " + pointer + ": \"" + text + "\" is not a JSON value");
        }
        try {
            json::json_pointer where(pointer);
            if (!where.empty() && !root.contains(where.parent_pointer()))
                throw Error("--set " + pointer + ": the scene has no " +
                            where.parent_pointer().to_string());
            root[where] = value;
        } catch (const json::exception &e) {
            throw Error("--set " + pointer + ": not a place in the scene (" + e.what() + ")");
        }
    }
}

void load_scene(Session &s, const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot read the scene file: " + strerror(errno));
    std::stringstream ss;
    ss << in.rdbuf();
    load_scene_text(s, path, ss.str());
}

void load_scene_text(Session &s, const std::string &path, std::string text) {
    s.scene_file = path;
    s.scene_dir = dir_of(path);
    s.scene_text = std::move(text);
    auto at = [&](size_t offset) {
        TextPosition p = position_of(s.scene_text, offset);
        return path + ":" + std::to_string(p.line) + ":" + std::to_string(p.column);
    };
    JsonProblem problem;
    if (!check_structure(s.scene_text, kMaxJsonDepth, false, problem))
        throw Error(at(problem.offset) + ": malformed scene: " + problem.text);
    json root;
    try {
        root = json::parse(s.scene_text);
    } catch (const json::parse_error &e) {
        std::string what = e.what();
        size_t colon = what.find(": ", what.find("parse error"));
        std::string reason = colon == std::string::npos ? what : what.substr(colon + 2);
        throw Error(at(e.byte > 0 ? e.byte - 1 : 0) + ": malformed scene: " + reason);
    } catch (const json::out_of_range &e) {
        // A number too large for a double ("1e999"): the message quotes it.
        std::string what = e.what(), token;
        size_t open = what.find('\''), close = what.rfind('\'');
        if (open != std::string::npos && close > open)
            token = what.substr(open + 1, close - open - 1);
        size_t offset = find_number(s.scene_text, token);
        throw Error((offset == std::string::npos ? path : at(offset)) +
                    ": malformed scene: " + "the number " +
                    (token.empty() ? std::string("given") : token) + " is out of range");
    }
    if (!check_structure(s.scene_text, kMaxJsonDepth, true, problem))
        throw Error(at(problem.offset) + ": malformed scene: " + problem.text);
    apply_overrides(s, root);
    check_outputs(s, root);
    std::vector<std::string> libraries;
    if (root.is_object() && root.contains("library")) {
        const json &l = root["library"];
        bool ok = l.is_string() || l.is_array();
        if (l.is_array())
            for (const auto &e : l) ok = ok && e.is_string();
        if (!ok) {
            TextPosition p = locate(s.scene_text, "/library");
            throw Error(path + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) +
                        ": scene: \"library\" must be a path or a list of paths");
        }
        if (l.is_string())
            libraries.push_back(l.get<std::string>());
        else
            for (const auto &e : l) libraries.push_back(e.get<std::string>());
    }
    if (root.is_object() && root.contains("declarations")) {
        const json &d = root["declarations"];
        auto add = [&](const json &v) {
            if (!v.is_string())
                throw Error(path + ": scene: \"declarations\" lists files or folders");
            std::string p = join_path(s.scene_dir, v.get<std::string>());
            try {
                struct stat st;
                if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    s.decls.load_dir(p);
                else
                    s.decls.load_file(p);
            } catch (const DeclarationError &e) {
                throw Error(e.what());
            }
        };
        if (d.is_array())
            for (const auto &v : d) add(v);
        else
            add(d);
    }
    load_libraries(s, libraries);
    s.threads = std::max(1, s.threads);
    add_default_material(s, root);
    expand_named_maps(s, root);
    Loader loader(s, root);
    loader.run();
}

void check_output_files(const Session &s) {
    if (s.output_file.empty()) return;
    char resolved[PATH_MAX];
    auto same_file = [&](const std::string &a, const std::string &b) {
        struct stat sa, sb;
        if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
            return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
        // Not written yet: compare the real paths of their folders.
        auto canonical = [&](const std::string &p) {
            const std::string dir = dir_of(p), name = p.substr(p.find_last_of('/') + 1);
            return realpath(dir.c_str(), resolved) ? std::string(resolved) + "/" + name : p;
        };
        return canonical(a) == canonical(b);
    };
    for (const FrameBuffer &fb : s.framebuffers) {
        if (fb.type < 0 || fb.file.empty()) continue;
        std::string file = fb.file;
        if (file[0] != '/') {
            const size_t slash = s.output_file.rfind('/');
            if (slash != std::string::npos) file = s.output_file.substr(0, slash + 1) + file;
        }
        if (same_file(file, s.output_file)) {
            // The entry that declares the buffer, for the position.
            std::string ptr = "/framebuffers";
            try {
                const json root = json::parse(s.scene_text);
                const json &list = root.at("framebuffers");
                for (size_t i = 0; i < list.size(); ++i)
                    if (list[i].value("index", -1) == fb.index)
                        ptr += "/" + std::to_string(i) + "/file";
            } catch (const std::exception &) {
            }
            TextPosition p = locate(s.scene_text, ptr);
            std::string w = s.scene_file;
            if (p.line) w += ":" + std::to_string(p.line) + ":" + std::to_string(p.column);
            throw Error(w + ": frame buffer " + std::to_string(fb.index) + " is written to " +
                        file + ", the output image itself: give the image or the frame buffer " +
                        "another name");
        }
    }
}

}  // namespace korhost
