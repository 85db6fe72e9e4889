// Object meshes in box form for the bake lens: every object's database
// entry is a zoMeshRecord (type ZO_DB_MESH) whose first part is the object's
// own record, followed by the interleaved vertices (position, normal,
// texture spaces) and the triangle indices of the object's mesh.
#include <cstring>

#include "session.h"

namespace korhost {

void build_mesh_record(Session &s, ObjectEntry &o) {
    const Mesh &m = o.mesh;
    zoMeshRecord &r = o.mesh_rec;
    r = zoMeshRecord{};
    r.object = o.rec;
    const int spaces = static_cast<int>(std::min<size_t>(m.tex.size(), ZO_MESH_MAX_TEXTURE_SPACES));
    const bool normals = !m.N.empty() && m.N.size() == m.P.size();
    r.normal_offset = normals ? 3 : 0;
    r.texture_offset = normals ? 6 : 3;
    r.texture_spaces = spaces;
    r.vertex_stride = r.texture_offset + 3 * spaces;
    r.vertex_count = static_cast<int32_t>(m.P.size());
    r.index_count = static_cast<int32_t>(m.tri.size());
    // A space carries a third value when any of its coordinates has one.
    for (int k = 0; k < spaces; ++k) {
        r.texture_components[k] = 2;
        for (const Vector3 &t : m.tex[k])
            if (t.z != 0.0f) {
                r.texture_components[k] = 3;
                break;
            }
    }
    o.mesh_vertices.assign(static_cast<size_t>(r.vertex_count) * r.vertex_stride, 0.0f);
    for (size_t i = 0; i < m.P.size(); ++i) {
        float *v = &o.mesh_vertices[i * r.vertex_stride];
        v[0] = m.P[i].x;
        v[1] = m.P[i].y;
        v[2] = m.P[i].z;
        if (normals) {
            v[3] = m.N[i].x;
            v[4] = m.N[i].y;
            v[5] = m.N[i].z;
        }
        for (int k = 0; k < spaces; ++k) {
            const Vector3 t = i < m.tex[k].size() ? m.tex[k][i] : Vector3{0, 0, 0};
            float *slot = v + r.texture_offset + 3 * k;
            slot[0] = t.x;
            slot[1] = t.y;
            slot[2] = t.z;
        }
    }
    r.vertices = o.mesh_vertices.data();
    r.indices = m.tri.data();
    if (DbItem *item = s.item(o.tag)) {
        item->type = ZO_DB_MESH;
        item->record = &o.mesh_rec;
        item->size = sizeof(zoMeshRecord);
    }
}

}  // namespace korhost
