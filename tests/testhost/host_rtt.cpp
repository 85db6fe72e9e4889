// Object meshes of the test host for the bake lens (see testhost_rtt.h).
// The mesh records are handed out through the database doubles: the
// support-library image table answers zo_db_access, the type table
// zo_db_type.
#include "testhost.h"
#include "testhost_rtt.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestRttHost *testhost_rtt() {
    static TestRttHost host;
    return &host;
}

HOST void testhost_rtt_mesh(Tag object, const std::vector<Vector3> *positions,
                            const std::vector<Vector3> *normals,
                            const std::vector<std::vector<Vector3>> *spaces,
                            const std::vector<int> *components,
                            const std::vector<uint32_t> *indices) {
    TestRttMesh &m = testhost_rtt()->meshes[object];
    m = TestRttMesh{};
    const bool hasNormals = normals && !normals->empty();
    const int count = spaces ? static_cast<int>(spaces->size()) : 0;
    zoMeshRecord &r = m.record;
    r.object.texture_spaces = count;
    r.object.triangles = static_cast<int32_t>(indices->size() / 3);
    r.vertex_count = static_cast<int32_t>(positions->size());
    r.normal_offset = hasNormals ? 3 : 0;
    r.texture_offset = hasNormals ? 6 : 3;
    r.texture_spaces = count;
    r.vertex_stride = r.texture_offset + 3 * count;
    r.index_count = static_cast<int32_t>(indices->size());
    for (int k = 0; k < count && k < ZO_MESH_MAX_TEXTURE_SPACES; ++k)
        r.texture_components[k] =
            components && k < static_cast<int>(components->size()) ? (*components)[k] : 2;
    m.vertices.assign(positions->size() * r.vertex_stride, 0.0f);
    for (size_t i = 0; i < positions->size(); ++i) {
        float *v = &m.vertices[i * r.vertex_stride];
        v[0] = (*positions)[i].x;
        v[1] = (*positions)[i].y;
        v[2] = (*positions)[i].z;
        if (hasNormals) {
            v[3] = (*normals)[i].x;
            v[4] = (*normals)[i].y;
            v[5] = (*normals)[i].z;
        }
        for (int k = 0; k < count; ++k) {
            const Vector3 t = (*spaces)[k][i];
            v[r.texture_offset + 3 * k] = t.x;
            v[r.texture_offset + 3 * k + 1] = t.y;
            v[r.texture_offset + 3 * k + 2] = t.z;
        }
    }
    m.indices = *indices;
    r.vertices = m.vertices.data();
    r.indices = m.indices.data();
    TestHostControl &h = *testhost_control();
    h.images[object] = reinterpret_cast<zoImage *>(&r);
    h.db_types[object] = ZO_DB_MESH;
}
