// Scene loading: parameter records laid out by the declarations, shader
// instances and their connections, user data, images and materials.
#include <dlfcn.h>

#include <functional>
#include <set>

#include "scene_loader.h"

namespace korhost {
namespace loading {

// Records laid out by declarations.

void Loader::write_struct(Builder &b, const Type &t, size_t off, const json *v,
                          const std::string &ptr, const std::string &object,
                          const std::string &prefix) {
    if (v) {
        if (!v->is_object())
            fail(ptr, object,
                 (prefix.empty() ? std::string("parameters") : "parameter " + quote(prefix)) +
                     " must be an object, got " + json_kind(*v));
        for (const auto &[key, value] : v->items()) {
            if (!t.field(key)) {
                std::string known;
                for (const auto &f : t.fields) known += (known.empty() ? "" : ", ") + f.name;
                throw Error(where(ptr + "/" + escape(key), true) + ": " + object +
                            ": unknown parameter " + quote(prefix + key) +
                            (known.empty() ? " (the shader has no parameters)"
                                           : " (known: " + known + ")"));
            }
        }
    }
    for (const Field &f : t.fields) {
        const std::string name = prefix + f.name;
        if (v && v->contains(f.name)) {
            write(b, *f.type, off + f.offset, (*v)[f.name], ptr + "/" + escape(f.name), object,
                  name);
        } else if (!f.default_value.is_null()) {
            write(b, *f.type, off + f.offset, f.default_value, ptr, object, name);
        } else if (f.type->kind == Kind::Struct) {
            write_struct(b, *f.type, off + f.offset, nullptr, ptr, object, name + ".");
        }
    }
}

void Loader::write(Builder &b, const Type &t, size_t off, const json &v, const std::string &ptr,
                   const std::string &object, const std::string &param) {
    auto mismatch = [&](const std::string &expected) {
        fail(ptr, object,
             "type mismatch: parameter " + quote(param) + " is " + t.describe() + " and takes " +
                 expected + ", got " + json_kind(v));
    };
    std::string problem;
    auto as_float = [&](const json &x, const std::string &xptr) {
        float f = 0;
        if (!to_float(x, f, problem))
            fail(xptr, object, "parameter " + quote(param) + ": " + problem);
        return f;
    };
    auto as_int = [&](const json &x) {
        int32_t i = 0;
        if (!to_int(x, i, problem)) fail(ptr, object, "parameter " + quote(param) + ": " + problem);
        return i;
    };
    if (v.is_object() && v.contains("connect")) {
        if (!b.allow_connections)
            fail(ptr, object, "parameter " + quote(param) + ": only shader parameters connect");
        if (t.kind == Kind::Array)
            fail(ptr, object,
                 "parameter " + quote(param) +
                     ": an array cannot be connected as a whole; connect its "
                     "elements");
        if (!v["connect"].is_string())
            fail(ptr, object, "parameter " + quote(param) + ": \"connect\" names a shader");
        std::string target = v["connect"].get<std::string>(), field;
        size_t dot = target.find('.');
        if (dot != std::string::npos && !shader_by_name_.count(target)) {
            field = target.substr(dot + 1);
            target = target.substr(0, dot);
        }
        b.conns.push_back({nullptr, off, target, field, nullptr, ptr, param});
        b.conns.back().type = std::shared_ptr<const Type>(std::shared_ptr<const Type>(), &t);
        return;
    }
    uint8_t *at = nullptr;
    auto put = [&](const void *src, size_t n) {
        at = b.bytes.data() + off;
        memcpy(at, src, n);
    };
    switch (t.kind) {
        case Kind::Boolean: {
            if (!v.is_boolean() && !v.is_number_integer()) mismatch("true or false");
            int32_t x = v.is_boolean() ? (v.get<bool>() ? 1 : 0) : as_int(v);
            put(&x, 4);
            break;
        }
        case Kind::Integer: {
            if (!v.is_number_integer()) mismatch("an integer");
            int32_t x = as_int(v);
            put(&x, 4);
            break;
        }
        case Kind::Scalar: {
            if (!v.is_number()) mismatch("a number");
            float x = as_float(v, ptr);
            put(&x, 4);
            break;
        }
        case Kind::Vector:
        case Kind::Color:
        case Kind::Transform: {
            size_t n = t.kind == Kind::Vector ? 3 : t.kind == Kind::Color ? 4 : 16;
            size_t min = t.kind == Kind::Color ? 3 : n;
            std::string what = t.kind == Kind::Color
                                   ? "a list of 3 or 4 numbers"
                                   : "a list of " + std::to_string(n) + " numbers";
            if (!v.is_array() || v.size() < min || v.size() > n) mismatch(what);
            float f[16] = {0, 0, 0, 1};
            for (size_t i = 0; i < v.size(); ++i) {
                if (!v[i].is_number()) mismatch(what);
                f[i] = as_float(v[i], ptr + "/" + std::to_string(i));
            }
            put(f, n * 4);
            break;
        }
        case Kind::Shader:
        case Kind::Texture:
        case Kind::Light:
        case Kind::Material:
        case Kind::Data:
        case Kind::Instance:
        case Kind::String: {
            Tag tag = resolve_tag(t.kind, v, ptr, object, param);
            if (t.kind == Kind::Shader && tag && b.allow_connections) b.links.push_back({tag, ptr});
            put(&tag, 4);
            break;
        }
        case Kind::Pointer:
            if (!v.is_null() && !(v.is_number_integer() && v.get<int64_t>() == 0))
                mismatch("null (pointers are filled in by shaders)");
            break;
        case Kind::Struct: write_struct(b, t, off, &v, ptr, object, param + "."); break;
        case Kind::Array: {
            if (!v.is_array()) mismatch("a list");
            const Type &e = *t.element;
            const size_t slot = off + t.slot_offset;
            int32_t start = 0, count = static_cast<int32_t>(v.size());
            if (count > 0) {
                // Element storage goes after everything written so far, at a
                // whole number of elements from the slot.
                size_t end = b.bytes.size();
                size_t steps = end > slot ? (end - slot + e.size - 1) / e.size : 0;
                size_t storage = slot + steps * e.size;
                start = static_cast<int32_t>(steps);
                b.bytes.resize(storage + count * e.size, 0);
                for (int32_t k = 0; k < count; ++k)
                    write(b, e, storage + k * e.size, v[k], ptr + "/" + std::to_string(k), object,
                          param + "[" + std::to_string(k) + "]");
            }
            memcpy(b.bytes.data() + off, &start, 4);
            memcpy(b.bytes.data() + off + 4, &count, 4);
            break;
        }
    }
}

Tag Loader::resolve_tag(Kind kind, const json &v, const std::string &ptr, const std::string &object,
                        const std::string &param) {
    if (v.is_null()) return 0;
    if (kind == Kind::Shader && v.is_object())
        return shader_ref(v, ptr, object, object + "." + param);
    if (!v.is_string())
        fail(ptr, object,
             "type mismatch: parameter " + quote(param) + " is " + basic_type(kind)->describe() +
                 " and takes a name, got " + json_kind(v));
    const std::string name = v.get<std::string>();
    auto unknown = [&](const char *what) -> Tag {
        fail(ptr, object, "parameter " + quote(param) + ": unknown " + what + " " + quote(name));
    };
    switch (kind) {
        case Kind::Shader: {
            auto it = shader_by_name_.find(name);
            return it == shader_by_name_.end() ? unknown("shader instance") : it->second->tag;
        }
        case Kind::Material: {
            auto it = material_by_name_.find(name);
            return it == material_by_name_.end() ? unknown("material") : it->second->tag;
        }
        case Kind::Texture: {
            auto it = image_by_name_.find(name);
            return it == image_by_name_.end() ? unknown("texture") : it->second->tag;
        }
        case Kind::Light: {
            auto it = light_by_name_.find(name);
            return it == light_by_name_.end() ? unknown("light") : it->second->instance;
        }
        case Kind::Data: {
            auto it = data_by_name_.find(name);
            return it == data_by_name_.end() ? unknown("data block") : it->second->tag;
        }
        case Kind::Instance: {
            auto it = instance_by_name_.find(name);
            return it == instance_by_name_.end() ? unknown("instance") : it->second->tag;
        }
        case Kind::String: {
            s_.strings.push_back({0, name});
            StringEntry &e = s_.strings.back();
            e.tag = s_.add_db(ZO_DB_STRING, const_cast<char *>(e.text.c_str()),
                              static_cast<int>(e.text.size() + 1), "string");
            return e.tag;
        }
        default: return 0;
    }
}

// Shaders.

void Loader::check_version(const Declaration *d, const std::string &ptr, const std::string &object,
                           void *handle, const std::string &path) {
    if (!d->version) return;
    const std::string vname = d->name + "_version";
    VersionFn fn = nullptr;
    std::string where = path;
    if (handle) {
        fn = reinterpret_cast<VersionFn>(dlsym(handle, vname.c_str()));
    } else {
        for (const auto &lib : s_.libraries) {
            fn = reinterpret_cast<VersionFn>(dlsym(lib.handle, vname.c_str()));
            where = lib.path;
            if (fn) break;
        }
    }
    if (!fn)
        fail(ptr, object,
             "the shader library " + where + " does not export " + vname + " (declared version " +
                 std::to_string(*d->version) + " in " + d->file + ")");
    int have = fn();
    if (have != *d->version)
        fail(ptr, object,
             "version mismatch for " + quote(d->name) + ": the shader library " + where +
                 " has version " + std::to_string(have) + ", the declaration in " + d->file +
                 " says version " + std::to_string(*d->version));
}

ShaderFunction *Loader::function(const std::string &name, const std::string &ptr,
                                 const std::string &object) {
    auto it = s_.functions.find(name);
    if (it != s_.functions.end()) return it->second.get();
    const Declaration *d = s_.decls.find(name);
    if (!d || d->kind != "shader")
        fail(ptr, object,
             "unknown shader " + quote(name) + " (no declaration in " +
                 (s_.settings.shader_dirs.empty() ? std::string("shaders/")
                                                  : s_.settings.shader_dirs[0]) +
                 ")");
    auto f = std::make_unique<ShaderFunction>();
    f->decl = d;
    const Session::Library *lib = nullptr;
    for (const auto &l : s_.libraries) {
        f->fn = reinterpret_cast<ShaderFn>(dlsym(l.handle, name.c_str()));
        if (f->fn) {
            lib = &l;
            break;
        }
    }
    if (!lib) {
        std::string paths;
        for (const auto &l : s_.libraries) paths += (paths.empty() ? "" : ", ") + l.path;
        fail(ptr, object,
             "unknown shader " + quote(name) + ": declared in " + d->file +
                 ", but the shader library " + paths + " does not export it");
    }
    f->library = lib->path.c_str();
    check_version(d, ptr, object, lib->handle, lib->path);
    f->init = reinterpret_cast<InitFn>(dlsym(lib->handle, (name + "_init").c_str()));
    f->exit = reinterpret_cast<ExitFn>(dlsym(lib->handle, (name + "_exit").c_str()));
    Tag decl_tag = s_.add_db(ZO_DB_FUNCTION_DECL, const_cast<Declaration *>(d), 0, name);
    f->level.function = f.get();
    f->level.rec.declaration = decl_tag;
    f->level.rec.name = d->name.c_str();
    f->level.tls.assign(s_.threads, nullptr);
    ShaderFunction *raw = f.get();
    s_.functions[name] = std::move(f);
    s_.init_order.push_back(raw);
    return raw;
}

void Loader::build_shader(ShaderInstance &inst, const json &spec, const std::string &ptr) {
    const std::string object = "shader " + quote(inst.name);
    require_object(spec, ptr, object);
    check_keys(spec, ptr, object, {"shader", "params", "description"});
    if (!spec.contains("shader")) fail(ptr, object, "no \"shader\" given");
    const std::string name = text(spec["shader"], ptr + "/shader", object, "\"shader\"");
    const std::string full = "shader " + quote(inst.name) + " (" + name + ")";
    ShaderFunction *f = function(name, ptr + "/shader", full);
    const Declaration *d = f->decl;
    Builder b;
    b.allow_connections = true;
    b.bytes.assign(d->params->size, 0);
    const json *params = spec.contains("params") ? &spec["params"] : nullptr;
    write_struct(b, *d->params, 0, params, params ? ptr + "/params" : ptr, full, "");
    const size_t size = align_up(std::max<size_t>(b.bytes.size(), 16), 16);
    inst.function = f;
    inst.params = static_cast<uint8_t *>(aligned_alloc(16, 2 * size));
    memset(inst.params, 0, 2 * size);
    if (!b.bytes.empty()) memcpy(inst.params, b.bytes.data(), b.bytes.size());
    inst.record_size = size;
    inst.record.function = f;
    inst.record.instance = &inst;
    inst.record.tls.assign(s_.threads, nullptr);
    zoShaderRecord &r = inst.record.rec;
    r.tag = inst.tag;
    r.declaration = f->level.rec.declaration;
    r.ghost_offset = static_cast<int32_t>(size);
    r.param_size = static_cast<int32_t>(size);
    r.params = inst.params;
    r.name = d->name.c_str();
    for (auto &c : b.conns) {
        c.instance = &inst;
        pending_.push_back(c);
    }
    auto &links = links_[&inst];
    links.insert(links.end(), b.links.begin(), b.links.end());
}

Tag Loader::shader_ref(const json &v, const std::string &ptr, const std::string &object,
                       const std::string &inline_name) {
    if (v.is_null()) return 0;
    if (v.is_string()) {
        auto it = shader_by_name_.find(v.get<std::string>());
        if (it == shader_by_name_.end())
            fail(ptr, object, "unknown shader instance " + quote(v.get<std::string>()));
        return it->second->tag;
    }
    if (!v.is_object())
        fail(ptr, object,
             "a shader is given by the name of a shader instance or inline as an "
             "object with \"shader\", got " +
                 json_kind(v));
    s_.shaders.emplace_back();
    ShaderInstance &inst = s_.shaders.back();
    inst.name = inline_name;
    inst.tag = s_.add_db(ZO_DB_FUNCTION, &inst.record.rec, sizeof(zoShaderRecord), inline_name);
    shader_by_name_[inline_name] = &inst;
    build_shader(inst, v, ptr);
    return inst.tag;
}

void Loader::resolve_connections() {
    for (const PendingConnection &c : pending_) {
        ShaderInstance &inst = *c.instance;
        const std::string object =
            "shader " + quote(inst.name) + " (" + inst.function->decl->name + ")";
        auto it = shader_by_name_.find(c.target);
        if (it == shader_by_name_.end())
            fail(c.ptr, object,
                 "parameter " + quote(c.param) + " connects to unknown shader " + quote(c.target));
        ShaderInstance &target = *it->second;
        const Declaration *td = target.function->decl;
        if (!td->result)
            fail(c.ptr, object,
                 "parameter " + quote(c.param) + " connects to " + quote(c.target) + " (" +
                     td->name + "), which declares no result");
        const Type *rt = td->result.get();
        int field_offset = 0;
        if (!c.field.empty()) {
            const Field *f = rt->kind == Kind::Struct ? rt->field(c.field) : nullptr;
            if (!f)
                fail(c.ptr, object,
                     "parameter " + quote(c.param) + ": the result of " + quote(c.target) + " (" +
                         td->name + ") has no field " + quote(c.field));
            rt = f->type.get();
            field_offset = static_cast<int>(f->offset);
        }
        if (!c.type->same_as(*rt))
            fail(c.ptr, object,
                 "type mismatch: parameter " + quote(c.param) + " is " + c.type->describe() +
                     ", but " + quote(c.target) + " (" + td->name + ") gives " + rt->describe());
        inst.connections.push_back({target.tag, static_cast<int>(td->result->size), field_offset});
        int32_t index = static_cast<int32_t>(inst.connections.size());
        memcpy(inst.params + c.offset + inst.record_size, &index, 4);
        links_[&inst].push_back({target.tag, c.ptr});
    }
    check_shader_links();
}

// A shader that (through its connections or the shaders it names) runs
// itself would never end, and a chain of shaders run inside each other
// deeper than the limit would exhaust the stack of a render thread: refuse
// both, naming the parameter that closes the cycle or passes the limit.
void Loader::check_shader_links() {
    auto instance_of = [&](Tag tag) -> const ShaderInstance * {
        const DbItem *item = s_.item(tag);
        if (!item || item->type != ZO_DB_FUNCTION || !item->record) return nullptr;
        return static_cast<const HostRecord *>(item->record)->instance;
    };
    auto object_of = [](const ShaderInstance &i) {
        return "shader " + quote(i.name) + " (" + i.function->decl->name + ")";
    };
    // 0 not seen, 1 on the path, 2 done; depth: the longest chain below.
    std::map<const ShaderInstance *, int> mark, depth;
    struct Frame {
        const ShaderInstance *inst;
        size_t next;
    };
    for (const ShaderInstance &root : s_.shaders) {
        if (mark[&root] || !root.function) continue;
        std::vector<Frame> path{{&root, 0}};
        mark[&root] = 1;
        while (!path.empty()) {
            Frame &f = path.back();
            const std::vector<ShaderLink> &links = links_[f.inst];
            if (f.next == links.size()) {
                int d = 0;
                for (const ShaderLink &l : links)
                    if (const ShaderInstance *t = instance_of(l.target))
                        d = std::max(d, depth[t] + 1);
                depth[f.inst] = d;
                mark[f.inst] = 2;
                path.pop_back();
                continue;
            }
            const ShaderLink &l = links[f.next++];
            const ShaderInstance *t = instance_of(l.target);
            if (!t || !t->function) continue;
            if (mark[t] == 1)
                fail(l.ptr, object_of(*f.inst),
                     "connections form a cycle: " + quote(f.inst->name) + " runs " +
                         quote(t->name) + (t == f.inst ? "" : ", which leads back to it"));
            if (mark[t] == 2) {
                if (depth[t] + static_cast<int>(path.size()) > kMaxConnectionDepth)
                    fail(l.ptr, object_of(*f.inst),
                         "shaders run inside each other deeper than " +
                             std::to_string(kMaxConnectionDepth) + " levels");
                continue;
            }
            if (static_cast<int>(path.size()) >= kMaxConnectionDepth)
                fail(l.ptr, object_of(*f.inst),
                     "shaders run inside each other deeper than " +
                         std::to_string(kMaxConnectionDepth) + " levels");
            mark[t] = 1;
            path.push_back({t, 0});
        }
    }
}

// Data, images, materials, lights.

void Loader::build_data(DataEntry &d, const json &spec, const std::string &ptr) {
    const std::string object = "data " + quote(d.name);
    require_object(spec, ptr, object);
    check_keys(spec, ptr, object, {"declaration", "values", "description"});
    if (!spec.contains("declaration")) fail(ptr, object, "no \"declaration\" given");
    const std::string name =
        text(spec["declaration"], ptr + "/declaration", object, "\"declaration\"");
    const Declaration *decl = s_.decls.find(name);
    if (!decl) fail(ptr + "/declaration", object, "unknown declaration " + quote(name));
    check_version(decl, ptr + "/declaration", object);
    Builder b;
    b.bytes.assign(decl->params->size, 0);
    const json *values = spec.contains("values") ? &spec["values"] : nullptr;
    write_struct(b, *decl->params, 0, values, values ? ptr + "/values" : ptr,
                 object + " (" + name + ")", "");
    d.decl = decl;
    d.size = align_up(std::max<size_t>(b.bytes.size(), 16), 16);
    d.bytes = static_cast<uint8_t *>(aligned_alloc(16, d.size));
    memset(d.bytes, 0, d.size);
    if (!b.bytes.empty()) memcpy(d.bytes, b.bytes.data(), b.bytes.size());
    s_.db[d.tag].record = d.bytes;
    s_.db[d.tag].size = static_cast<int>(d.size);
}

void Loader::build_image(ImageEntry &img, const json &spec, const std::string &ptr, bool image) {
    const std::string object = (image ? "image " : "texture ") + quote(img.name);
    require_object(spec, ptr, object);
    check_keys(spec, ptr, object, {"file", "shader", "filter", "colorspace", "description"});
    if (spec.contains("shader")) {
        // A texture shader: lookups of the texture run it at their coordinate.
        if (image) fail(ptr + "/shader", object, "a shader texture belongs under \"textures\"");
        if (spec.contains("file")) fail(ptr, object, "give \"file\" or \"shader\", not both");
        img.shader = shader_ref(spec["shader"], ptr + "/shader", object, img.name + ":shader");
        img.image = zoImage{};
        s_.db[img.tag].record = &img.image;
        s_.db[img.tag].size = sizeof(zoImage);
        return;
    }
    if (!spec.contains("file")) fail(ptr, object, "no \"file\" or \"shader\" given");
    img.file = join_path(s_.scene_dir, text(spec["file"], ptr + "/file", object, "\"file\""));
    // A pyramid when the options filter through one, or the entry asks.
    float filter = s_.options.filter == 2 ? 1.0f : 0.0f;
    if (spec.contains("filter")) {
        if (spec["filter"].is_boolean())
            filter = spec["filter"].get<bool>() ? 1.0f : 0.0f;
        else
            filter = number(spec["filter"], ptr + "/filter", object, "\"filter\"");
    }
    // The encoding of the file's colour: as the file says unless given.
    std::string colorspace;
    if (spec.contains("colorspace")) {
        colorspace = text(spec["colorspace"], ptr + "/colorspace", object, "\"colorspace\"");
        if (colorspace.empty()) fail(ptr + "/colorspace", object, "\"colorspace\" is empty");
    }
    std::string error;
    if (!regular_file(img.file))
        fail(ptr + "/file", object, "cannot read image " + img.file + ": no such file");
    if (!read_texture(img.file, filter, img, error, colorspace))
        fail(spec.contains("colorspace") && error.find("colo") != std::string::npos
                 ? ptr + "/colorspace"
                 : ptr + "/file",
             object, error);
    s_.db[img.tag].record = &img.image;
    s_.db[img.tag].size = sizeof(zoImage);
}

void Loader::build_material(MaterialEntry &m, const json &spec, const std::string &ptr) {
    const std::string object = "material " + quote(m.name);
    require_object(spec, ptr, object);
    check_keys(spec, ptr, object,
               {"shader", "shadow", "volume", "environment", "displace", "photon", "photonvol",
                "contour", "lightmap", "phenomenon", "description"});
    static const char *slots[kSlotCount] = {"shader",      "shadow",   "volume",
                                            "environment", "displace", "photon",
                                            "photonvol",   "contour",  "lightmap"};
    for (int i = 0; i < kSlotCount; ++i) {
        if (!spec.contains(slots[i])) continue;
        m.slots[i] =
            shader_ref(spec[slots[i]], ptr + "/" + slots[i], object, m.name + ":" + slots[i]);
    }
    if (spec.contains("phenomenon"))
        m.phenomenon = boolean(spec["phenomenon"], ptr + "/phenomenon", object, "\"phenomenon\"");
    s_.db[m.tag].type = m.phenomenon ? ZO_DB_MATERIAL_PHENOMENON : ZO_DB_MATERIAL;
}

}  // namespace loading
}  // namespace korhost
