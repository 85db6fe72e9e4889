// Particle maps: kor_ParticleAge, three colours (or sub-maps) over the
// particle's life, and kor_ParticleBlur, a head-to-tail blend along the
// particle's motion.
#include <math.h>
#include <string.h>

#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"
#include "scenedata.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_partage";

// Instance record of the age map: the three ages as fractions of the life.
struct ParticleAgeInstance {
    float a1, a2, a3;
};

// The particle record of the shaded object and the shaded particle's index
// in it; null without one.
const ParticleRecord *shadedParticle(RenderState *state, int *index) {
    ObjectData *object = GetObjectData(state);
    if (!object) return nullptr;
    const auto *record = static_cast<const ParticleRecord *>(GetParticleData(state, object));
    if (!record || record->count < 1) return nullptr;
    int i = GetParticleID(state);
    if (i >= record->count || i < 0) {
        i %= record->count;
        if (i < 0) i += record->count;
    }
    *index = i;
    return record;
}

template <typename T>
inline const T *element(const ParamArray<T> &array, int k) {
    if (k < 0 || k >= array.count) return nullptr;
    return &array[array.start + k];
}

}  // namespace

KOR_EXPORT zoBoolean kor_ParticleAge(Color *result, RenderState *state, ParticleAgeParams *params,
                                     int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    ParticleAgeParams p;
#define KOR_EVAL(field) p.field = eval(state, &params->field)
    KOR_EVAL(color1);
    KOR_EVAL(color2);
    KOR_EVAL(color3);
    KOR_EVAL(map1);
    KOR_EVAL(map2);
    KOR_EVAL(map3);
    KOR_EVAL(map1On);
    KOR_EVAL(map2On);
    KOR_EVAL(map3On);
    KOR_EVAL(age1);
    KOR_EVAL(age2);
    KOR_EVAL(age3);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
    writeGBufferId(state, p.gbufferId);

    int i = 0;
    const ParticleRecord *record = shadedParticle(state, &i);
    if (!record) {
        *result = kClearColor;
        return 1;
    }
    if (isBumpMode(mode)) {
        finishVector(result, state, p.output, mode, kZero, 1.0f);
        return 1;
    }
    ParticleAgeInstance ages = {p.age1 / 100.0f, p.age2 / 100.0f, p.age3 / 100.0f};
    if (void **slot = user_slot(state))
        if (*slot) ages = *static_cast<const ParticleAgeInstance *>(*slot);

    const int32_t *age = element(record->ages, i), *life = element(record->lifetimes, i);
    const float t = age && life && *age > 0 && *life > 0 ? float(*age) / float(*life) : 0.0f;
    auto colour = [&](const Color &c, Tag map, zoBoolean on) {
        return active(map, on) ? callMap(state, map, mode) : c;
    };
    if (t < ages.a1)
        *result = colour(p.color1, p.map1, p.map1On);
    else if (t < ages.a2)
        *result = lerp(colour(p.color1, p.map1, p.map1On), colour(p.color2, p.map2, p.map2On),
                       (t - ages.a1) / (ages.a2 - ages.a1));
    else if (t < ages.a3)
        *result = lerp(colour(p.color2, p.map2, p.map2On), colour(p.color3, p.map3, p.map3On),
                       (t - ages.a2) / (ages.a3 - ages.a2));
    else
        *result = colour(p.color3, p.map3, p.map3On);
    applyOutput(result, state, p.output, mode);
    return 1;
}

KOR_SHADER_INIT(kor_ParticleAge) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    if (*slot) zo_mem_int_release(kModule, __LINE__, *slot);
    auto *inst = static_cast<ParticleAgeInstance *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(ParticleAgeInstance)));
    if (inst) {
        const auto *p = static_cast<const ParticleAgeParams *>(params);
        inst->a1 = kor::eval(state, &p->age1) / 100.0f;
        inst->a2 = kor::eval(state, &p->age2) / 100.0f;
        inst->a3 = kor::eval(state, &p->age3) / 100.0f;
    }
    *slot = inst;
}

KOR_SHADER_EXIT(kor_ParticleAge) {
    if (!params) return;
    void **slot = kor::user_slot(state);
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}

KOR_EXPORT zoBoolean kor_ParticleBlur(Color *result, RenderState *state, ParticleBlurParams *params,
                                      int *mode) {
    if (!result) return 0;
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    const Color head = eval(state, &params->color1), tail = eval(state, &params->color2);
    const float sharpness = eval(state, &params->sharpness);
    writeGBufferId(state, eval(state, &params->gbufferId));

    int i = 0;
    const ParticleRecord *record = shadedParticle(state, &i);
    if (!record) {
        *result = kClearColor;
        return 1;
    }
    if (isBumpMode(mode)) {
        result->r = result->g = result->b = 0.0f;
        return 1;
    }
    const float *size = element(record->sizes, i);
    const float s = size ? *size * 0.5f : 0.0f;
    float f1 = 1.0f, f2 = 1.0f;
    if (s > sharpness) {
        f1 = sharpness / s;
        const Vector3 *position = element(record->positions, i);
        const Vector3 *velocity = element(record->velocities, i);
        const int32_t *shape = element(record->shapes, i);
        Vector3 p = state->point;
        zo_point_to_world(&p, state, &state->point);
        float d = 0.0f;
        if (position && velocity) {
            const float speed = length(*velocity);
            if (speed > 0.0f) d = dot(p - *position, *velocity) / speed;
        }
        if (shape && *shape == 1) d += s;
        if (shape && *shape == 3) d -= s;
        if (fabsf(d) >= sharpness) f2 = 1.0f - (fabsf(d) - sharpness) / (s - sharpness);
    }
    const float f = clampRange(f1 * f2, 0.0f, 1.0f);
    *result = lerp(tail, head, f);
    return 1;
}
