// The test host's object meshes for the bake lens: mesh records (database
// type ZO_DB_MESH) that zo_db_access hands out for object tags.
#pragma once

#include <korshaders/host.h>

#include <map>
#include <vector>

struct TestRttMesh {
    std::vector<float> vertices;  // interleaved, record.vertex_stride per vertex
    std::vector<uint32_t> indices;
    zoMeshRecord record{};
};

struct TestRttHost {
    std::map<Tag, TestRttMesh> meshes;  // object tag -> mesh

    void reset() { meshes.clear(); }
};

extern "C" TestRttHost *testhost_rtt();

// Lays out a mesh from positions, optional normals (empty: none), texture
// spaces (per space, per vertex, `components[k]` values used) and triangle
// vertex indices, and makes zo_db_access and zo_db_type of `object` answer
// it. Call after the host control's reset.
extern "C" void testhost_rtt_mesh(Tag object, const std::vector<Vector3> *positions,
                                  const std::vector<Vector3> *normals,
                                  const std::vector<std::vector<Vector3>> *spaces,
                                  const std::vector<int> *components,
                                  const std::vector<uint32_t> *indices);
