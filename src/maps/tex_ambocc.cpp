// kor_amb_occlusion: how much of the hemisphere above the shading point is
// open, from a fixed budget of probe rays about the shading normal (or the
// mirror direction). The answer is a blend between a bright and a dark
// colour, an environment-weighted colour, or the bent normal as a colour.
#include <math.h>
#include <string.h>

#include "frame/shader.h"
#include "kor_support.h"
#include "kor_vector.h"

namespace {

struct AmbOcclusionParams {
    int32_t samples;
    Color bright;
    Color dark;
    float spread;
    float distanceLimit;
    zoBoolean reflective;
    int32_t outputMode;
    zoBoolean occlusionInAlpha;
    float falloff;
    int32_t includeExcludeId;
    int32_t nonSelfId;
};

// Most probes one direction spends walking past hits that do not count.
constexpr int kMaxProbes = 64;
// How far past a passed-over hit the next probe starts.
constexpr float kProbeStep = 1.0e-4f;

// Bytes of the projection record read here: the working instance (word 0)
// and the use-working-model-on-miss word (word 7).
constexpr int kProjectionWorkingInstance = 0;
constexpr int kProjectionUseWorkingOnMiss = 28;
constexpr int kProjectionBytesRead = 32;

enum {
    kModeKeepNormal = -1,
    kModeEnvironment = 1,
    kModeBentWorld = 2,
    kModeBentCamera = 3,
    kModeBentObject = 4
};

struct ProbeFilter {
    bool off;  // no identifiers and nothing to skip: the first hit blocks
    Tag skip;  // the bake's working instance, 0 for none
    int32_t includeExcludeId;
    int32_t nonSelfId;
};

int32_t instanceLabel(Tag instance) {
    if (!instance) return 0;
    int32_t label = 0;
    if (const void *record = zo_db_access(instance)) {
        label = static_cast<const zoInstanceRecord *>(record)->label;
        zo_db_unpin(instance);
    }
    return label;
}

bool hitCounts(RenderState *state, const RenderState *hit, const ProbeFilter &filter, bool *stop) {
    const int32_t hitLabel = instanceLabel(hit->instance);
    const int32_t selfLabel = instanceLabel(state->instance);
    if (filter.nonSelfId > 0 && hitLabel == filter.nonSelfId && selfLabel == filter.nonSelfId) {
        *stop = true;
        return false;
    }
    if (filter.includeExcludeId > 0 && hitLabel != filter.includeExcludeId) return false;
    if (filter.includeExcludeId < 0 && hitLabel == -filter.includeExcludeId) return false;
    if (!filter.skip) return true;
    Tag identity = 0;
    if (!zo_query(ZO_Q_INSTANCE_NAME, state, hit->instance, &identity)) identity = 0;
    return identity != filter.skip;
}

// Probes along `dir` from the shading point. True when a blocker is found;
// *distance is then how far it lies from the shading point (the probes
// that walked past hits that do not count included).
bool findBlocker(RenderState *state, const Vector3 &dir, const ProbeFilter &filter,
                 double *distance) {
    RenderState *savedChild = state->child;
    Vector3 origin = state->point;
    double travelled = 0.0;
    bool blocked = false;
    for (int step = 0; step < kMaxProbes; ++step) {
        const bool hit = zo_trace_probe(state, &dir, step == 0 ? nullptr : &origin) != 0;
        const RenderState *h = state->child;
        if (!hit || !h) break;
        bool stop = false;
        if (filter.off || hitCounts(state, h, filter, &stop)) {
            blocked = true;
            *distance = travelled + h->dist;
            break;
        }
        if (stop) break;
        travelled += h->dist + kProbeStep;
        origin = origin + dir * static_cast<float>(h->dist + kProbeStep);
    }
    state->child = savedChild;
    return blocked;
}

Tag workingInstanceToSkip(RenderState *state) {
    int size = 0;
    const void *record = zo_shaderstate_get(state, "KEY_10", &size);
    if (!record || size < kProjectionBytesRead) return 0;
    const char *bytes = static_cast<const char *>(record);
    int32_t useWorkingOnMiss = 0;
    memcpy(&useWorkingOnMiss, bytes + kProjectionUseWorkingOnMiss, sizeof useWorkingOnMiss);
    if (useWorkingOnMiss) return 0;
    Tag working = 0;
    memcpy(&working, bytes + kProjectionWorkingInstance, sizeof working);
    return working;
}

Vector3 lengthNormalized(const Vector3 &v) {
    const float len = kor::length(v);
    return len > 0.0f ? v / len : v;
}

}  // namespace

KOR_EXPORT zoBoolean kor_amb_occlusion(Color *result, RenderState *state,
                                       AmbOcclusionParams *params) {
    using kor::eval;
    if (!result || !state || !params) return 0;

    const int samples = eval(state, &params->samples);
    const float distanceLimit = eval(state, &params->distanceLimit);
    const bool reflective = eval(state, &params->reflective) != 0;
    const int outputMode = eval(state, &params->outputMode);
    const float spread = eval(state, &params->spread);
    const bool occlusionInAlpha = eval(state, &params->occlusionInAlpha) != 0;
    float falloff = eval(state, &params->falloff);
    if (!(falloff > 0.0f)) falloff = 1.0f;

    // Light rays of a scanline pass trace nothing.
    if (state->type == ZO_RAY_LIGHT && state->scanline != 0) return 2;

    ProbeFilter filter;
    filter.skip = workingInstanceToSkip(state);
    filter.includeExcludeId = eval(state, &params->includeExcludeId);
    filter.nonSelfId = eval(state, &params->nonSelfId);
    filter.off = filter.includeExcludeId == 0 && filter.nonSelfId == 0 && filter.skip == 0;

    if (state->type == ZO_RAY_DISPLACE || state->type == ZO_RAY_SHADOW) {
        *result = Color{0.0f, 0.0f, 0.0f, 0.0f};
        return 1;
    }

    const bool limited = distanceLimit > 0.0f;
    double falloffStart = distanceLimit, falloffStop = distanceLimit;
    if (limited) zo_ray_falloff(state, &falloffStart, &falloffStop);

    // An environment ray has no hit: it counts as reaching the far clip.
    const bool environmentRay = state->type == ZO_RAY_ENVIRONMENT;
    const double savedDist = state->dist;
    if (environmentRay && state->camera) state->dist = state->camera->clip_far;

    const bool tracing = !state->options || state->options->trace;
    const Vector3 normal = state->normal;
    const Vector3 incoming = state->dir;
    float total = 0.0f, open = 0.0f;
    Vector3 bentSum{0.0f, 0.0f, 0.0f};
    Color envSum{0.0f, 0.0f, 0.0f, 0.0f};
    const auto addEnvironment = [&](const Vector3 &d, float weight) {
        Color env{0.0f, 0.0f, 0.0f, 0.0f};
        if (!zo_trace_environment(&env, state, &d)) env = Color{0.0f, 0.0f, 0.0f, 0.0f};
        envSum.r += weight * env.r;
        envSum.g += weight * env.g;
        envSum.b += weight * env.b;
        envSum.a += weight * env.a;
    };

    double sample[2] = {0.0, 0.0};
    int counter = 0;
    // The host ends the set after `samples` points; the count bounds the loop
    // against a host that does not.
    for (int n = 0; n < samples && zo_sample(sample, &counter, state, 2, &samples); ++n) {
        Vector3 d{0.0f, 0.0f, 0.0f};
        zo_reflection_dir_diffuse_x(&d, state, sample);
        d = lengthNormalized(spread * d + (1.0f - spread) * normal);
        if (reflective) d = incoming - 2.0f * kor::dot(incoming, d) * d;
        if (kor::dot(d, state->normal_geom) < 0.0f) continue;

        total += 1.0f;
        open += 1.0f;
        double hitDistance = 0.0;
        if (!tracing || !findBlocker(state, d, filter, &hitDistance)) {
            bentSum += d;
            if (outputMode == kModeEnvironment) addEnvironment(d, 1.0f);
        } else if (!limited) {
            open -= 1.0f;
        } else if (hitDistance < distanceLimit) {
            const float f = powf(static_cast<float>(hitDistance) / distanceLimit, falloff);
            open -= 1.0f - f;
            bentSum += f * d;
            if (outputMode == kModeEnvironment) addEnvironment(d, f);
        }
    }

    if (limited) zo_ray_falloff(state, &falloffStart, &falloffStop);
    if (total <= 0.0f) total = 1.0f;
    const float fraction = open / total;

    if (outputMode == kModeEnvironment) {
        const Color bright = eval(state, &params->bright);
        const Color dark = eval(state, &params->dark);
        *result = Color{bright.r * envSum.r / total + dark.r, bright.g * envSum.g / total + dark.g,
                        bright.b * envSum.b / total + dark.b, occlusionInAlpha ? fraction : 1.0f};
    } else if (outputMode == kModeBentWorld || outputMode == kModeBentCamera ||
               outputMode == kModeBentObject) {
        const Vector3 bent = lengthNormalized(bentSum);
        Vector3 b = bent;
        if (outputMode == kModeBentWorld)
            zo_normal_to_world(&b, state, &bent);
        else if (outputMode == kModeBentCamera)
            zo_normal_to_camera(&b, state, &bent);
        else
            zo_normal_to_object(&b, state, &bent);
        *result = Color{(b.x + 1.0f) * 0.5f, (b.y + 1.0f) * 0.5f, (b.z + 1.0f) * 0.5f,
                        occlusionInAlpha ? fraction : 1.0f};
    } else {
        Color bright, dark;
        if (outputMode == kModeKeepNormal) {
            bright = eval(state, &params->bright);
            dark = eval(state, &params->dark);
        } else {
            // shaders connected to the colours see the bent normal
            const Vector3 bent = lengthNormalized(bentSum);
            const Vector3 savedNormal = state->normal, savedDir = state->dir;
            state->normal = bent;
            state->dir = bent;
            bright = eval(state, &params->bright);
            dark = eval(state, &params->dark);
            state->normal = savedNormal;
            state->dir = savedDir;
        }
        if (fraction == 0.0f) {
            *result = dark;
        } else if (fraction >= 1.0f) {
            *result = bright;
        } else {
            const float a = fraction, b = 1.0f - fraction;
            *result =
                Color{dark.r * b + bright.r * a, dark.g * b + bright.g * a,
                      dark.b * b + bright.b * a, occlusionInAlpha ? a : dark.a * b + bright.a * a};
        }
    }

    if (environmentRay) state->dist = savedDist;
    // A light's call continues from just above the surface, facing it.
    if (state->type == ZO_RAY_LIGHT && kor::call_type(state) == ZO_CALL_LIGHT) {
        state->org = state->point + state->normal;
        state->dot_nd = 1.0f;
    }
    return 1;
}
