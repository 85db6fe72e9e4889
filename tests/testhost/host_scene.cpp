// Scene database doubles of the test host (see testhost_scene.h).
#include <cstring>

#include "testhost.h"
#include "testhost_scene.h"
#include "testhost_ao.h"
#include "testhost_bump.h"

#define HOST extern "C" __attribute__((visibility("default")))

// Images of the support-library doubles (host_support.cpp).
void *testhost_image(Tag tag);
// Light instance and light shader queries (host_atmosphere.cpp).
zoBoolean testhost_atmosphere_query(int code, RenderState *state, Tag tag, void *result);

HOST TestScene *testhost_scene() {
    static TestScene scene;
    return &scene;
}

zoBoolean testhost_scene_query(int code, RenderState *state, Tag tag, void *result) {
    TestScene &s = *testhost_scene();
    switch (code) {
        case ZO_Q_OBJ_DATA:
            if (!s.object_data) return 0;
            *static_cast<Tag *>(result) = s.object_data;
            return 1;
        case ZO_Q_INST_DATA: {
            if (!tag) {
                auto list = state ? s.light_lists.find(state->instance) : s.light_lists.end();
                if (list == s.light_lists.end()) return 0;
                *static_cast<Tag *>(result) = list->second;
                return 1;
            }
            auto it = s.instance_data.find(tag);
            if (it == s.instance_data.end()) return 0;
            *static_cast<Tag *>(result) = it->second;
            return 1;
        }
        case ZO_Q_PRI_DATA: {
            if (!s.has_face_data) return 0;
            auto *face = static_cast<zoFaceData *>(result);
            face->columns = static_cast<int32_t>(s.face_columns.size());
            face->column_index = s.face_columns.data();
            face->words = s.face_words.data();
            return 1;
        }
        case ZO_Q_NUM_TEXTURES: *static_cast<int *>(result) = s.textures; return 1;
        case ZO_Q_NUM_GLOBAL_LIGHTS:
            if (!s.has_global_lights) return 0;
            *static_cast<int *>(result) = static_cast<int>(s.global_lights.size());
            return 1;
        case ZO_Q_GLOBAL_LIGHTS:
            if (!s.has_global_lights) return 0;
            *static_cast<const Tag **>(result) = s.global_lights.data();
            return 1;
        case ZO_Q_OBJ_BBOX_MIN: *static_cast<Vector3 *>(result) = s.bbox_min; return 1;
        case ZO_Q_OBJ_BBOX_MAX: *static_cast<Vector3 *>(result) = s.bbox_max; return 1;
        case ZO_Q_TRANS_INTERNAL_TO_CAMERA:
            if (!s.camera_matrix) return 0;
            *static_cast<const float **>(result) = s.camera_matrix;
            return 1;
        case ZO_Q_BUMP_STATE: return testhost_bump_query(code, state, tag, result);
        case ZO_Q_INSTANCE_NAME: return testhost_ao_query(code, state, tag, result);
        default: return testhost_atmosphere_query(code, state, tag, result);
    }
}

HOST void *zo_db_access(Tag tag) {
    TestScene &s = *testhost_scene();
    if (auto it = s.instances.find(tag); it != s.instances.end()) {
        ++s.pins;
        return &it->second;
    }
    if (auto it = s.objects.find(tag); it != s.objects.end()) {
        ++s.pins;
        return &it->second;
    }
    return testhost_image(tag);
}

HOST void zo_db_unpin(Tag) { ++testhost_scene()->unpins; }

HOST zoBoolean zo_tri_vectors(RenderState *, int which, int set, Vector3 v[3]) {
    TestScene &s = *testhost_scene();
    auto it = s.triangles.find({which, set});
    if (it == s.triangles.end()) return 0;
    for (int i = 0; i < 3; ++i) v[i] = it->second[i];
    return 1;
}
