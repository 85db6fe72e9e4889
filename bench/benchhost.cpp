// A minimal host module for the benchmarks: enough of the host's answers
// for the binding and shading-context benchmarks, with no bookkeeping.
#include <korshaders/host.h>

#define HOST extern "C" __attribute__((visibility("default")))

HOST float zo_noise_1d(float p) { return p * 0.5f; }

// One triangle in front of the camera, with a texture triangle.
HOST zoBoolean zo_tri_vectors(RenderState *, int which, int, Vector3 v[3]) {
    switch (which) {
        case ZO_TRI_POSITION:
            v[0] = {-1, -1, -3};
            v[1] = {1.5f, -0.8f, -3.5f};
            v[2] = {0, 1, -2.5f};
            return 1;
        case ZO_TRI_TEXTURE:
            v[0] = {0, 0, 0};
            v[1] = {1, 0, 0};
            v[2] = {0, 1, 0};
            return 1;
        default: return 0;
    }
}

// Internal, camera and object space coincide.
#define IDENTITY(name) \
    HOST void name(Vector3 *out, RenderState *, const Vector3 *in) { *out = *in; }
IDENTITY(zo_point_to_camera)
IDENTITY(zo_point_from_object)
IDENTITY(zo_normal_to_camera)
IDENTITY(zo_vector_to_camera)

HOST void *zo_shaderstate_get(RenderState *, const char *, int *) { return nullptr; }
HOST zoBoolean zo_query(int, RenderState *, Tag, void *, ...) { return 0; }
