// The geometry both benchmark host modules shade: one triangle in front of
// the camera with its texture triangle, internal, camera, object and world
// space all the same. Included once by each module, after it defines HOST.
#ifndef KORSHADERS_BENCH_BENCHSCENE_H
#define KORSHADERS_BENCH_BENCHSCENE_H

#include <korshaders/host.h>

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

#define KOR_BENCH_IDENTITY(name)                                     \
    HOST void name(Vector3 *out, RenderState *, const Vector3 *in) { \
        *out = *in;                                                  \
    }
KOR_BENCH_IDENTITY(zo_point_to_camera)
KOR_BENCH_IDENTITY(zo_point_from_camera)
KOR_BENCH_IDENTITY(zo_point_to_object)
KOR_BENCH_IDENTITY(zo_point_from_object)
KOR_BENCH_IDENTITY(zo_point_to_raster)
KOR_BENCH_IDENTITY(zo_normal_to_camera)
KOR_BENCH_IDENTITY(zo_normal_from_object)
KOR_BENCH_IDENTITY(zo_vector_to_camera)
KOR_BENCH_IDENTITY(zo_vector_from_camera)
KOR_BENCH_IDENTITY(zo_vector_from_object)
KOR_BENCH_IDENTITY(zo_vector_to_world)
#undef KOR_BENCH_IDENTITY

#endif
