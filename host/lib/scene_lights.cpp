// Scene loading: lights, their placement and profiles.
#include "ies.h"
#include "scene_loader.h"

namespace korhost {
namespace loading {

// A transform that puts the origin at `origin` and turns -Z onto `direction`,
// its +Y as near to `world_up` as can be.
void aim(float *m, const Vector3 &origin, const Vector3 &direction, const Vector3 &world_up) {
    mat_identity(m);
    const Vector3 z = normalize(direction * -1.0f);
    const Vector3 up = std::fabs(dot(z, world_up)) < 0.999f ? world_up : Vector3{1, 0, 0};
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
    check_keys(
        spec, ptr, object,
        {"shader", "type", "origin", "direction", "transform", "translate", "rotate", "scale",
         "area", "samples", "spread", "shadow", "id", "data", "profile", "description"});
    zoLightRecord &r = l.rec;
    r.direction = {0, 0, -1};
    r.samples_u = r.samples_v = 1;
    r.shadow = 1;
    r.spread = 0.5f;
    if (spec.contains("shader"))
        r.shader = shader_ref(spec["shader"], ptr + "/shader", object, l.name + ":shader");
    if (spec.contains("profile")) {
        const json &sh = spec.value("shader", json());
        const json *params = sh.is_string() && root_.contains("shaders") &&
                                     root_["shaders"].contains(sh.get<std::string>())
                                 ? &root_["shaders"][sh.get<std::string>()]
                                 : &sh;
        params = params->is_object() && params->contains("params") ? &(*params)["params"] : nullptr;
        attach_light_profile(
            s_, l,
            join_path(s_.scene_dir, text(spec["profile"], ptr + "/profile", object, "\"profile\"")),
            params, where(ptr + "/profile"));
    }
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
    if (spec.contains("origin")) {
        r.origin = vec3(spec["origin"], ptr + "/origin", object, "\"origin\"");
        if (!within_world(r.origin))
            fail(ptr + "/origin", object,
                 std::string("\"origin\" is out of range (coordinates up to ") +
                     kMaxCoordinateText + ")");
    }
    if (spec.contains("direction")) {
        const Vector3 d = vec3(spec["direction"], ptr + "/direction", object, "\"direction\"");
        const double length = std::sqrt(double(d.x) * d.x + double(d.y) * d.y + double(d.z) * d.z);
        if (!(length > 1e-20))
            fail(ptr + "/direction", object, "\"direction\" must not be the zero vector");
        r.direction = {static_cast<float>(d.x / length), static_cast<float>(d.y / length),
                       static_cast<float>(d.z / length)};
    }
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
        for (float x : f)
            if (!(x >= 1 && x <= kMaxLightSamples) || x != std::floor(x))
                fail(ptr + "/samples", object,
                     "\"samples\" must be whole numbers from 1 to " +
                         std::to_string(kMaxLightSamples));
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
        aim(l.inst.to_world, r.origin, r.direction, up_);
        r.origin = {0, 0, 0};
        r.direction = {0, 0, -1};
    }
    mat_invert(l.inst.from_world, l.inst.to_world);
    r.instance = l.instance;
}

}  // namespace loading
}  // namespace korhost
