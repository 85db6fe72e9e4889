// Shaders that turn maps into perturbations of the surface: kor_Bump bends
// the shading normal by a map's bump vector; kor_GNormal reads a
// colour-encoded normal in tangent, object, camera or world space and
// answers in colour, mono or bump mode; kor_Displacement and
// kor_HeightMapDisplacement add a map's value along the normal to the
// displacement the host asks for.
#include "kor_bump.h"

#include <math.h>
#include <string.h>

#include "kor_vector.h"
#include "scenedata.h"

namespace {

constexpr const char *kModule = "kor_bump";

constexpr Color kClear = {0.0f, 0.0f, 0.0f, 0.0f};

template <typename T>
T *instanceRecord(RenderState *state) {
    void **slot = kor::user_slot(state);
    return slot ? static_cast<T *>(*slot) : nullptr;
}

template <typename T>
T *createInstance(RenderState *state) {
    void **slot = kor::user_slot(state);
    if (!slot) return nullptr;
    if (*slot) {
        zo_mem_int_release(kModule, __LINE__, *slot);
        *slot = nullptr;
    }
    auto *block = static_cast<T *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(T)));
    if (block) memset(block, 0, sizeof(T));
    *slot = block;
    return block;
}

void releaseInstance(RenderState *state) {
    void **slot = kor::user_slot(state);
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}

void writeVector(Color *result, const Vector3 &v) {
    result->r = v.x;
    result->g = v.y;
    result->b = v.z;
}

// The bump vector of `map`; false when the call fails.
bool bumpVector(RenderState *state, Tag map, Vector3 *out) {
    kor::MapRequest request = {kor::kMapBump, 0, 0};
    Color c = kClear;
    if (!map || !zo_call_shader_x(&c, ZO_SHADER_MAP, state, map, &request)) return false;
    *out = Vector3{c.r, c.g, c.b};
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// kor_Bump

KOR_EXPORT zoBoolean kor_Bump(Color *, RenderState *state, BumpParams *params) {
    if (!state || !params) return 1;
    kor::MapRequest request = {kor::kMapBump, 0, 0};
    if (BumpInstance *inst = instanceRecord<BumpInstance>(state)) {
        if (!inst->started) {
            inst->request = kor::MapRequest{kor::kMapBump, 0, 0};
            inst->started = 1;
        }
        request = inst->request;  // the map may write into its record
    }
    const float amount = kor::eval(state, &params->bumpAmount);
    const Tag map = kor::eval(state, &params->map);
    Color g = kClear;
    if (!map || !zo_call_shader_x(&g, ZO_SHADER_MAP, state, map, &request)) return 1;
    state->normal = kor::normalize(state->normal + Vector3{g.r, g.g, g.b} * amount);
    state->dot_nd = kor::dot(state->normal, state->dir);
    return 1;
}

KOR_SHADER_INIT(kor_Bump) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    if (BumpInstance *inst = createInstance<BumpInstance>(state))
        inst->request = kor::MapRequest{kor::kMapBump, 0, 0};
}

KOR_SHADER_EXIT(kor_Bump) {
    if (params) releaseInstance(state);
}

// ---------------------------------------------------------------------------
// kor_GNormal

namespace {

void copyParams(const GNormalParams *p, GNormalInstance *r) {
    r->normalAmount = p->normalAmount;
    r->bumpAmount = p->bumpAmount;
    r->flipRed = p->flipRed;
    r->flipGreen = p->flipGreen;
    r->swapRedGreen = p->swapRedGreen;
    r->normalMap = p->normalMapOn ? p->normalMap : 0;
    r->bumpMap = p->bumpMapOn ? p->bumpMap : 0;
    r->method = p->method;
    r->gbufferId = p->gbufferId;
}

// The normal map's colour with the channel flips and swap applied;
// `failed` when the call fails or there is no map.
Color normalColour(RenderState *state, const GNormalInstance &g, const Color &failed) {
    Color c = failed;
    kor::MapRequest request = {kor::kMapColor, 0, 0};
    if (!g.normalMap || !zo_call_shader_x(&c, ZO_SHADER_MAP, state, g.normalMap, &request))
        c = failed;
    if (g.flipRed) c.r = 1.0f - c.r;
    if (g.flipGreen) c.g = 1.0f - c.g;
    if (g.swapRedGreen) {
        const float r = c.r;
        c.r = c.g;
        c.g = r;
    }
    c.a = 1.0f;
    return c;
}

// The decoded normal n brought into internal space by the map's method;
// false for a method without a space.
bool decodedNormal(RenderState *state, const GNormalInstance &g, const Vector3 &n, const Vector3 &N,
                   Vector3 *out) {
    switch (g.method) {
        case kNormalTangent: {
            Vector3 t = kor::kZero, b = kor::kZero, tObj, bObj, nObj;
            GetTangentBasisVectors(state, &t, &b);
            zo_vector_to_object(&tObj, state, &t);
            zo_vector_to_object(&bObj, state, &b);
            zo_normal_to_object(&nObj, state, &N);
            tObj = kor::normalize(tObj);
            bObj = kor::normalize(bObj);
            nObj = kor::normalize(nObj);
            const Vector3 local = tObj * n.x + bObj * -n.y + nObj * n.z;
            zo_normal_from_object(out, state, &local);
            return true;
        }
        case kNormalLocal: zo_normal_from_object(out, state, &n); return true;
        case kNormalScreen: zo_normal_from_camera(out, state, &n); return true;
        case kNormalWorld: zo_normal_from_world(out, state, &n); return true;
        default: return false;
    }
}

Vector3 normalPerturbation(RenderState *state, const GNormalInstance &g) {
    Vector3 v = kor::kZero;
    Vector3 bump = kor::kZero;
    const bool withBump = g.bumpMap && bumpVector(state, g.bumpMap, &bump);
    if (!g.normalMap) {
        if (!withBump) return kor::kZero;
        return g.bumpAmount == 1.0f ? bump : bump * g.bumpAmount;
    }
    const Color c = normalColour(state, g, Color{0.0f, 0.0f, 0.0f, 1.0f});
    const Vector3 n = {(c.r - 0.5f) * 2.0f, (c.g - 0.5f) * 2.0f, (c.b - 0.5f) * 2.0f};
    const Vector3 N = state->inv_normal ? -state->normal : state->normal;
    Vector3 turned;
    if (decodedNormal(state, g, n, N, &turned)) {
        v = turned - N;  // the decoded normal as it is: its length is part of the map
        if (g.normalAmount != 1.0f) v = v * g.bumpAmount;
    }
    if (withBump) v += bump * g.bumpAmount;
    return v;
}

}  // namespace

KOR_EXPORT zoBoolean kor_GNormal(Color *result, RenderState *state, GNormalParams *params,
                                 const int *mode) {
    if (!result) return 0;
    const int kind = mode ? *mode : kor::kMapColor;
    if (!state || !params) {
        if (kind == kor::kMapBump)
            writeVector(result, kor::kZero);
        else
            *result = kClear;
        return 1;
    }
    GNormalInstance local;
    const GNormalInstance *g = instanceRecord<GNormalInstance>(state);
    if (!g) {
        memset(&local, 0, sizeof local);
        copyParams(params, &local);
        g = &local;
    }
    if (state->type == ZO_RAY_EYE && g->gbufferId != 0) zo_fb_put(state, 0, &g->gbufferId);

    if (kind == kor::kMapBump) {
        writeVector(result, normalPerturbation(state, *g));
        return 1;
    }
    Color c = normalColour(state, *g, kClear);
    if (kind == kor::kMapGrey) {
        const float m = (c.r + c.g + c.b) * 0.33333334f;
        c.r = c.g = c.b = m;
    }
    *result = c;
    return 1;
}

KOR_SHADER_INIT(kor_GNormal) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    GNormalInstance *g = createInstance<GNormalInstance>(state);
    if (!g) return;
    copyParams(static_cast<const GNormalParams *>(params), g);
    const SceneData *scene = GetSceneData(state);
    g->materialEditor = scene ? scene->materialEditor : 0;
}

KOR_SHADER_EXIT(kor_GNormal) {
    if (params) releaseInstance(state);
}

// ---------------------------------------------------------------------------
// Displacement

KOR_EXPORT zoBoolean kor_Displacement(float *result, RenderState *state,
                                      DisplacementParams *params) {
    if (!result || !state || !params) return 1;
    state->dir = -state->normal;
    const Tag map = kor::eval(state, &params->map);
    const float amount = kor::eval(state, &params->amount);
    if (map && amount != 0.0f) {
        float effective = amount;
        if (kor::eval(state, &params->relativeAmount)) {
            const ObjectData *object = GetObjectData(state);
            const float diagonal = object ? kor::length(object->boxMax - object->boxMin) : 0.0f;
            effective = amount * diagonal / 10.0f;
        }
        Color c = kClear;
        if (!zo_call_shader_x(&c, ZO_SHADER_DISPLACE, state, map, nullptr)) c = kClear;
        *result += (c.r + c.g + c.b) / 3.0f * effective;
    }
    const Tag bumpMap = kor::eval(state, &params->bumpMap);
    Vector3 bump;
    if (bumpMap && amount > 0.0f && bumpVector(state, bumpMap, &bump))
        state->normal = kor::normalize(state->normal + bump * amount);
    return 1;
}

KOR_EXPORT zoBoolean kor_HeightMapDisplacement(float *result, RenderState *state,
                                               HeightMapDisplacementParams *params) {
    if (!result || !state || !params) return 1;
    state->dir = -state->normal;
    const Tag map = kor::eval(state, &params->map);
    const float low = kor::eval(state, &params->lowHeight);
    const float high = kor::eval(state, &params->highHeight);
    Color c = kClear;
    if (!map || !zo_call_shader_x(&c, ZO_SHADER_DISPLACE, state, map, nullptr)) c = kClear;
    float d = low + c.r * (high - low);
    if (!kor::eval(state, &params->worldUnits) && state->instance) {
        // heights are in the object's units: the length of the normal in
        // object space tells how long one object unit is along it
        if (auto *inst = static_cast<const zoInstanceRecord *>(zo_db_access(state->instance))) {
            Vector3 n;
            zo_vector_transform(&n, &state->normal, inst->from_world);
            zo_db_unpin(state->instance);
            const float len = kor::length(n);
            if (len > 0.0f) d /= len;
        }
    }
    *result += d;
    return 1;
}
