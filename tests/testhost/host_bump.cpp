// Test doubles for the bump, normal, displacement and environment shaders
// (see testhost_bump.h).
#include "testhost_bump.h"

#define HOST extern "C" __attribute__((visibility("default")))

HOST TestBumpHost *testhost_bump() {
    static TestBumpHost host;
    return &host;
}

zoBoolean testhost_bump_query(int code, RenderState *, Tag, void *result) {
    const TestBumpHost &b = *testhost_bump();
    if (code != ZO_Q_BUMP_STATE || !b.answer_bump_state) return 0;
    *static_cast<int *>(result) = b.bump_state;
    return 1;
}

void testhost_turn(int space, bool into, Vector3 *out, const Vector3 *in) {
    const TestBumpHost &b = *testhost_bump();
    const Vector3 v = *in;
    if (!b.turn_spaces) {
        *out = v;
        return;
    }
    const float *r = space == 0 ? b.world : space == 1 ? b.camera : b.object;
    if (into)
        *out = {v.x * r[0] + v.y * r[3] + v.z * r[6], v.x * r[1] + v.y * r[4] + v.z * r[7],
                v.x * r[2] + v.y * r[5] + v.z * r[8]};
    else
        *out = {v.x * r[0] + v.y * r[1] + v.z * r[2], v.x * r[3] + v.y * r[4] + v.z * r[5],
                v.x * r[6] + v.y * r[7] + v.z * r[8]};
}
