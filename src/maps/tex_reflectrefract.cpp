// kor_ReflectRefract and kor_Refract: reflection from traced rays or from
// six cube-face images, and traced refraction. The reflect/refract map
// hands refraction kinds to the refraction map.
#include <math.h>
#include <stddef.h>
#include <string.h>

#include "kor_base.h"
#include "kor_vector.h"
#include "maps/tex_reflect.h"
#include "scenedata.h"
#include "shader.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_reflectrefract";
constexpr float kBlurScale = 1000.0f;

// Both records begin alike, so that the reflect/refract map can hand its
// own record to the refraction map.
struct RefractParams {
    zoBoolean blurOn;
    float blur;
    int32_t gbufferId;
};

enum : int32_t { kSourceTraced = 0, kSourceCubeImages = 1 };
constexpr int kFaces = 6;  // +X, -X, +Y, -Y, +Z, -Z

struct ReflectRefractParams {
    zoBoolean blurOn;
    float blur;
    int32_t gbufferId;
    int32_t source;
    Tag faces[kFaces];
};
static_assert(offsetof(ReflectRefractParams, faces) == 16, "reflect/refract layout");

struct ReflectRefractInstance {
    GammaTable *gamma;
    Tag faceTags[kFaces];
    const zoImage *faces[kFaces];  // pinned from init to exit
};

float blurOf(RenderState *state, const RefractParams *p) {
    return eval(state, &p->blurOn) ? eval(state, &p->blur) : -1.0f;
}

ReflectRefractInstance *instanceOf(RenderState *state) {
    void **slot = user_slot(state);
    return slot ? static_cast<ReflectRefractInstance *>(*slot) : nullptr;
}

void destroyInstance(ReflectRefractInstance *inst) {
    if (!inst) return;
    for (int k = 0; k < kFaces; ++k)
        if (inst->faces[k]) zo_db_unpin(inst->faceTags[k]);
    gammaFree(inst->gamma);
    zo_mem_int_release(kModule, __LINE__, inst);
}

}  // namespace

namespace kor {

// The face (0 +X, 1 -X, 2 +Y, 3 -Y, 4 +Z, 5 -Z) a world direction points
// at and the coordinates on it: with c the dominant component and a, b the
// other two in axis order (y, z on the X faces, x, z on the Y faces, x, y on
// the Z faces), ((a/c + 1)/2, (b/c + 1)/2). -1 for the zero vector.
int cubeImageFace(const Vector3 &d, float *u, float *v) {
    const float ax = fabsf(d.x), ay = fabsf(d.y), az = fabsf(d.z);
    float a, b, c;
    int face;
    if (ax >= ay && ax >= az) {
        c = d.x, a = d.y, b = d.z;
        face = d.x >= 0.0f ? 0 : 1;
    } else if (ay >= az) {
        c = d.y, a = d.x, b = d.z;
        face = d.y >= 0.0f ? 2 : 3;
    } else {
        c = d.z, a = d.x, b = d.y;
        face = d.z >= 0.0f ? 4 : 5;
    }
    if (c == 0.0f) return -1;
    *u = (a / c + 1.0f) * 0.5f;
    *v = (b / c + 1.0f) * 0.5f;
    return face;
}

}  // namespace kor

namespace {

int pixelIndex(float t, int size) {
    int i = static_cast<int>(floorf(t * size));
    return i < 0 ? 0 : i >= size ? size - 1 : i;
}

// The cube image's colour along the reflected direction.
Color cubeLookup(RenderState *state, const ReflectRefractInstance *inst, const Vector3 &dir) {
    Vector3 world = dir;
    zo_vector_to_world(&world, state, &dir);
    float u = 0.0f, v = 0.0f;
    const int face = cubeImageFace(world, &u, &v);
    const zoImage *image = face >= 0 && inst ? inst->faces[face] : nullptr;
    if (!image) return kOpaqueBlack;
    const int w = zo_img_get_width(image), h = zo_img_get_height(image);
    if (w < 1 || h < 1) return kOpaqueBlack;
    Color c = kOpaqueBlack;
    zo_img_get_color(image, &c, pixelIndex(u, w), pixelIndex(v, h));
    gammaApply(&c, inst->gamma);
    return c;
}

}  // namespace

KOR_EXPORT zoBoolean kor_Refract(Color *result, RenderState *state, RefractParams *params,
                                 const int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        *result = kOpaqueBlack;
        return 0;
    }
    const ReflectCall call = reflectCallBegin(state);
    if (call.kind == kKindNoResult) {
        reflectCallEnd(state, call);
        return 0;
    }
    writeGBufferId(state, eval(state, &params->gbufferId));
    if (bumpMode(mapMode(mode))) {
        *result = kOpaqueBlack;
    } else if (call.kind == kKindRefraction) {
        traceReflectRefract(result, state, call, kKindRefraction, blurOf(state, params), kBlurScale,
                            -1.0f);
    } else if (call.kind == kKindPhotonTransmitSpecular ||
               call.kind == kKindPhotonTransmitDiffuse) {
        photonContinue(result, state, call.kind, call.entryDir);
    } else {
        *result = kOpaqueBlack;
    }
    reflectCallEnd(state, call);
    return 1;
}

KOR_EXPORT zoBoolean kor_ReflectRefract(Color *result, RenderState *state,
                                        ReflectRefractParams *params, const int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        *result = kOpaqueBlack;
        return 0;
    }
    Vector3 keyDir;
    int kind = state->type;
    readCallReason(state, &keyDir, &kind);
    if (kind == kKindRefraction || kind == kKindPhotonTransmitSpecular ||
        kind == kKindPhotonTransmitDiffuse)
        return kor_Refract(result, state, reinterpret_cast<RefractParams *>(params), mode);

    const ReflectCall call = reflectCallBegin(state);
    if (call.kind == kKindNoResult) {
        reflectCallEnd(state, call);
        return 0;
    }
    writeGBufferId(state, eval(state, &params->gbufferId));
    const float blur = blurOf(state, reinterpret_cast<RefractParams *>(params));
    if (bumpMode(mapMode(mode))) {
        *result = kOpaqueBlack;
    } else if (call.kind == kKindReflection) {
        if (eval(state, &params->source) == kSourceCubeImages) {
            Vector3 dir;
            if (blur >= 0.0f)
                dir = reflectionDirection(state, blurShininess(blur, kBlurScale));
            else
                dir = call.keyed ? call.entryDir : reflectionDirection(state, 0.0f);
            *result = cubeLookup(state, instanceOf(state), dir);
        } else {
            traceReflectRefract(result, state, call, kKindReflection, blur, kBlurScale, -1.0f);
        }
    } else if (call.kind == kKindPhotonReflectSpecular || call.kind == kKindPhotonReflectDiffuse) {
        photonContinue(result, state, call.kind, call.entryDir);
    } else {
        *result = kOpaqueBlack;
    }
    reflectCallEnd(state, call);
    return 1;
}

KOR_SHADER_INIT(kor_ReflectRefract) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = user_slot(state);
    if (!slot) return;
    if (*slot) destroyInstance(static_cast<ReflectRefractInstance *>(*slot));
    *slot = nullptr;
    auto *inst = static_cast<ReflectRefractInstance *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(ReflectRefractInstance)));
    if (!inst) return;
    memset(inst, 0, sizeof *inst);
    const SceneData *scene = GetSceneData(state);
    float gamma = scene ? scene->gamma : 1.0f;
    if (!(gamma > 0.0f) || !isfinite(gamma)) gamma = 1.0f;
    inst->gamma = gammaBuild(gamma);
    const auto *p = static_cast<const ReflectRefractParams *>(params);
    for (int k = 0; k < kFaces; ++k) {
        const Tag tag = eval(state, &p->faces[k]);
        if (!tag || zo_db_type(tag) != ZO_DB_IMAGE) continue;
        inst->faceTags[k] = tag;
        inst->faces[k] = static_cast<const zoImage *>(zo_db_access(tag));
    }
    *slot = inst;
}

KOR_SHADER_EXIT(kor_ReflectRefract) {
    if (!params) return;
    void **slot = user_slot(state);
    if (!slot || !*slot) return;
    destroyInstance(static_cast<ReflectRefractInstance *>(*slot));
    *slot = nullptr;
}
