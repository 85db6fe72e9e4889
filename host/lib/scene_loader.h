// The scene loader's shared parts: value conversions, the records under
// construction and the Loader, whose steps live in scene_*.cpp by concept
// (records and shaders, lights, geometry, camera and options, the run).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "jsonloc.h"
#include "scene_load.h"
#include "session.h"

namespace korhost {
namespace loading {

inline bool file_exists(const std::string &path) {
    return access(path.c_str(), R_OK) == 0;
}

// A readable regular file: a device or a pipe could be read forever.
inline bool regular_file(const std::string &path) {
    struct stat st;
    return file_exists(path) && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

inline std::string json_kind(const json &v) {
    switch (v.type()) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return "a boolean";
        case json::value_t::string: return "a string";
        case json::value_t::array: return "a list";
        case json::value_t::object: return "an object";
        default: return "a number";
    }
}

inline std::string quote(const std::string &s) {
    return "'" + s + "'";
}

// A JSON number as a float, or why it cannot be one.
inline bool to_float(const json &v, float &out, std::string &problem) {
    const double d = v.get<double>();
    if (!std::isfinite(d) || std::fabs(d) > FLT_MAX) {
        problem = "the number " + v.dump() + " is out of range (a float holds up to 3.4e38)";
        return false;
    }
    out = static_cast<float>(d);
    return true;
}

// A JSON integer as a 32-bit integer, or why it cannot be one.
inline bool to_int(const json &v, int32_t &out, std::string &problem) {
    if (v.is_number_unsigned() ? v.get<uint64_t>() > INT32_MAX
                               : v.get<int64_t>() > INT32_MAX || v.get<int64_t>() < INT32_MIN) {
        problem = "the integer " + v.dump() + " is out of range (-2147483648 to 2147483647)";
        return false;
    }
    out = static_cast<int32_t>(v.get<int64_t>());
    return true;
}

inline bool finite(const float *m, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(m[i])) return false;
    return true;
}

inline bool finite(const Vector3 &v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// Rays start only within this distance of the origin (beyond it the ray
// tracer cannot represent them), so every placed thing stays inside it.
inline constexpr float kMaxCoordinate = 1e15f;
inline const char *const kMaxCoordinateText = "1e15";

inline bool within_world(const Vector3 &p) {
    return finite(p) && std::fabs(p.x) <= kMaxCoordinate && std::fabs(p.y) <= kMaxCoordinate &&
           std::fabs(p.z) <= kMaxCoordinate;
}

struct PendingConnection {
    ShaderInstance *instance;
    size_t offset;  // of the parameter in the record
    std::string target, field;
    TypeRef type;
    std::string ptr, param;
};

// A parameter that names another shader, which the holder may run.
struct ShaderLink {
    Tag target;
    std::string ptr;
};

struct Builder {
    std::vector<uint8_t> bytes;
    bool allow_connections = false;
    std::vector<PendingConnection> conns;
    std::vector<ShaderLink> links;
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
    Vector3 up_{0, 0, 1};  // world up as the scene's numbers are written
    // Per shader instance, the shaders it may run: its connections and its
    // parameters of type shader, with where the scene says so.
    std::map<const ShaderInstance *, std::vector<ShaderLink>> links_;

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
    static std::string escape(const std::string &key) { return pointer_token(key); }
    const json &require_object(const json &v, const std::string &ptr,
                               const std::string &object) const {
        if (!v.is_object()) fail(ptr, object, "expected an object, got " + json_kind(v));
        return v;
    }

    // ---- values ----
    float number(const json &v, const std::string &ptr, const std::string &object,
                 const std::string &what) const {
        if (!v.is_number()) fail(ptr, object, what + " must be a number, got " + json_kind(v));
        float f;
        std::string problem;
        if (!to_float(v, f, problem)) fail(ptr, object, what + ": " + problem);
        return f;
    }
    int integer(const json &v, const std::string &ptr, const std::string &object,
                const std::string &what) const {
        if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
        if (!v.is_number_integer())
            fail(ptr, object, what + " must be an integer, got " + json_kind(v));
        int32_t i;
        std::string problem;
        if (!to_int(v, i, problem)) fail(ptr, object, what + ": " + problem);
        return i;
    }
    bool boolean(const json &v, const std::string &ptr, const std::string &object,
                 const std::string &what) const {
        if (v.is_boolean()) return v.get<bool>();
        if (v.is_number_integer()) return v.get<int64_t>() != 0;
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
    void check_placement(const float *m, const std::string &ptr, const std::string &object) const;
    void build_camera(const json &spec, const std::string &ptr);
    void build_options(const json &spec, const std::string &ptr);
    void build_contour(const json *spec, const std::string &ptr);
    void build_framebuffers(const json &spec, const std::string &ptr);
    void resolve_connections();
    void check_shader_links();
};

}  // namespace loading
}  // namespace korhost
