// The test host's scene database: instances, objects, user data blocks,
// per-face data and triangle vectors that tests set up.
#pragma once

#include <korshaders/host.h>

#include <array>
#include <map>
#include <vector>

struct TestScene {
    std::map<Tag, zoInstanceRecord> instances;
    std::map<Tag, zoObjectRecord> objects;
    std::map<Tag, Tag> instance_data;  // query 102: instance -> user-data tag
    std::map<Tag, Tag> light_lists;    // query 102 with tag 0: state's instance -> list item
    Tag object_data = 0;               // query 114 answer; 0: the query fails
    bool has_face_data = false;        // query 154
    std::vector<int32_t> face_columns; // column index table
    std::vector<int32_t> face_words;
    // zo_tri_vectors: (code, set) -> three vertex vectors
    std::map<std::pair<int, int>, std::array<Vector3, 3>> triangles;
    int textures = 0;                   // query 82
    Vector3 bbox_min{0, 0, 0}, bbox_max{0, 0, 0};  // queries 94, 95
    const float *camera_matrix = nullptr;          // query 76
    long pins = 0, unpins = 0;
    double sample_value = 0.5;  // every zo_sample component
    // queries 70 and 71: the scene's global lights; both fail when unset
    bool has_global_lights = false;
    std::vector<Tag> global_lights;

    void reset() { *this = TestScene{}; }
};

extern "C" TestScene *testhost_scene();
