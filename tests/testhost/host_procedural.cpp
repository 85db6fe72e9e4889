// Test doubles for the procedural maps: the host's vector transform by a
// 4x4 matrix (row vectors, p' = p M).
#include <korshaders/host.h>

#define HOST extern "C" __attribute__((visibility("default")))

HOST void zo_vector_transform(Vector3 *out, const Vector3 *in, const zoMatrix m) {
    if (!out || !in || !m) return;
    const Vector3 v = *in;
    *out = {v.x * m[0] + v.y * m[4] + v.z * m[8], v.x * m[1] + v.y * m[5] + v.z * m[9],
            v.x * m[2] + v.y * m[6] + v.z * m[10]};
}
