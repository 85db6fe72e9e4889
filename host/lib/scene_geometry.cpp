// Scene loading: transforms, primitive and file meshes, objects and
// their instances.
#include <fstream>
#include <sstream>

#include "import.h"
#include "scene_loader.h"
#include "upaxis.h"

namespace korhost {
namespace loading {

// Geometry.

void Loader::transform(const json &spec, const std::string &ptr, const std::string &object,
                       float *m) {
    mat_identity(m);
    if (spec.contains("transform")) {
        numbers(spec["transform"], ptr + "/transform", object, "\"transform\"", m, 16, 16);
        check_placement(m, ptr + "/transform", object);
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
    check_placement(m, ptr, object);
}

// A transform must be finite, invertible, with a finite inverse, and keep
// its origin within the world.
void Loader::check_placement(const float *m, const std::string &ptr,
                             const std::string &object) const {
    float inverse[16];
    if (!finite(m, 16) || !within_world({m[12], m[13], m[14]}))
        fail(ptr, object,
             std::string("the placement is out of range (coordinates up to ") + kMaxCoordinateText +
                 ")");
    if (!mat_invert(inverse, m) || !finite(inverse, 16))
        fail(ptr, object, "the transform cannot be inverted");
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
        // Side faces run v up the Z axis; top and bottom run v along X.
        Vector3 u = std::fabs(n.z) > 0.5f ? Vector3{1, 0, 0} : Vector3{0, 0, 1};
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

// An exact sphere's hits are handed on as facets of this mesh by their
// indices alone (sphere_facet): vertices ring by ring from the bottom pole,
// each ring round from +X with its first vertex again at its end, and one
// triangle a facet on the rings at the poles, two in every other ring.
void add_sphere_mesh(Mesh &m, float radius, int segments, int rings) {
    m.tex.assign(1, {});
    for (int j = 0; j <= rings; ++j) {
        float v = static_cast<float>(j) / rings;
        float theta = v * static_cast<float>(M_PI);
        for (int i = 0; i <= segments; ++i) {
            float u = static_cast<float>(i) / segments;
            float phi = u * 2 * static_cast<float>(M_PI);
            // Poles on the Z axis, v from the bottom one, u round from +X.
            Vector3 n = {std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi),
                         -std::cos(theta)};
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

// The sphere of add_sphere_mesh traced exact: the angles where its facets
// meet, worked out as add_sphere_mesh places the vertices.
void exact_sphere(Mesh &m, float radius, int segments, int rings, bool y_up) {
    Mesh::ExactSphere &sp = m.sphere;
    sp.radius = radius;
    sp.segments = segments;
    sp.rings = rings;
    sp.y_up = y_up;
    sp.traced[3] = radius;
    for (int j = 0; j <= rings; ++j)
        sp.ring_cos.push_back(std::cos(static_cast<float>(j) / rings * static_cast<float>(M_PI)));
    for (int i = 0; i <= segments; ++i) {
        const float phi = static_cast<float>(i) / segments * 2 * static_cast<float>(M_PI);
        sp.segment_dir.insert(sp.segment_dir.end(), {std::cos(phi), std::sin(phi)});
    }
}

void Loader::build_mesh(Mesh &mesh, const json &spec, const std::string &ptr,
                        const std::string &object) {
    if (spec.contains("exact") && !(spec.contains("primitive") && spec["primitive"] == "sphere"))
        fail(ptr + "/exact", object, "\"exact\" is for a sphere primitive only");
    if (spec.contains("primitive")) {
        std::string p = text(spec["primitive"], ptr + "/primitive", object, "\"primitive\"");
        if (p == "quad") {
            float sz[2] = {1, 1};
            if (spec.contains("size")) {
                if (spec["size"].is_number())
                    sz[0] = sz[1] = number(spec["size"], ptr + "/size", object, "\"size\"");
                else
                    numbers(spec["size"], ptr + "/size", object, "\"size\"", sz, 2, 2);
                if (!(sz[0] > 0 && sz[1] > 0))
                    fail(ptr + "/size", object, "the sides of a quad must be positive");
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
                if (!(sz.x > 0 && sz.y > 0 && sz.z > 0))
                    fail(ptr + "/size", object, "the sides of a box must be positive");
            }
            if (up_.z == 0) std::swap(sz.y, sz.z);  // as the Y-up scene sees it, below
            add_box_mesh(mesh, sz);
        } else if (p == "sphere") {
            float r = spec.contains("radius")
                          ? number(spec["radius"], ptr + "/radius", object, "\"radius\"")
                          : 1.0f;
            int seg = spec.contains("segments")
                          ? integer(spec["segments"], ptr + "/segments", object, "\"segments\"")
                          : 48;
            if (!(r > 0)) fail(ptr + "/radius", object, "the radius of a sphere must be positive");
            if (seg < 3 || seg > kMaxSphereSegments)
                fail(ptr + "/segments", object,
                     "\"segments\" must be between 3 and " + std::to_string(kMaxSphereSegments));
            const int rings = std::max(2, seg / 2);
            add_sphere_mesh(mesh, r, seg, rings);
            if (spec.contains("exact") &&
                boolean(spec["exact"], ptr + "/exact", object, "\"exact\""))
                exact_sphere(mesh, r, seg, rings, up_.z == 0);
        } else {
            fail(ptr + "/primitive", object,
                 "unknown primitive " + quote(p) + " (quad, box or sphere)");
        }
        if (up_.z == 0 && p != "quad") primitive_to_y_up(mesh);
        return;
    }
    if (spec.contains("model")) {
        // A mesh of an imported model (import.cpp), kept in binary form.
        const std::string model = text(spec["model"], ptr + "/model", object, "\"model\"");
        const int index =
            spec.contains("model_mesh")
                ? integer(spec["model_mesh"], ptr + "/model_mesh", object, "\"model_mesh\"")
                : -1;
        if (!take_model_mesh(s_, model, index, mesh))
            fail(ptr + "/model", object, "no mesh " + std::to_string(index) + " of model " + model);
        return;
    }
    if (spec.contains("file")) {
        std::string path =
            join_path(s_.scene_dir, text(spec["file"], ptr + "/file", object, "\"file\""));
        if (!regular_file(path)) fail(ptr + "/file", object, "cannot read mesh file " + path);
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in) fail(ptr + "/file", object, "cannot read mesh file " + path);
        std::vector<std::string> warnings;
        try {
            read_obj_mesh(text.str(), path, mesh, warnings);
        } catch (const Error &e) {
            fail(ptr + "/file", object, e.what());
        }
        for (const std::string &w : warnings)
            message(kWarning, (where(ptr + "/file") + ": " + object + ": " + w).c_str());
        if (mesh.tri.empty()) fail(ptr + "/file", object, "mesh file " + path + " holds no faces");
        return;
    }
    if (!spec.contains("vertices") || !spec.contains("triangles"))
        fail(ptr, object,
             "no geometry: give \"primitive\", \"file\" or \"vertices\" and \"triangles\"");
    const json &verts = spec["vertices"];
    if (!verts.is_array()) fail(ptr + "/vertices", object, "\"vertices\" must be a list");
    if (verts.size() > static_cast<size_t>(kMaxMeshVertices))
        fail(
            ptr + "/vertices", object,
            "more than " + std::to_string(kMaxMeshVertices) + " vertices, the limit of one object");
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
    if (tris.size() > static_cast<size_t>(kMaxMeshTriangles))
        fail(ptr + "/triangles", object,
             "more than " + std::to_string(kMaxMeshTriangles) +
                 " triangles, the limit of one object");
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
            if (c < -1 || c >= mesh.face_stride)
                fail(fptr + "/columns", object,
                     "a column index is -1 (absent) or one of the words of a face");
    }
}

void Loader::build_object(ObjectEntry &o, const json &spec, const std::string &ptr) {
    const std::string object = "object " + quote(o.name);
    require_object(spec, ptr, object);
    check_keys(spec, ptr, object,
               {"primitive", "size", "radius", "segments", "exact", "file", "vertices", "normals",
                "triangles", "texture_spaces", "motion", "face_data", "data", "label",
                "description", "import", "model", "model_mesh"});
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
    check_keys(
        spec, ptr, object,
        {"object", "transform", "translate", "rotate", "scale", "material", "data", "label", "id",
         "flags", "visibility", "lights", "exclude_lights", "description", "node_transform"});
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
    if (spec.contains("node_transform")) {
        // A node of an imported model: its place in the model, then the instance's.
        float node[16], placed[16];
        numbers(spec["node_transform"], ptr + "/node_transform", object, "\"node_transform\"", node,
                16, 16);
        mat_mul(placed, node, r.to_world);
        memcpy(r.to_world, placed, sizeof placed);
    }
    if (!mat_invert(r.from_world, r.to_world))
        fail(ptr, object, "the transform cannot be inverted");
    const zoObjectRecord &o = inst.object->rec;
    if (o.triangles > 0) {
        for (int corner = 0; corner < 8; ++corner) {
            const Vector3 p = {corner & 1 ? o.bbox_max.x : o.bbox_min.x,
                               corner & 2 ? o.bbox_max.y : o.bbox_min.y,
                               corner & 4 ? o.bbox_max.z : o.bbox_min.z};
            if (!within_world(xform_point(r.to_world, p)))
                fail(ptr, object,
                     "the placed object reaches beyond the world (coordinates up to " +
                         std::string(kMaxCoordinateText) + ")");
        }
    }
}

}  // namespace loading
}  // namespace korhost
