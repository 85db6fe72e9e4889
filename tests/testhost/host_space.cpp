// Spaces, shader state and sampling doubles of the test host. Internal,
// world, camera and object space coincide (vectors and normals may be
// turned, see testhost_bump.h); raster space is the
// perspective projection of a camera looking down -z with +y up, raster y
// counted upward from the bottom row.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "testhost_scene.h"
#include "testhost_bump.h"

#define HOST extern "C" __attribute__((visibility("default")))

namespace {

void copy(Vector3 *out, RenderState *, const Vector3 *in) { *out = *in; }

struct Slot {
    std::vector<char> bytes;
};

std::map<std::string, Slot> &slots() {
    static std::map<std::string, Slot> s;
    return s;
}

}  // namespace

#define IDENTITY(name) \
    HOST void name(Vector3 *out, RenderState *state, const Vector3 *in) { copy(out, state, in); }
IDENTITY(zo_point_to_world)
IDENTITY(zo_point_to_camera)
IDENTITY(zo_point_to_object)
IDENTITY(zo_point_from_world)
IDENTITY(zo_point_from_camera)
IDENTITY(zo_point_from_object)
// vectors and normals follow the turned spaces of testhost_bump.h
#define TURNED(name, space, into)                                         \
    HOST void name(Vector3 *out, RenderState *, const Vector3 *in) {      \
        testhost_turn(space, into, out, in);                              \
    }
TURNED(zo_vector_to_world, 0, true)
TURNED(zo_vector_to_camera, 1, true)
TURNED(zo_vector_to_object, 2, true)
TURNED(zo_vector_from_world, 0, false)
TURNED(zo_vector_from_camera, 1, false)
TURNED(zo_vector_from_object, 2, false)
TURNED(zo_normal_to_world, 0, true)
TURNED(zo_normal_to_camera, 1, true)
TURNED(zo_normal_to_object, 2, true)
TURNED(zo_normal_from_world, 0, false)
TURNED(zo_normal_from_camera, 1, false)
TURNED(zo_normal_from_object, 2, false)

HOST void zo_point_to_raster(Vector3 *out, RenderState *state, const Vector3 *in) {
    const zoCamera *c = state->camera;
    const float scale = c->focal * c->x_resolution / c->aperture;
    out->x = c->x_resolution / 2.0f + scale * in->x / -in->z;
    out->y = c->y_resolution / 2.0f + scale * in->y / -in->z;
    out->z = in->z;
}

HOST zoBoolean zo_shaderstate_set(RenderState *, const char *key, const void *value, int size,
                                  int) {
    if (size <= 0) {
        slots().erase(key);
        return 1;
    }
    Slot &slot = slots()[key];
    slot.bytes.assign(static_cast<const char *>(value), static_cast<const char *>(value) + size);
    return 1;
}

HOST void *zo_shaderstate_get(RenderState *, const char *key, int *size) {
    auto it = slots().find(key);
    if (it == slots().end()) return nullptr;
    if (size) *size = static_cast<int>(it->second.bytes.size());
    return it->second.bytes.data();
}

HOST void testhost_clear_shaderstate() { slots().clear(); }

HOST zoBoolean zo_sample(double *sample, int *counter, RenderState *, int dimension, const int *) {
    for (int i = 0; i < dimension; ++i) sample[i] = testhost_scene()->sample_value;
    if (counter) ++*counter;
    return 1;
}
