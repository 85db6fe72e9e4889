// kor2_parti_volume and its photon twin: a participating medium. The
// volume shader marches a ray from its far end back to its origin, lets the
// colour that arrives die away with the medium's extinction and adds the
// light the medium scatters towards the viewer at each step (direct light
// from the lights through a Schlick phase function, plus the host's volume
// irradiance), halving steps where the scattered light changes fast. On
// light rays it dims the light by the optical depth it crosses. The medium
// is uniform, bounded from above by a height, or broken up by a cloud
// density of value noise. The photon twin lets photons scatter in the
// medium at exponentially distributed distances.
#include <math.h>
#include <stddef.h>
#include <string.h>

#include <atomic>

#include "kor_vector.h"
#include "shader.h"
#include "zo_physics.h"

namespace {

using namespace kor;
using namespace kor::physics;

constexpr const char *kModule = "zo_partishade";
constexpr float kInvFourPi = 0.07957747f;
// The per-channel contrast when the options give none.
constexpr float kContrast = 0.1f;
constexpr int kMaxSubdivision = 8;
constexpr int kMaxSteps = 100000;

struct PartiParams {
    int32_t mode;  // 1: the medium ends above `height`
    Color scatter;
    float extinction;
    float phaseBlend;
    float phaseG1;
    float phaseG2;
    float nonuniform;  // 0 uniform .. 1 all cloud
    float height;
    float minStep;
    float stepLength;
    float lightDistance;
    int32_t photonMinLevel;
    zoBoolean directOnly;
    ParamArray<Tag> lights;
};
static_assert(offsetof(PartiParams, photonMinLevel) == 56, "participating volume layout");
static_assert(offsetof(PartiParams, lights) == 64, "participating volume layout");

// Per thread: the subdivision level reached by the segment being
// integrated and by the one before it.
struct PartiThread {
    int32_t level;
    int32_t previous;
};

// ---------------------------------------------------------------------------
// Cloud density: value noise over a shared table of random values, with
// quadratic B-spline weights, seven octaves, and a shaping curve.

constexpr int kCloudSize = 65536;
constexpr int kCurveSize = 1024;
constexpr int kOctaves = 7;

float gCloud[kCloudSize];
float gCurve[kCurveSize];
std::atomic<int> gCloudReady{0};

// The shaping curve's breakpoints: the octave sum gathers about 0.5, so the
// curve opens clear gaps below 0.42 and saturates above 0.62.
const float kCurveX[] = {0.0f, 0.42f, 0.5f, 0.56f, 0.62f, 1.0f};
const float kCurveY[] = {0.0f, 0.0f, 0.3f, 0.75f, 0.95f, 1.0f};

void buildCloud(RenderState *state) {
    if (gCloudReady.load(std::memory_order_acquire)) return;
    const bool locked = state != nullptr;
    if (locked) zo_lock(state->global_lock);
    if (!gCloudReady.load(std::memory_order_relaxed)) {
        unsigned short seed[3] = {0x330E, 1, 0};
        for (int i = 0; i < kCloudSize; ++i) gCloud[i] = static_cast<float>(zo_erandom(seed));
        const int n = static_cast<int>(sizeof kCurveX / sizeof kCurveX[0]);
        for (int i = 0; i < kCurveSize; ++i) {
            const float x = static_cast<float>(i) / (kCurveSize - 1);
            int k = 0;
            while (k < n - 2 && x > kCurveX[k + 1]) ++k;
            const float f = (x - kCurveX[k]) / (kCurveX[k + 1] - kCurveX[k]);
            gCurve[i] = kCurveY[k] + (kCurveY[k + 1] - kCurveY[k]) * f;
        }
        gCloudReady.store(1, std::memory_order_release);
        zo_debug("cloud volume texture initialized");
    }
    if (locked) zo_unlock(state->global_lock);
}

float cloudAt(int32_t x, int32_t y, int32_t z) {
    const uint32_t h = 0x53Du * static_cast<uint32_t>(x) + 0x2CFu * static_cast<uint32_t>(y) +
                       0x7EFu * static_cast<uint32_t>(z);
    return gCloud[h & (kCloudSize - 1)];
}

// Quadratic B-spline weights of the lattice points i - 1, i, i + 1 around x.
void splineWeights(float x, int32_t *i, float w[3]) {
    const float f = floorf(x);
    const float t = x - f;
    *i = static_cast<int32_t>(f);
    w[0] = 0.5f * (1.0f - t) * (1.0f - t);
    w[1] = 0.5f + t * (1.0f - t);
    w[2] = 0.5f * t * t;
}

float valueNoise(const Vector3 &p) {
    int32_t ix, iy, iz;
    float wx[3], wy[3], wz[3];
    splineWeights(p.x, &ix, wx);
    splineWeights(p.y, &iy, wy);
    splineWeights(p.z, &iz, wz);
    float sum = 0.0f;
    for (int c = 0; c < 3; ++c)
        for (int b = 0; b < 3; ++b) {
            const float wyz = wy[b] * wz[c];
            for (int a = 0; a < 3; ++a)
                sum += wx[a] * wyz * cloudAt(ix + a - 1, iy + b - 1, iz + c - 1);
        }
    return sum;
}

}  // namespace

namespace kor {
namespace physics {

// The medium's cloud density at p, in [0, 1] (0 until the table is built).
float cloudDensity(const Vector3 &p) {
    float sum = 0.0f, total = 0.0f, amplitude = 1.0f, frequency = 1.0f;
    for (int o = 0; o < kOctaves; ++o) {
        sum += amplitude * valueNoise(p * frequency);
        total += amplitude;
        amplitude *= 0.5f;
        frequency *= 2.0f;
    }
    float x = sum / total;
    x = x < 0.0f ? 0.0f : (x > 1.0f ? 1.0f : x);
    const float f = x * (kCurveSize - 1);
    const int i = static_cast<int>(f);
    if (i >= kCurveSize - 1) return gCurve[kCurveSize - 1];
    const float r = f - static_cast<float>(i);
    const float v = gCurve[i] + (gCurve[i + 1] - gCurve[i]) * r;
    return v > 0.0f ? v : 0.0f;
}

}  // namespace physics
}  // namespace kor

namespace {

struct Volume {
    RenderState *state;
    int32_t mode;
    Color scatter;
    float extinction, phaseBlend, g1, g2, nonuniform, height, minStep, stepLength, lightDistance;
    int32_t photonMinLevel;
    bool directOnly;
    const Tag *lights;
    int lightCount;
    PartiThread *thread;
    Vector3 org, dir;
    Color result;
};

Volume evaluate(RenderState *state, const PartiParams *p) {
    Volume m;
    m.state = state;
    m.mode = eval(state, &p->mode);
    m.scatter = eval(state, &p->scatter);
    m.extinction = eval(state, &p->extinction);
    m.phaseBlend = eval(state, &p->phaseBlend);
    m.g1 = eval(state, &p->phaseG1);
    m.g2 = eval(state, &p->phaseG2);
    m.nonuniform = eval(state, &p->nonuniform);
    m.height = eval(state, &p->height);
    m.minStep = eval(state, &p->minStep);
    m.stepLength = eval(state, &p->stepLength);
    m.lightDistance = eval(state, &p->lightDistance);
    m.photonMinLevel = eval(state, &p->photonMinLevel);
    m.directOnly = eval(state, &p->directOnly) != 0;
    const int count = eval(state, &p->lights.count);
    const int start = eval(state, &p->lights.start);
    m.lightCount = count > 0 ? count : 0;
    m.lights = count > 0 ? &p->lights[start] : nullptr;
    m.thread = nullptr;
    m.org = state->org;
    m.dir = state->dir;
    m.result = kBlack;
    return m;
}

// Height is measured along world z, the up axis, both for the density and
// for a light ray's optical depth.
float heightOf(const Vector3 &p) {
    return p.z;
}

float density(const Volume &m, float t) {
    const Vector3 p = m.org + m.dir * t;
    if (m.mode == 1 && heightOf(p) > m.height) return 0.0f;
    if (m.nonuniform == 0.0f) return m.extinction;
    const Vector3 q = {1.5f * p.x - 0.5f, -1.5f * p.y, 1.5f * p.z};
    return m.extinction * (1.0f - m.nonuniform) +
           m.nonuniform * 2.0f * m.extinction * cloudDensity(q);
}

float sampleOffset(RenderState *state) {
    double s[1] = {0.5};
    int counter = 0;
    if (!zo_sample(s, &counter, state, 1, nullptr)) return 0.5f;
    return static_cast<float>(s[0]);
}

// The stretch of [0, length] along the ray that lies at or below the height.
float lengthBelow(const Volume &m, float length) {
    const float y0 = heightOf(m.org), dy = heightOf(m.dir);
    float lo = 0.0f, hi = length;
    if (dy == 0.0f) return y0 <= m.height ? length : 0.0f;
    const float cross = (m.height - y0) / dy;
    if (dy > 0.0f)
        hi = fminf(hi, cross);
    else
        lo = fmaxf(lo, cross);
    return hi > lo ? hi - lo : 0.0f;
}

// Light rays: the light dies away over the optical depth it crosses.
void lightRay(Color *result, const Volume &m, float length) {
    float tau;
    if (m.mode != 0) {
        tau = lengthBelow(m, length) * m.extinction;
    } else if (m.nonuniform != 0.0f) {
        const float s = m.stepLength > 0.0f ? m.stepLength : length;
        tau = 0.0f;
        int steps = 0;
        for (float t = length - s * sampleOffset(m.state); t > 0.0f && steps < kMaxSteps;
             t -= s, ++steps)
            tau += density(m, t) * s;
    } else {
        tau = m.extinction * length;
    }
    if (tau > 0.0f) {
        const float k = expf(-tau);
        scaleRGB(*result, k);
    }
}

float phase(const Volume &m, const Vector3 &light) {
    if (m.g1 == 0.0f && m.g2 == 0.0f) return 1.0f;
    if (m.phaseBlend == 1.0f) return zo_schlick_scatter(&m.dir, &light, m.g1);
    if (m.phaseBlend == 0.0f) return zo_schlick_scatter(&m.dir, &light, m.g2);
    return m.phaseBlend * zo_schlick_scatter(&m.dir, &light, m.g1) +
           (1.0f - m.phaseBlend) * zo_schlick_scatter(&m.dir, &light, m.g2);
}

// A light far from the point, or any light once the ray has bounced more
// than once, is sampled as from a deeper reflection.
bool sampleCheaply(const Volume &m, Tag light) {
    RenderState *state = m.state;
    if (state->reflection_level + state->refraction_level > 1) return true;
    // the light's origin comes in its own space
    Tag instance = light;
    if (!zo_query(ZO_Q_LIGHT_INSTANCE, state, light, &instance) || !instance) instance = light;
    Vector3 local;
    if (!zo_query(ZO_Q_LIGHT_ORIGIN, state, light, &local)) return false;
    const Tag current = state->light_instance;
    state->light_instance = instance;
    Vector3 origin = local;
    zo_point_from_light(&origin, state, &local);
    state->light_instance = current;
    const Vector3 d = abs(origin - state->point);
    return d.x > m.lightDistance || d.y > m.lightDistance || d.z > m.lightDistance;
}

// The light scattered towards the viewer per unit length at the state's
// point, where the density is rho.
Color inScattered(const Volume &m, float rho) {
    RenderState *state = m.state;
    const float k = m.extinction != 0.0f ? rho / m.extinction : 0.0f;
    const Color c = {m.scatter.r * k, m.scatter.g * k, m.scatter.b * k, 0.0f};
    Color direct = {0, 0, 0, 0};
    {
        LightWalk walk(state, m.lights, m.lightCount);
        while (walk.nextLight()) {
            const bool cheap = sampleCheaply(m, walk.light());
            if (cheap) state->reflection_level += 3;
            Color sum = {0, 0, 0, 0};
            while (walk.nextSample()) addScaled(sum, walk.color(), phase(m, walk.direction()));
            if (cheap) state->reflection_level -= 3;
            if (walk.samples() > 0) addScaled(direct, sum, 1.0f / walk.samples());
        }
    }
    Color S = {c.r * kInvFourPi * direct.r, c.g * kInvFourPi * direct.g,
               c.b * kInvFourPi * direct.b, 0.0f};
    if (!(m.directOnly && S.r > 0.0f) && rho > 0.0f) {
        Color irr = kBlack;
        const bool ok =
            m.g1 == 0.0f && m.g2 == 0.0f
                ? zo_compute_volume_irradiance(&irr, state) != 0
                : zo_compute_directional_irradiance(&irr, state, m.phaseBlend, m.g1, m.g2) != 0;
        if (ok) addProduct(S, c, irr, kInvFourPi / rho);
    }
    return S;
}

struct Point {
    float t, rho;
    Color S;
};

Point pointAt(const Volume &m, float t) {
    Point p{t, density(m, t), {0, 0, 0, 0}};
    m.state->point = m.org + m.dir * t;
    if (p.rho > 0.0f) p.S = inScattered(m, p.rho);
    return p;
}

// The options' contrast, per channel; the default where a host leaves it 0.
float contrastOf(const RenderState *state, int channel) {
    const float c = state && state->options ? state->options->contrast[channel] : 0.0f;
    return c > 0.0f ? c : kContrast;
}

// The segment's two ends differ by more than the contrast in some channel.
bool contrasty(const RenderState *state, const Color &a, const Color &b, float length) {
    const float k = 10.0f * length;
    return fabsf(a.r - b.r) * k > contrastOf(state, 0) ||
           fabsf(a.g - b.g) * k > contrastOf(state, 1) ||
           fabsf(a.b - b.b) * k > contrastOf(state, 2);
}

// Integrates the segment from the far point to the near one: what comes
// from beyond dies away by the near point's density, and the near point's
// scattered light is added over the length. Segments whose ends differ too
// much are halved while the ray is shallow and the halves long enough.
void integrate(Volume &m, const Point &far, const Point &near, int level) {
    const float length = far.t - near.t;
    if (!(length > 0.0f)) return;
    const RenderState *state = m.state;
    const int previous = m.thread ? m.thread->previous : 0;
    const bool shallow = state->reflection_level < 2 && state->refraction_level < 2;
    if (shallow && length > m.minStep && level < kMaxSubdivision &&
        (contrasty(state, far.S, near.S, length) || level < previous - 1)) {
        const Point mid = pointAt(m, 0.5f * (far.t + near.t));
        integrate(m, far, mid, level + 1);
        integrate(m, mid, near, level + 1);
        return;
    }
    if (m.thread && level > m.thread->level) m.thread->level = level;
    if (near.rho > 0.0f) {
        const float k = expf(-near.rho * length);
        m.result.r = m.result.r * k + length * near.S.r;
        m.result.g = m.result.g * k + length * near.S.g;
        m.result.b = m.result.b * k + length * near.S.b;
    }
}

void segment(Volume &m, const Point &far, const Point &near) {
    if (m.thread) {
        m.thread->previous = m.thread->level;
        m.thread->level = 0;
    }
    integrate(m, far, near, 0);
}

void march(Volume &m, float length) {
    RenderState *state = m.state;
    const Vector3 point = state->point, normal = state->normal, normalGeom = state->normal_geom;
    const float dotNd = state->dot_nd;
    // No surface here: lights see no normal to face.
    state->normal = state->normal_geom = kZero;
    state->dot_nd = 0.0f;

    const float s = m.stepLength > 0.0f ? m.stepLength : length;
    const float u = sampleOffset(state);
    Point far = pointAt(m, length - 0.0001f);
    // the first point lights the stretch the random offset leaves before the
    // first whole step, unattenuated
    if (far.rho > 0.0f) {
        m.result.r += s * u * far.S.r;
        m.result.g += s * u * far.S.g;
        m.result.b += s * u * far.S.b;
    }
    int steps = 0;
    for (float t = length - s * u; t > 0.0001f && steps < kMaxSteps; t -= s, ++steps) {
        const Point near = pointAt(m, t);
        segment(m, far, near);
        far = near;
    }
    segment(m, far, pointAt(m, 0.0001f));

    state->point = point;
    state->normal = normal;
    state->normal_geom = normalGeom;
    state->dot_nd = dotNd;
}

PartiThread *threadOf(RenderState *state) {
    return static_cast<PartiThread *>(thread_block(state, kModule, __LINE__, sizeof(PartiThread)));
}

void initVolume(RenderState *state, void *params, zoBoolean *request) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    const auto *p = static_cast<const PartiParams *>(params);
    if (eval(state, &p->nonuniform) > 0.0f) buildCloud(state);
}

}  // namespace

KOR_EXPORT zoBoolean kor2_parti_volume(Color *result, RenderState *state, PartiParams *params) {
    if (!result || !state || !params) return 0;
    if (state->type == ZO_RAY_SHADOW) return 1;
    Volume m = evaluate(state, params);
    m.thread = threadOf(state);
    const float length = static_cast<float>(state->dist);
    if (state->type == ZO_RAY_LIGHT) {
        if (length > 0.0f) lightRay(result, m, length);
        return 1;
    }
    if (!(length > 0.0f)) return 1;
    m.result = *result;
    march(m, length);
    result->r = m.result.r;
    result->g = m.result.g;
    result->b = m.result.b;
    return 1;
}

KOR_EXPORT zoBoolean kor2_parti_volume_photon(Color *energy, RenderState *state,
                                              PartiParams *params) {
    if (!energy || !state || !params) return 0;
    const float length = static_cast<float>(state->dist);
    if (length == 0.0f) return 1;
    Volume m = evaluate(state, params);
    const int level = state->refraction_level;
    const bool inMedium = (level & 1) != 0 && level >= m.photonMinLevel;
    if (inMedium) {
        float step, t;
        if (m.mode == 0 && m.nonuniform == 0.0f) {
            step = length + 0.0001f;
            t = 0.0f;
        } else {
            step = m.stepLength > 0.0f ? m.stepLength : length + 0.0001f;
            t = step * sampleOffset(state);
        }
        for (int steps = 0; t < length && steps < kMaxSteps; t += step, ++steps) {
            const float p = zo_scattering_pathlength(state, density(m, t));
            if (!(p < step) || !(t + p < length)) continue;
            const Vector3 point = state->point, dir = state->dir;
            state->point = m.org + m.dir * (t + p);
            const bool fromLight = state->type == ZO_PHOTON_TRANSPARENT && state->parent &&
                                   state->parent->type == ZO_PHOTON_LIGHT;
            if (!fromLight) zo_store_volume_photon(energy, state);
            energy->r *= m.scatter.r;
            energy->g *= m.scatter.g;
            energy->b *= m.scatter.b;
            Vector3 next;
            if (m.g1 == 0.0f && m.g2 == 0.0f)
                zo_scattering_dir_diffuse(&next, state);
            else
                zo_scattering_dir_directional(
                    &next, state, zo_choose_lobe(state, m.phaseBlend) == 1 ? m.g1 : m.g2);
            state->dir = next;
            zo_photon_volume_scattering(energy, state);
            state->point = point;
            state->dir = dir;
            return 1;
        }
    }
    return zo_call_photon_material(energy, state);
}

KOR_SHADER_INIT(kor2_parti_volume) {
    initVolume(state, params, request);
}

KOR_SHADER_EXIT(kor2_parti_volume) {
    if (!params) return;
    for_each_thread_block(state, [](void *block) { zo_mem_int_release(kModule, __LINE__, block); });
}

KOR_SHADER_INIT(kor2_parti_volume_photon) {
    initVolume(state, params, request);
}
