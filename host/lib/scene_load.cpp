// Reading a scene file into the session: the database of shader instances,
// materials, objects, instances, lights, images and user data, the camera,
// the options and the frame buffers. Every problem is reported with the
// file, the line and column, the object and what is wrong.
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <tiny_obj_loader.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "jsonloc.h"
#include "session.h"

namespace korhost {

namespace {

std::string dir_of(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string join_path(const std::string &dir, const std::string &path) {
    if (path.empty() || path[0] == '/') return path;
    return dir + "/" + path;
}

bool file_exists(const std::string &path) {
    return access(path.c_str(), R_OK) == 0;
}

std::string json_kind(const json &v) {
    switch (v.type()) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return "a boolean";
        case json::value_t::string: return "a string";
        case json::value_t::array: return "a list";
        case json::value_t::object: return "an object";
        default: return "a number";
    }
}

std::string quote(const std::string &s) {
    return "'" + s + "'";
}

struct PendingConnection {
    ShaderInstance *instance;
    size_t offset;  // of the parameter in the record
    std::string target, field;
    TypeRef type;
    std::string ptr, param;
};

struct Builder {
    std::vector<uint8_t> bytes;
    bool allow_connections = false;
    std::vector<PendingConnection> conns;
};

class Loader {
  public:
    Loader(Session &s, const json &root) : s_(s), root_(root) {}

    void run();

  private:
    Session &s_;
    const json &root_;
    std::map<std::string, ShaderInstance *> shader_by_name_;
    std::map<std::string, MaterialEntry *> material_by_name_;
    std::map<std::string, DataEntry *> data_by_name_;
    std::map<std::string, ImageEntry *> image_by_name_;
    std::map<std::string, LightEntry *> light_by_name_;
    std::map<std::string, ObjectEntry *> object_by_name_;
    std::map<std::string, InstanceEntry *> instance_by_name_;  // parameters of type instance
    std::vector<PendingConnection> pending_;

    // ---- messages ----
    std::string where(const std::string &ptr, bool key = false) const {
        TextPosition p = locate(s_.scene_text, ptr, key);
        std::string w = s_.scene_file;
        if (p.line) w += ":" + std::to_string(p.line) + ":" + std::to_string(p.column);
        return w;
    }
    [[noreturn]] void fail(const std::string &ptr, const std::string &object,
                           const std::string &problem) const {
        throw Error(where(ptr) + ": " + object + ": " + problem);
    }
    void check_keys(const json &obj, const std::string &ptr, const std::string &object,
                    std::initializer_list<const char *> allowed) const {
        for (const auto &[key, value] : obj.items()) {
            bool known = false;
            for (const char *a : allowed) known = known || key == a;
            if (!known) {
                std::string text = where(ptr + "/" + escape(key), true) + ": " + object +
                                   ": unknown key " + quote(key) + " (ignored)";
                message(kWarning, text.c_str());
            }
        }
    }
    static std::string escape(const std::string &key) {
        std::string out;
        for (char c : key) {
            if (c == '~')
                out += "~0";
            else if (c == '/')
                out += "~1";
            else
                out += c;
        }
        return out;
    }
    const json &require_object(const json &v, const std::string &ptr,
                               const std::string &object) const {
        if (!v.is_object()) fail(ptr, object, "expected an object, got " + json_kind(v));
        return v;
    }

    // ---- values ----
    float number(const json &v, const std::string &ptr, const std::string &object,
                 const std::string &what) const {
        if (!v.is_number()) fail(ptr, object, what + " must be a number, got " + json_kind(v));
        return v.get<float>();
    }
    int integer(const json &v, const std::string &ptr, const std::string &object,
                const std::string &what) const {
        if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
        if (!v.is_number_integer())
            fail(ptr, object, what + " must be an integer, got " + json_kind(v));
        return v.get<int>();
    }
    bool boolean(const json &v, const std::string &ptr, const std::string &object,
                 const std::string &what) const {
        if (v.is_boolean()) return v.get<bool>();
        if (v.is_number_integer()) return v.get<int>() != 0;
        fail(ptr, object, what + " must be true or false, got " + json_kind(v));
    }
    std::string text(const json &v, const std::string &ptr, const std::string &object,
                     const std::string &what) const {
        if (!v.is_string()) fail(ptr, object, what + " must be a string, got " + json_kind(v));
        return v.get<std::string>();
    }
    void numbers(const json &v, const std::string &ptr, const std::string &object,
                 const std::string &what, float *out, size_t min, size_t max) const {
        if (!v.is_array() || v.size() < min || v.size() > max) {
            std::string count = min == max ? std::to_string(min)
                                           : std::to_string(min) + " to " + std::to_string(max);
            fail(ptr, object,
                 what + " must be a list of " + count + " numbers, got " +
                     (v.is_array() ? "a list of " + std::to_string(v.size()) : json_kind(v)));
        }
        for (size_t i = 0; i < v.size(); ++i)
            out[i] = number(v[i], ptr + "/" + std::to_string(i), object, what);
    }
    Vector3 vec3(const json &v, const std::string &ptr, const std::string &object,
                 const std::string &what) const {
        float f[3];
        numbers(v, ptr, object, what, f, 3, 3);
        return {f[0], f[1], f[2]};
    }

    // ---- records ----
    void write_struct(Builder &b, const Type &t, size_t off, const json *v, const std::string &ptr,
                      const std::string &object, const std::string &prefix);
    void write(Builder &b, const Type &t, size_t off, const json &v, const std::string &ptr,
               const std::string &object, const std::string &param);
    Tag resolve_tag(Kind kind, const json &v, const std::string &ptr, const std::string &object,
                    const std::string &param);

    // ---- objects ----
    ShaderFunction *function(const std::string &name, const std::string &ptr,
                             const std::string &object);
    void check_version(const Declaration *d, const std::string &ptr, const std::string &object,
                       void *handle = nullptr, const std::string &path = "");
    void build_shader(ShaderInstance &inst, const json &spec, const std::string &ptr);
    Tag shader_ref(const json &v, const std::string &ptr, const std::string &object,
                   const std::string &inline_name);
    void build_data(DataEntry &d, const json &spec, const std::string &ptr);
    void build_image(ImageEntry &img, const json &spec, const std::string &ptr, bool image);
    void build_material(MaterialEntry &m, const json &spec, const std::string &ptr);
    void build_object(ObjectEntry &o, const json &spec, const std::string &ptr);
    void build_mesh(Mesh &mesh, const json &spec, const std::string &ptr,
                    const std::string &object);
    void build_instance(InstanceEntry &inst, const json &spec, const std::string &ptr);
    void build_light(LightEntry &l, const json &spec, const std::string &ptr);
    void transform(const json &spec, const std::string &ptr, const std::string &object, float *m);
    void build_camera(const json &spec, const std::string &ptr);
    void build_options(const json &spec, const std::string &ptr);
    void build_framebuffers(const json &spec, const std::string &ptr);
    void resolve_connections();
};

// ---------------------------------------------------------------------------
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
            int32_t x = v.is_boolean() ? (v.get<bool>() ? 1 : 0) : v.get<int32_t>();
            put(&x, 4);
            break;
        }
        case Kind::Integer: {
            if (!v.is_number_integer()) mismatch("an integer");
            int32_t x = v.get<int32_t>();
            put(&x, 4);
            break;
        }
        case Kind::Scalar: {
            if (!v.is_number()) mismatch("a number");
            float x = v.get<float>();
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
                f[i] = v[i].get<float>();
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
            put(&tag, 4);
            break;
        }
        case Kind::Pointer:
            if (!v.is_null() && !(v.is_number_integer() && v.get<long>() == 0))
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

// ---------------------------------------------------------------------------
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
    }
    // A shader that (through its connections) evaluates itself would never
    // end: refuse cycles.
    std::map<Tag, int> mark;
    std::function<void(ShaderInstance &)> visit = [&](ShaderInstance &inst) {
        mark[inst.tag] = 1;
        for (const Connection &c : inst.connections) {
            ShaderInstance *t = static_cast<HostRecord *>(s_.db[c.shader].record)->instance;
            if (mark[t->tag] == 1)
                throw Error(s_.scene_file + ": shader " + quote(inst.name) +
                            ": connections form a cycle through " + quote(t->name));
            if (mark[t->tag] == 0) visit(*t);
        }
        mark[inst.tag] = 2;
    };
    for (auto &inst : s_.shaders)
        if (mark[inst.tag] == 0) visit(inst);
}

// ---------------------------------------------------------------------------
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
    check_keys(spec, ptr, object, {"file", "shader", "filter", "description"});
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
    std::string error;
    if (!read_texture(img.file, filter, img, error)) fail(ptr + "/file", object, error);
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

// A transform that puts the origin at `origin` and turns -Z onto `direction`.
void aim(float *m, const Vector3 &origin, const Vector3 &direction) {
    mat_identity(m);
    const Vector3 z = normalize(direction * -1.0f);
    const Vector3 up = std::fabs(z.y) < 0.999f ? Vector3{0, 1, 0} : Vector3{1, 0, 0};
    const Vector3 x = normalize(cross(up, z));
    const Vector3 y = cross(z, x);
    const Vector3 rows[4] = {x, y, z, origin};
    for (int i = 0; i < 4; ++i) {
        m[4 * i + 0] = rows[i].x;
        m[4 * i + 1] = rows[i].y;
        m[4 * i + 2] = rows[i].z;
    }
}

void Loader::build_light(LightEntry &l, const json &spec, const std::string &ptr) {
    const std::string object = "light " + quote(l.name);
    require_object(spec, ptr, object);
    check_keys(spec, ptr, object,
               {"shader", "type", "origin", "direction", "transform", "translate", "rotate",
                "scale", "area", "samples", "spread", "shadow", "id", "data", "description"});
    zoLightRecord &r = l.rec;
    r.direction = {0, 0, -1};
    r.samples_u = r.samples_v = 1;
    r.shadow = 1;
    r.spread = 0.5f;
    if (spec.contains("shader"))
        r.shader = shader_ref(spec["shader"], ptr + "/shader", object, l.name + ":shader");
    if (spec.contains("type")) {
        std::string t = text(spec["type"], ptr + "/type", object, "\"type\"");
        if (t == "point")
            r.type = 0;
        else if (t == "directional")
            r.type = 1;
        else if (t == "spot")
            r.type = 2;
        else
            fail(ptr + "/type", object,
                 "unknown light type " + quote(t) + " (point, directional or spot)");
    }
    if (spec.contains("origin"))
        r.origin = vec3(spec["origin"], ptr + "/origin", object, "\"origin\"");
    if (spec.contains("direction"))
        r.direction =
            normalize(vec3(spec["direction"], ptr + "/direction", object, "\"direction\""));
    if (spec.contains("area")) {
        const json &a = require_object(spec["area"], ptr + "/area", object);
        check_keys(a, ptr + "/area", object, {"shape", "edge_u", "edge_v", "radius", "axis"});
        std::string shape =
            text(a.value("shape", json("rectangle")), ptr + "/area/shape", object, "\"shape\"");
        static const char *shapes[] = {"none", "rectangle", "disc", "sphere", "cylinder"};
        r.area = -1;
        for (int i = 0; i < 5; ++i)
            if (shape == shapes[i]) r.area = i;
        if (r.area < 0) fail(ptr + "/area/shape", object, "unknown area shape " + quote(shape));
        if (a.contains("edge_u"))
            r.edge_u = vec3(a["edge_u"], ptr + "/area/edge_u", object, "\"edge_u\"");
        if (a.contains("edge_v"))
            r.edge_v = vec3(a["edge_v"], ptr + "/area/edge_v", object, "\"edge_v\"");
        if (a.contains("radius"))
            r.edge_u.x = number(a["radius"], ptr + "/area/radius", object, "\"radius\"");
        if (a.contains("axis"))  // the cylinder's axis, its length the height
            r.edge_v = vec3(a["axis"], ptr + "/area/axis", object, "\"axis\"");
        if ((r.area == 2 || r.area == 3 || r.area == 4) && !(r.edge_u.x > 0))
            fail(ptr + "/area", object, "a " + shape + " needs a positive \"radius\"");
    }
    if (spec.contains("samples")) {
        float f[2];
        numbers(spec["samples"], ptr + "/samples", object, "\"samples\"", f, 2, 2);
        r.samples_u = static_cast<int>(f[0]);
        r.samples_v = static_cast<int>(f[1]);
    }
    if (spec.contains("spread"))
        r.spread = number(spec["spread"], ptr + "/spread", object, "\"spread\"");
    if (spec.contains("shadow"))
        r.shadow = boolean(spec["shadow"], ptr + "/shadow", object, "\"shadow\"");
    if (spec.contains("id")) r.id = integer(spec["id"], ptr + "/id", object, "\"id\"");
    l.inst.item = l.tag;
    l.inst.id = r.id;
    if (spec.contains("data"))
        l.inst.userdata = resolve_tag(Kind::Data, spec["data"], ptr + "/data", object, "data");
    const bool placed = spec.contains("transform") || spec.contains("translate") ||
                        spec.contains("rotate") || spec.contains("scale");
    if (placed) {
        transform(spec, ptr, object, l.inst.to_world);
    } else {
        // Placed by its origin and direction: light space has the light at
        // its origin looking down -Z, with +Y as near to world up as can be.
        aim(l.inst.to_world, r.origin, r.direction);
        r.origin = {0, 0, 0};
        r.direction = {0, 0, -1};
    }
    mat_invert(l.inst.from_world, l.inst.to_world);
    r.instance = l.instance;
}

// ---------------------------------------------------------------------------
// Geometry.

void Loader::transform(const json &spec, const std::string &ptr, const std::string &object,
                       float *m) {
    mat_identity(m);
    if (spec.contains("transform")) {
        numbers(spec["transform"], ptr + "/transform", object, "\"transform\"", m, 16, 16);
        return;
    }
    // Scale, then rotate about X, Y and Z (degrees), then translate.
    if (spec.contains("scale")) {
        float sc[3];
        if (spec["scale"].is_number())
            sc[0] = sc[1] = sc[2] = number(spec["scale"], ptr + "/scale", object, "\"scale\"");
        else
            numbers(spec["scale"], ptr + "/scale", object, "\"scale\"", sc, 3, 3);
        m[0] = sc[0];
        m[5] = sc[1];
        m[10] = sc[2];
    }
    if (spec.contains("rotate")) {
        Vector3 r = vec3(spec["rotate"], ptr + "/rotate", object, "\"rotate\"");
        const float k = static_cast<float>(M_PI / 180.0);
        float angles[3] = {r.x * k, r.y * k, r.z * k};
        for (int axis = 0; axis < 3; ++axis) {
            float c = std::cos(angles[axis]), s = std::sin(angles[axis]);
            float rot[16];
            mat_identity(rot);
            int a = (axis + 1) % 3, b = (axis + 2) % 3;
            rot[a * 4 + a] = c;
            rot[a * 4 + b] = s;
            rot[b * 4 + a] = -s;
            rot[b * 4 + b] = c;
            float out[16];
            mat_mul(out, m, rot);
            memcpy(m, out, sizeof out);
        }
    }
    if (spec.contains("translate")) {
        Vector3 t = vec3(spec["translate"], ptr + "/translate", object, "\"translate\"");
        m[12] += t.x;
        m[13] += t.y;
        m[14] += t.z;
    }
}

void add_quad_mesh(Mesh &m, float sx, float sy) {
    m.P = {{-sx / 2, -sy / 2, 0}, {sx / 2, -sy / 2, 0}, {sx / 2, sy / 2, 0}, {-sx / 2, sy / 2, 0}};
    m.N.assign(4, {0, 0, 1});
    m.tex = {{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}};
    m.tri = {0, 1, 2, 0, 2, 3};
}

void add_box_mesh(Mesh &m, Vector3 size) {
    const Vector3 h = size * 0.5f;
    const Vector3 normals[6] = {{1, 0, 0},  {-1, 0, 0}, {0, 1, 0},
                                {0, -1, 0}, {0, 0, 1},  {0, 0, -1}};
    m.tex.assign(1, {});
    for (const Vector3 &n : normals) {
        Vector3 u = std::fabs(n.y) > 0.5f ? Vector3{1, 0, 0} : Vector3{0, 1, 0};
        Vector3 t = cross(u, n);  // in-face axes with t x u = n
        Vector3 c = {n.x * h.x, n.y * h.y, n.z * h.z};
        Vector3 tt = {t.x * h.x, t.y * h.y, t.z * h.z}, uu = {u.x * h.x, u.y * h.y, u.z * h.z};
        uint32_t base = static_cast<uint32_t>(m.P.size());
        m.P.push_back(c - tt - uu);
        m.P.push_back(c + tt - uu);
        m.P.push_back(c + tt + uu);
        m.P.push_back(c - tt + uu);
        for (int i = 0; i < 4; ++i) m.N.push_back(n);
        m.tex[0].push_back({0, 0, 0});
        m.tex[0].push_back({1, 0, 0});
        m.tex[0].push_back({1, 1, 0});
        m.tex[0].push_back({0, 1, 0});
        // Wind counter-clockwise seen from outside.
        Vector3 g = cross(m.P[base + 1] - m.P[base], m.P[base + 2] - m.P[base]);
        if (dot(g, n) >= 0) {
            for (uint32_t i : {0u, 1u, 2u, 0u, 2u, 3u}) m.tri.push_back(base + i);
        } else {
            for (uint32_t i : {0u, 2u, 1u, 0u, 3u, 2u}) m.tri.push_back(base + i);
        }
    }
}

void add_sphere_mesh(Mesh &m, float radius, int segments, int rings) {
    m.tex.assign(1, {});
    for (int j = 0; j <= rings; ++j) {
        float v = static_cast<float>(j) / rings;
        float theta = v * static_cast<float>(M_PI);
        for (int i = 0; i <= segments; ++i) {
            float u = static_cast<float>(i) / segments;
            float phi = u * 2 * static_cast<float>(M_PI);
            Vector3 n = {std::sin(theta) * std::cos(phi), -std::cos(theta),
                         -std::sin(theta) * std::sin(phi)};
            m.P.push_back(n * radius);
            m.N.push_back(n);
            m.tex[0].push_back({u, v, 0});
        }
    }
    const uint32_t row = segments + 1;
    for (int j = 0; j < rings; ++j) {
        for (int i = 0; i < segments; ++i) {
            uint32_t a = j * row + i, b = a + 1, c = a + row, d = c + 1;
            if (j > 0) m.tri.insert(m.tri.end(), {a, b, d});
            if (j < rings - 1) m.tri.insert(m.tri.end(), {a, d, c});
        }
    }
}

void Loader::build_mesh(Mesh &mesh, const json &spec, const std::string &ptr,
                        const std::string &object) {
    if (spec.contains("primitive")) {
        std::string p = text(spec["primitive"], ptr + "/primitive", object, "\"primitive\"");
        if (p == "quad") {
            float sz[2] = {1, 1};
            if (spec.contains("size")) {
                if (spec["size"].is_number())
                    sz[0] = sz[1] = number(spec["size"], ptr + "/size", object, "\"size\"");
                else
                    numbers(spec["size"], ptr + "/size", object, "\"size\"", sz, 2, 2);
            }
            add_quad_mesh(mesh, sz[0], sz[1]);
        } else if (p == "box") {
            Vector3 sz{1, 1, 1};
            if (spec.contains("size")) {
                if (spec["size"].is_number()) {
                    float k = number(spec["size"], ptr + "/size", object, "\"size\"");
                    sz = {k, k, k};
                } else {
                    sz = vec3(spec["size"], ptr + "/size", object, "\"size\"");
                }
            }
            add_box_mesh(mesh, sz);
        } else if (p == "sphere") {
            float r = spec.contains("radius")
                          ? number(spec["radius"], ptr + "/radius", object, "\"radius\"")
                          : 1.0f;
            int seg = spec.contains("segments")
                          ? integer(spec["segments"], ptr + "/segments", object, "\"segments\"")
                          : 48;
            if (seg < 3) fail(ptr + "/segments", object, "\"segments\" must be at least 3");
            add_sphere_mesh(mesh, r, seg, std::max(2, seg / 2));
        } else {
            fail(ptr + "/primitive", object,
                 "unknown primitive " + quote(p) + " (quad, box or sphere)");
        }
        return;
    }
    if (spec.contains("file")) {
        std::string path =
            join_path(s_.scene_dir, text(spec["file"], ptr + "/file", object, "\"file\""));
        if (!file_exists(path)) fail(ptr + "/file", object, "cannot read mesh file " + path);
        tinyobj::attrib_t attrib;
        std::vector<tinyobj::shape_t> shapes;
        std::vector<tinyobj::material_t> mats;
        std::string warn, err;
        if (!tinyobj::LoadObj(&attrib, &shapes, &mats, &warn, &err, path.c_str(),
                              dir_of(path).c_str(), true))
            fail(ptr + "/file", object, "cannot read mesh file " + path + ": " + err);
        bool has_uv = !attrib.texcoords.empty();
        if (has_uv) mesh.tex.assign(1, {});
        bool has_n = !attrib.normals.empty();
        for (const auto &shape : shapes) {
            for (const auto &idx : shape.mesh.indices) {
                mesh.tri.push_back(static_cast<uint32_t>(mesh.P.size()));
                mesh.P.push_back({attrib.vertices[3 * idx.vertex_index],
                                  attrib.vertices[3 * idx.vertex_index + 1],
                                  attrib.vertices[3 * idx.vertex_index + 2]});
                if (has_n) {
                    if (idx.normal_index >= 0)
                        mesh.N.push_back({attrib.normals[3 * idx.normal_index],
                                          attrib.normals[3 * idx.normal_index + 1],
                                          attrib.normals[3 * idx.normal_index + 2]});
                    else
                        mesh.N.push_back({0, 0, 0});
                }
                if (has_uv) {
                    if (idx.texcoord_index >= 0)
                        mesh.tex[0].push_back({attrib.texcoords[2 * idx.texcoord_index],
                                               attrib.texcoords[2 * idx.texcoord_index + 1], 0});
                    else
                        mesh.tex[0].push_back({0, 0, 0});
                }
            }
        }
        if (mesh.tri.empty()) fail(ptr + "/file", object, "mesh file " + path + " holds no faces");
        return;
    }
    if (!spec.contains("vertices") || !spec.contains("triangles"))
        fail(ptr, object,
             "no geometry: give \"primitive\", \"file\" or \"vertices\" and \"triangles\"");
    const json &verts = spec["vertices"];
    if (!verts.is_array()) fail(ptr + "/vertices", object, "\"vertices\" must be a list");
    for (size_t i = 0; i < verts.size(); ++i)
        mesh.P.push_back(
            vec3(verts[i], ptr + "/vertices/" + std::to_string(i), object, "a vertex"));
    const size_t n = mesh.P.size();
    auto per_vertex = [&](const char *key, std::vector<Vector3> &out, bool two_ok) {
        const json &list = spec[key];
        const std::string kptr = ptr + "/" + key;
        if (!list.is_array() || list.size() != n)
            fail(kptr, object,
                 quote(key) + " must list one entry per vertex (" + std::to_string(n) + ")");
        for (size_t i = 0; i < n; ++i) {
            float f[3] = {0, 0, 0};
            numbers(list[i], kptr + "/" + std::to_string(i), object, "an entry", f, two_ok ? 2 : 3,
                    3);
            out.push_back({f[0], f[1], f[2]});
        }
    };
    if (spec.contains("normals")) per_vertex("normals", mesh.N, false);
    if (spec.contains("motion")) per_vertex("motion", mesh.motion, false);
    if (spec.contains("texture_spaces")) {
        const json &spaces = spec["texture_spaces"];
        if (!spaces.is_array() || spaces.size() > kMaxTextureSpaces)
            fail(ptr + "/texture_spaces", object,
                 "\"texture_spaces\" must be a list of at most " +
                     std::to_string(kMaxTextureSpaces) + " spaces");
        for (size_t s = 0; s < spaces.size(); ++s) {
            const std::string sptr = ptr + "/texture_spaces/" + std::to_string(s);
            if (!spaces[s].is_array() || spaces[s].size() != n)
                fail(sptr, object,
                     "a texture space must list one coordinate per vertex (" + std::to_string(n) +
                         ")");
            mesh.tex.emplace_back();
            for (size_t i = 0; i < n; ++i) {
                float f[3] = {0, 0, 0};
                numbers(spaces[s][i], sptr + "/" + std::to_string(i), object,
                        "a texture coordinate", f, 2, 3);
                mesh.tex.back().push_back({f[0], f[1], f[2]});
            }
        }
    }
    const json &tris = spec["triangles"];
    if (!tris.is_array()) fail(ptr + "/triangles", object, "\"triangles\" must be a list");
    for (size_t t = 0; t < tris.size(); ++t) {
        const std::string tptr = ptr + "/triangles/" + std::to_string(t);
        if (!tris[t].is_array() || tris[t].size() != 3)
            fail(tptr, object, "a triangle is a list of 3 vertex indices");
        for (size_t k = 0; k < 3; ++k) {
            int i = integer(tris[t][k], tptr + "/" + std::to_string(k), object, "a vertex index");
            if (i < 0 || static_cast<size_t>(i) >= n)
                fail(tptr + "/" + std::to_string(k), object,
                     "vertex index " + std::to_string(i) + " out of range (" + std::to_string(n) +
                         " vertices)");
            mesh.tri.push_back(static_cast<uint32_t>(i));
        }
    }
    if (spec.contains("face_data")) {
        const json &fd = require_object(spec["face_data"], ptr + "/face_data", object);
        check_keys(fd, ptr + "/face_data", object, {"columns", "words"});
        const std::string fptr = ptr + "/face_data";
        if (!fd.contains("columns") || !fd["columns"].is_array())
            fail(fptr, object,
                 "\"face_data\" needs \"columns\": per column the index of its word, -1 absent");
        for (size_t i = 0; i < fd["columns"].size(); ++i)
            mesh.face_columns.push_back(integer(fd["columns"][i],
                                                fptr + "/columns/" + std::to_string(i), object,
                                                "a column index"));
        const json &words = fd.value("words", json::array());
        if (!words.is_array() || words.size() != mesh.triangles())
            fail(fptr + "/words", object,
                 "\"words\" must list the words of every triangle (" +
                     std::to_string(mesh.triangles()) + ")");
        mesh.face_stride = words.empty() ? 0 : static_cast<int>(words[0].size());
        for (size_t t = 0; t < words.size(); ++t) {
            if (!words[t].is_array() || static_cast<int>(words[t].size()) != mesh.face_stride)
                fail(fptr + "/words/" + std::to_string(t), object,
                     "every face has the same number of words");
            for (size_t k = 0; k < words[t].size(); ++k)
                mesh.face_words.push_back(integer(
                    words[t][k], fptr + "/words/" + std::to_string(t) + "/" + std::to_string(k),
                    object, "a word"));
        }
        for (int c : mesh.face_columns)
            if (c >= mesh.face_stride)
                fail(fptr + "/columns", object, "a column index is beyond the words of a face");
    }
}

void Loader::build_object(ObjectEntry &o, const json &spec, const std::string &ptr) {
    const std::string object = "object " + quote(o.name);
    require_object(spec, ptr, object);
    check_keys(
        spec, ptr, object,
        {"primitive", "size", "radius", "segments", "file", "vertices", "normals", "triangles",
         "texture_spaces", "motion", "face_data", "data", "label", "description"});
    build_mesh(o.mesh, spec, ptr, object);
    o.rec.triangles = static_cast<int32_t>(o.mesh.triangles());
    o.rec.texture_spaces = static_cast<int32_t>(o.mesh.tex.size());
    if (spec.contains("label"))
        o.rec.label = integer(spec["label"], ptr + "/label", object, "\"label\"");
    if (spec.contains("data"))
        o.rec.userdata = resolve_tag(Kind::Data, spec["data"], ptr + "/data", object, "data");
    Vector3 lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
    for (const Vector3 &p : o.mesh.P) {
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    }
    o.rec.bbox_min = lo;
    o.rec.bbox_max = hi;
    s_.db[o.tag].record = &o.rec;
    s_.db[o.tag].size = sizeof(zoObjectRecord);
}

void Loader::build_instance(InstanceEntry &inst, const json &spec, const std::string &ptr) {
    const std::string object = "instance " + quote(inst.name);
    require_object(spec, ptr, object);
    check_keys(spec, ptr, object,
               {"object", "transform", "translate", "rotate", "scale", "material", "data", "label",
                "id", "flags", "visibility", "lights", "exclude_lights", "description"});
    if (!spec.contains("object")) fail(ptr, object, "no \"object\" given");
    const json &ob = spec["object"];
    if (ob.is_string()) {
        auto it = object_by_name_.find(ob.get<std::string>());
        if (it == object_by_name_.end())
            fail(ptr + "/object", object, "unknown object " + quote(ob.get<std::string>()));
        inst.object = it->second;
    } else {
        s_.objects.emplace_back();
        ObjectEntry &o = s_.objects.back();
        o.name = inst.name;
        o.tag = s_.add_db(ZO_DB_OBJECT, nullptr, 0, o.name);
        s_.db[o.tag].owner = &o;
        build_object(o, ob, ptr + "/object");
        inst.object = &o;
    }
    zoInstanceRecord &r = inst.rec;
    r.item = inst.object->tag;
    r.label = inst.object->rec.label;
    r.visibility = 0x11;
    if (spec.contains("material"))
        r.material =
            resolve_tag(Kind::Material, spec["material"], ptr + "/material", object, "material");
    if (spec.contains("data"))
        r.userdata = resolve_tag(Kind::Data, spec["data"], ptr + "/data", object, "data");
    if (spec.contains("label"))
        r.label = integer(spec["label"], ptr + "/label", object, "\"label\"");
    if (spec.contains("lights") && spec.contains("exclude_lights"))
        fail(ptr + "/exclude_lights", object,
             "give either \"lights\" (the only lights) or \"exclude_lights\", not both");
    for (const char *key : {"lights", "exclude_lights"}) {
        if (!spec.contains(key)) continue;
        const json &list = spec[key];
        const std::string lptr = ptr + "/" + key;
        if (!list.is_array())
            fail(lptr, object, "\"" + std::string(key) + "\" must be a list of light names");
        inst.light_mode = std::string(key) == "lights" ? 1 : 2;
        for (size_t i = 0; i < list.size(); ++i)
            inst.listed_lights.push_back(
                resolve_tag(Kind::Light, list[i], lptr + "/" + std::to_string(i), object, "light"));
    }
    if (spec.contains("id")) r.id = integer(spec["id"], ptr + "/id", object, "\"id\"");
    if (spec.contains("flags"))
        r.flags = integer(spec["flags"], ptr + "/flags", object, "\"flags\"");
    if (spec.contains("visibility"))
        r.visibility = integer(spec["visibility"], ptr + "/visibility", object, "\"visibility\"");
    transform(spec, ptr, object, r.to_world);
    if (!mat_invert(r.from_world, r.to_world))
        fail(ptr, object, "the transform cannot be inverted");
}

// ---------------------------------------------------------------------------
// Camera, options, frame buffers.

void Loader::build_camera(const json &spec, const std::string &ptr) {
    const std::string object = "camera";
    require_object(spec, ptr, object);
    check_keys(
        spec, ptr, object,
        {"type",      "resolution", "focal",       "aperture", "aspect",   "offset",     "clip",
         "transform", "translate",  "rotate",      "scale",    "position", "look_at",    "up",
         "lens",      "output",     "environment", "volume",   "frame",    "description"});
    zoCamera &c = s_.camera.cam;
    if (spec.contains("type")) {
        std::string t = text(spec["type"], ptr + "/type", object, "\"type\"");
        if (t == "orthographic")
            c.orthographic = 1;
        else if (t != "perspective")
            fail(ptr + "/type", object,
                 "unknown camera type " + quote(t) + " (perspective or orthographic)");
    }
    if (spec.contains("resolution")) {
        float r[2];
        numbers(spec["resolution"], ptr + "/resolution", object, "\"resolution\"", r, 2, 2);
        if (r[0] < 1 || r[1] < 1 || r[0] > 65536 || r[1] > 65536)
            fail(ptr + "/resolution", object, "the resolution must be between 1 and 65536");
        c.x_resolution = static_cast<int>(r[0]);
        c.y_resolution = static_cast<int>(r[1]);
    }
    if (spec.contains("focal"))
        c.focal = number(spec["focal"], ptr + "/focal", object, "\"focal\"");
    if (spec.contains("aperture"))
        c.aperture = number(spec["aperture"], ptr + "/aperture", object, "\"aperture\"");
    if (spec.contains("aspect"))
        c.aspect = number(spec["aspect"], ptr + "/aspect", object, "\"aspect\"");
    if (c.focal <= 0 || c.aperture <= 0)
        fail(ptr, object, "\"focal\" and \"aperture\" must be positive");
    if (spec.contains("offset")) {
        float o[2];
        numbers(spec["offset"], ptr + "/offset", object, "\"offset\"", o, 2, 2);
        c.x_offset = o[0];
        c.y_offset = o[1];
    }
    if (spec.contains("clip")) {
        float o[2];
        numbers(spec["clip"], ptr + "/clip", object, "\"clip\"", o, 2, 2);
        c.clip_near = o[0];
        c.clip_far = o[1];
    }
    if (spec.contains("frame"))
        c.frame = integer(spec["frame"], ptr + "/frame", object, "\"frame\"");
    float *m = s_.camera.to_world;
    if (spec.contains("position") || spec.contains("look_at")) {
        Vector3 eye = spec.contains("position")
                          ? vec3(spec["position"], ptr + "/position", object, "\"position\"")
                          : Vector3{0, 0, 0};
        Vector3 at = spec.contains("look_at")
                         ? vec3(spec["look_at"], ptr + "/look_at", object, "\"look_at\"")
                         : Vector3{0, 0, -1};
        Vector3 up = spec.contains("up") ? vec3(spec["up"], ptr + "/up", object, "\"up\"")
                                         : Vector3{0, 1, 0};
        Vector3 z = normalize(eye - at);  // the camera looks down -Z
        Vector3 x = cross(up, z);
        if (dot(x, x) < 1e-12f) fail(ptr, object, "\"up\" is parallel to the viewing direction");
        x = normalize(x);
        Vector3 y = cross(z, x);
        float mm[16] = {x.x, x.y, x.z, 0, y.x,   y.y,   y.z,   0,
                        z.x, z.y, z.z, 0, eye.x, eye.y, eye.z, 1};
        memcpy(m, mm, sizeof mm);
    } else {
        transform(spec, ptr, object, m);
    }
    if (!mat_invert(s_.camera.from_world, m)) fail(ptr, object, "the transform cannot be inverted");
    auto list = [&](const char *key, std::vector<Tag> &out) {
        if (!spec.contains(key)) return;
        const json &v = spec[key];
        const std::string kptr = ptr + "/" + key;
        if (v.is_array()) {
            for (size_t i = 0; i < v.size(); ++i)
                if (Tag t = shader_ref(v[i], kptr + "/" + std::to_string(i), object,
                                       std::string("camera:") + key + std::to_string(i)))
                    out.push_back(t);
        } else if (Tag t = shader_ref(v, kptr, object, std::string("camera:") + key)) {
            out.push_back(t);
        }
    };
    list("lens", s_.camera.lens);
    list("output", s_.camera.output);
    if (!s_.camera.lens.empty()) c.lens = s_.camera.lens[0];
    if (!s_.camera.output.empty()) c.output = s_.camera.output[0];
    if (spec.contains("environment"))
        c.environment =
            shader_ref(spec["environment"], ptr + "/environment", object, "camera:environment");
    if (spec.contains("volume"))
        c.volume = shader_ref(spec["volume"], ptr + "/volume", object, "camera:volume");
}

void Loader::build_options(const json &spec, const std::string &ptr) {
    const std::string object = "options";
    require_object(spec, ptr, object);
    check_keys(spec, ptr, object,
               {"samples", "shadow", "render_mode", "trace", "reflection_depth", "refraction_depth",
                "trace_depth", "shadow_depth", "finalgather_rays", "filter", "gamma", "split_depth",
                "contrast", "data", "description"});
    zoOptions &o = s_.options;
    if (spec.contains("samples")) {
        o.samples = integer(spec["samples"], ptr + "/samples", object, "\"samples\"");
        if (o.samples < 1 || o.samples > 4096)
            fail(ptr + "/samples", object, "\"samples\" must be between 1 and 4096");
    }
    if (spec.contains("shadow")) {
        std::string m = text(spec["shadow"], ptr + "/shadow", object, "\"shadow\"");
        if (m == "off")
            o.shadow = ZO_SHADOW_OFF;
        else if (m == "on")
            o.shadow = ZO_SHADOW_ON;
        else if (m == "sorted")
            o.shadow = ZO_SHADOW_SORTED;
        else if (m == "segments")
            o.shadow = ZO_SHADOW_SEGMENTS;
        else
            fail(ptr + "/shadow", object,
                 "unknown shadow mode " + quote(m) + " (off, on, sorted or segments)");
    }
    if (spec.contains("render_mode")) {
        std::string m = text(spec["render_mode"], ptr + "/render_mode", object, "\"render_mode\"");
        if (m.size() != 1) fail(ptr + "/render_mode", object, "\"render_mode\" is one character");
        o.render_mode = m[0];
    }
    if (spec.contains("trace"))
        o.trace = boolean(spec["trace"], ptr + "/trace", object, "\"trace\"") ? 1 : 0;
    auto depth = [&](const char *key, int32_t &out) {
        if (spec.contains(key)) {
            out = integer(spec[key], ptr + "/" + key, object, quote(key));
            if (out < 0) fail(ptr + "/" + key, object, quote(key) + " must not be negative");
        }
    };
    depth("reflection_depth", o.reflection_depth);
    depth("refraction_depth", o.refraction_depth);
    depth("trace_depth", o.trace_depth);
    depth("shadow_depth", o.shadow_depth);
    depth("finalgather_rays", o.finalgather_rays);
    depth("split_depth", o.split_depth);
    if (spec.contains("contrast")) {
        float c[4];
        numbers(spec["contrast"], ptr + "/contrast", object, "\"contrast\"", c, 4, 4);
        for (int k = 0; k < 4; ++k) {
            if (!(c[k] > 0.0f)) fail(ptr + "/contrast", object, "\"contrast\" must be positive");
            o.contrast[k] = c[k];
        }
    }
    if (spec.contains("filter")) {
        std::string f = text(spec["filter"], ptr + "/filter", object, "\"filter\"");
        if (f == "nearest")
            o.filter = 0;
        else if (f == "bilinear")
            o.filter = 1;
        else if (f == "pyramid")
            o.filter = 2;
        else
            fail(ptr + "/filter", object,
                 "unknown filter " + quote(f) + " (nearest, bilinear or pyramid)");
    }
    if (spec.contains("gamma"))
        o.gamma = number(spec["gamma"], ptr + "/gamma", object, "\"gamma\"");
    if (spec.contains("data"))
        o.userdata = resolve_tag(Kind::Data, spec["data"], ptr + "/data", object, "data");
}

void Loader::build_framebuffers(const json &spec, const std::string &ptr) {
    if (!spec.is_array()) fail(ptr, "framebuffers", "\"framebuffers\" must be a list");
    for (size_t i = 0; i < spec.size(); ++i) {
        const std::string fptr = ptr + "/" + std::to_string(i);
        const std::string object = "frame buffer " + std::to_string(i);
        const json &f = require_object(spec[i], fptr, object);
        check_keys(f, fptr, object, {"index", "type", "file", "description"});
        if (!f.contains("index")) fail(fptr, object, "no \"index\" given");
        int index = integer(f["index"], fptr + "/index", object, "\"index\"");
        if (index < 0 || index >= kMaxFrameBuffers)
            fail(fptr + "/index", object,
                 "\"index\" must be between 0 and " + std::to_string(kMaxFrameBuffers - 1));
        if (static_cast<int>(s_.framebuffers.size()) <= index) s_.framebuffers.resize(index + 1);
        FrameBuffer &fb = s_.framebuffers[index];
        if (fb.type >= 0)
            fail(fptr + "/index", object,
                 "frame buffer " + std::to_string(index) + " is declared twice");
        fb.index = index;
        std::string type =
            f.contains("type") ? text(f["type"], fptr + "/type", object, "\"type\"") : "color";
        if (type == "color")
            fb.type = ZO_FB_COLOR, fb.components = 4;
        else if (type == "scalar")
            fb.type = ZO_FB_SCALAR, fb.components = 1;
        else if (type == "vector")
            fb.type = ZO_FB_VECTOR, fb.components = 3;
        else if (type == "integer")
            fb.type = ZO_FB_INTEGER, fb.components = 1;
        else
            fail(
                fptr + "/type", object,
                "unknown frame buffer type " + quote(type) + " (color, scalar, vector or integer)");
        if (f.contains("file"))
            // relative names are written next to the colour image
            fb.file = text(f["file"], fptr + "/file", object, "\"file\"");
    }
}

// ---------------------------------------------------------------------------

void Loader::run() {
    const json &r = root_;
    if (!r.is_object()) throw Error(s_.scene_file + ": a scene is a JSON object");
    check_keys(r, "", "scene",
               {"library", "declarations", "options", "camera", "shaders", "materials", "objects",
                "instances", "lights", "textures", "images", "data", "framebuffers", "output",
                "elements_into_exr", "description"});
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
    if (r.contains("camera")) build_camera(r["camera"], "/camera");
    if (s_.settings.width > 0) {
        c.x_resolution = s_.settings.width;
        c.y_resolution = s_.settings.height;
    }
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
    if (s_.instances.empty())
        message(kWarning, (s_.scene_file + ": scene: no instances; the image shows only the "
                                           "environment")
                              .c_str());
}

}  // namespace

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
    s.scene_file = path;
    s.scene_dir = dir_of(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot read the scene file: " + strerror(errno));
    std::stringstream ss;
    ss << in.rdbuf();
    s.scene_text = ss.str();
    json root;
    try {
        root = json::parse(s.scene_text);
    } catch (const json::parse_error &e) {
        TextPosition p = position_of(s.scene_text, e.byte > 0 ? e.byte - 1 : 0);
        std::string what = e.what();
        size_t colon = what.find(": ", what.find("parse error"));
        std::string reason = colon == std::string::npos ? what : what.substr(colon + 2);
        throw Error(path + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) +
                    ": malformed scene: " + reason);
    }
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

}  // namespace korhost
