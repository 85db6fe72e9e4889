// Sampling, random numbers, noise, scattering directions and BRDFs, opacity,
// ray falloff and light-map editing.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "session.h"

#define HOST_API extern "C" __attribute__((visibility("default")))

namespace korhost {

namespace {

constexpr int kPrimes[8] = {2, 3, 5, 7, 11, 13, 17, 19};

uint32_t float_bits(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}

// Radical inverse of i in base 2 with its digits scrambled by `scramble`.
double scrambled_base2(uint32_t i, uint32_t scramble) {
    i = (i << 16) | (i >> 16);
    i = ((i & 0x00ff00ffu) << 8) | ((i & 0xff00ff00u) >> 8);
    i = ((i & 0x0f0f0f0fu) << 4) | ((i & 0xf0f0f0f0u) >> 4);
    i = ((i & 0x33333333u) << 2) | ((i & 0xccccccccu) >> 2);
    i = ((i & 0x55555555u) << 1) | ((i & 0xaaaaaaaau) >> 1);
    return (i ^ scramble) * (1.0 / 4294967296.0);
}

// Radical inverse of i in `base`, rotated by `shift` (modulo 1).
double rotated_radical(uint32_t i, int base, double shift) {
    double inv = 1.0 / base, f = inv, r = 0;
    while (i) {
        r += (i % base) * f;
        i /= base;
        f *= inv;
    }
    r += shift;
    return r - std::floor(r);
}

}  // namespace

// Dimension 0: one point per stratum of width 1/count, at a shared offset
// inside the strata. Dimension 1: the base-2 radical inverse with scrambled
// digits, which puts one point in each stratum of the second axis when
// count is a power of two. Further dimensions: radical inverses in the next
// primes, rotated.
void qmc_point(double *out, int dims, int index, int count, uint32_t scramble) {
    if (count < 1) count = 1;
    const double offset = (hash32(scramble ^ 0x68e31da4u) >> 8) * (1.0 / 16777216.0);
    const uint32_t i = static_cast<uint32_t>(index);
    for (int d = 0; d < dims; ++d) {
        double v;
        if (d == 0)
            v = (index % count + offset) / count;
        else if (d == 1)
            v = scrambled_base2(i, hash32(scramble + 0x9e3779b9u));
        else
            v = rotated_radical(i, kPrimes[std::min(d, 7)],
                                (hash32(scramble + 0x632be5abu * d) >> 8) * (1.0 / 16777216.0));
        out[d] = std::min(v, 0.99999999999);
    }
}

uint32_t sample_scramble(const RenderState *state, uint32_t salt) {
    uint32_t h = hash32(salt + 0x2545f491u);
    if (!state) return h;
    h = hash32(h ^ float_bits(state->raster_x));
    h = hash32(h ^ float_bits(state->raster_y));
    h = hash32(h ^ static_cast<uint32_t>(state->sample_index));
    h = hash32(h ^ float_bits(state->point.x) ^ (float_bits(state->point.y) * 3u) ^
               (float_bits(state->point.z) * 7u));
    h = hash32(h ^ static_cast<uint32_t>(state->type) ^
               (static_cast<uint32_t>(state->trace_depth) << 8) ^
               (static_cast<uint32_t>(state->light_instance) << 12));
    return h;
}

}  // namespace korhost

using namespace korhost;

// ---------------------------------------------------------------------------
// Sampling and random numbers.

// With `samples`: sample *counter of a stratified set of *samples, true
// until the set is used up. Without: one fresh sample per call.
HOST_API zoBoolean zo_sample(double *sample, int *counter, RenderState *state, int dimension,
                             const int *samples) {
    if (!sample || dimension < 1) return 0;
    int local = 0;
    if (!counter) counter = &local;
    const int dims = std::min(dimension, 8);
    uint32_t scramble =
        sample_scramble(state, static_cast<uint32_t>(dimension) * 0x1000193u +
                                   (state && state->shader ? state->shader->tag : 0) * 0x3c6ef372u);
    if (samples) {
        if (*counter >= *samples || *samples < 1) return 0;
        scramble ^= static_cast<uint32_t>(*samples) * 0x85ebca6bu;
        qmc_point(sample, dims, *counter, *samples, scramble);
    } else {
        // Every single sample of an eye sample is a fresh one, also for
        // callers that start each draw from a zero counter.
        static thread_local uint32_t outside = 0;
        ThreadContext *ctx = thread_context();
        const uint32_t draw = ctx ? ctx->draws++ : outside++;
        qmc_point(sample, dims, 0, 1,
                  hash32(scramble ^ static_cast<uint32_t>(*counter) ^ hash32(draw + 0x51ed27u)));
    }
    for (int d = dims; d < dimension; ++d) sample[d] = sample[d % dims];
    ++*counter;
    return 1;
}

namespace {
uint64_t &random_state() {
    static thread_local uint64_t fallback = 0x853c49e6748fea9bULL;
    ThreadContext *ctx = thread_context();
    return ctx ? ctx->random_state : fallback;
}
}  // namespace

// A per-thread generator (splitmix64); zo_srandom seeds the caller's.
HOST_API double zo_random(void) {
    uint64_t &x = random_state();
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return (z >> 11) * (1.0 / 9007199254740992.0);
}

HOST_API void zo_srandom(long seed) {
    random_state() = static_cast<uint64_t>(seed) * 0x9e3779b97f4a7c15ULL + 1;
}

// The 48-bit linear congruential sequence of its three seed words.
HOST_API double zo_erandom(unsigned short seed[3]) {
    return seed ? erand48(seed) : zo_random();
}

// ---------------------------------------------------------------------------
// Noise: gradient noise on the integer lattice, in [0, 1] around 0.5. The
// u-forms spread the same noise more evenly over [0, 1].

namespace {

struct NoiseTables {
    int perm[512];
    float grad1[256];
    Vector3 grad3[256];
    NoiseTables() {
        uint64_t x = 0x2545f4914f6cdd1dULL;
        auto next = [&x] {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            return x;
        };
        for (int i = 0; i < 256; ++i) perm[i] = i;
        for (int i = 255; i > 0; --i) std::swap(perm[i], perm[next() % (i + 1)]);
        for (int i = 0; i < 256; ++i) perm[256 + i] = perm[i];
        for (int i = 0; i < 256; ++i) {
            grad1[i] = ((next() % 2001) / 1000.0f) - 1.0f;
            Vector3 g;
            do {
                g = Vector3{(next() % 2001) / 1000.0f - 1, (next() % 2001) / 1000.0f - 1,
                            (next() % 2001) / 1000.0f - 1};
            } while (dot(g, g) > 1 || dot(g, g) < 0.01f);
            grad3[i] = normalize(g);
        }
    }
};

const NoiseTables &tables() {
    static const NoiseTables t;
    return t;
}

inline float fade(float t) {
    return t * t * t * (t * (t * 6 - 15) + 10);
}
inline float dfade(float t) {
    return 30 * t * t * (t * (t - 2) + 1);
}

// Raw gradient noise in about [-1, 1] with its gradient.
float noise3(float px, float py, float pz, Vector3 *grad) {
    const NoiseTables &T = tables();
    const float fx = std::floor(px), fy = std::floor(py), fz = std::floor(pz);
    const int ix = static_cast<int>(fx) & 255, iy = static_cast<int>(fy) & 255,
              iz = static_cast<int>(fz) & 255;
    const float x = px - fx, y = py - fy, z = pz - fz;
    float n[8];
    Vector3 g[8];
    for (int k = 0; k < 8; ++k) {
        const int dx = k & 1, dy = (k >> 1) & 1, dz = k >> 2;
        const int h = T.perm[T.perm[T.perm[ix + dx] + iy + dy] + iz + dz];
        g[k] = T.grad3[h];
        n[k] = g[k].x * (x - dx) + g[k].y * (y - dy) + g[k].z * (z - dz);
    }
    const float u = fade(x), v = fade(y), w = fade(z);
    auto lerp = [](float a, float b, float t) { return a + t * (b - a); };
    const float x00 = lerp(n[0], n[1], u), x10 = lerp(n[2], n[3], u);
    const float x01 = lerp(n[4], n[5], u), x11 = lerp(n[6], n[7], u);
    const float y0 = lerp(x00, x10, v), y1 = lerp(x01, x11, v);
    const float value = lerp(y0, y1, w);
    if (grad) {
        // The blend's weights and their derivatives, corner by corner.
        const float du = dfade(x), dv = dfade(y), dw = dfade(z);
        Vector3 gl{0, 0, 0};
        for (int k = 0; k < 8; ++k) {
            const int dx = k & 1, dy = (k >> 1) & 1, dz = k >> 2;
            const float wx = dx ? u : 1 - u, wy = dy ? v : 1 - v, wz = dz ? w : 1 - w;
            const float sx = dx ? du : -du, sy = dy ? dv : -dv, sz = dz ? dw : -dw;
            gl = gl + g[k] * (wx * wy * wz) +
                 Vector3{sx * wy * wz, wx * sy * wz, wx * wy * sz} * n[k];
        }
        *grad = gl;
    }
    return value;
}

float noise1(float p, float *grad) {
    const NoiseTables &T = tables();
    const float f = std::floor(p);
    const int i = static_cast<int>(f) & 255;
    const float x = p - f;
    const float g0 = T.grad1[T.perm[i]], g1 = T.grad1[T.perm[i + 1]];
    const float n0 = g0 * x, n1 = g1 * (x - 1);
    const float u = fade(x);
    if (grad) *grad = g0 + u * (g1 - g0) + dfade(x) * (n1 - n0);
    return n0 + u * (n1 - n0);
}

// Signed noise to [0, 1]: 0.5 + 0.5 * clamp(scale * n).
constexpr float kScale1 = 2.0f, kScale3 = 1.4f;

float to_unit(float n, float scale, float *dscale) {
    float v = n * scale;
    if (v > 1 || v < -1) {
        if (dscale) *dscale = 0;
        return v > 1 ? 1.0f : 0.0f;
    }
    if (dscale) *dscale = 0.5f * scale;
    return 0.5f + 0.5f * v;
}

// Stretches [0, 1] noise towards an even spread: x -> x + k sin(2 pi x) /
// (2 pi) with k < 1 keeps it monotonic and fixes 0, 0.5 and 1.
float spread(float x, float *dspread) {
    constexpr float k = -0.6f;
    const float a = 2 * static_cast<float>(M_PI) * x;
    if (dspread) *dspread = 1 + k * std::cos(a);
    return x + k * std::sin(a) / (2 * static_cast<float>(M_PI));
}

}  // namespace

HOST_API float zo_noise_1d(float p) {
    return to_unit(noise1(p, nullptr), kScale1, nullptr);
}
HOST_API float zo_noise_1d_grad(float p, float *gradient) {
    float g, d;
    const float v = to_unit(noise1(p, &g), kScale1, &d);
    if (gradient) *gradient = g * d;
    return v;
}
HOST_API float zo_noise_2d(float u, float v) {
    return to_unit(noise3(u, v, 0.0f, nullptr), kScale3, nullptr);
}
HOST_API float zo_noise_2d_grad(float u, float v, float *gradient_u, float *gradient_v) {
    Vector3 g;
    float d;
    const float r = to_unit(noise3(u, v, 0.0f, &g), kScale3, &d);
    if (gradient_u) *gradient_u = g.x * d;
    if (gradient_v) *gradient_v = g.y * d;
    return r;
}
HOST_API float zo_noise_3d(const Vector3 *p) {
    return p ? to_unit(noise3(p->x, p->y, p->z, nullptr), kScale3, nullptr) : 0.5f;
}
HOST_API float zo_noise_3d_grad(const Vector3 *p, Vector3 *gradient) {
    Vector3 g{0, 0, 0};
    float d = 0;
    const float r = p ? to_unit(noise3(p->x, p->y, p->z, &g), kScale3, &d) : 0.5f;
    if (gradient) *gradient = g * d;
    return r;
}
HOST_API float zo_unoise_1d(float p) {
    return spread(zo_noise_1d(p), nullptr);
}
HOST_API float zo_unoise_1d_grad(float p, float *gradient) {
    float g, s;
    const float v = spread(zo_noise_1d_grad(p, &g), &s);
    if (gradient) *gradient = g * s;
    return v;
}
HOST_API float zo_unoise_2d(float u, float v) {
    return spread(zo_noise_2d(u, v), nullptr);
}
HOST_API float zo_unoise_2d_grad(float u, float v, float *gradient_u, float *gradient_v) {
    float gu, gv, s;
    const float r = spread(zo_noise_2d_grad(u, v, &gu, &gv), &s);
    if (gradient_u) *gradient_u = gu * s;
    if (gradient_v) *gradient_v = gv * s;
    return r;
}
HOST_API float zo_unoise_3d(const Vector3 *p) {
    return spread(zo_noise_3d(p), nullptr);
}
HOST_API float zo_unoise_3d_grad(const Vector3 *p, Vector3 *gradient) {
    Vector3 g;
    float s;
    const float r = spread(zo_noise_3d_grad(p, &g), &s);
    if (gradient) *gradient = g * s;
    return r;
}

// ---------------------------------------------------------------------------
// Scattering directions. The state's normal faces the ray origin; its ray
// direction points into the surface.

namespace {

constexpr float kPi = 3.14159265358979323846f;

void basis(const Vector3 &n, Vector3 *u, Vector3 *v) {
    const Vector3 h = std::fabs(n.x) < 0.9f ? Vector3{1, 0, 0} : Vector3{0, 1, 0};
    *u = normalize(cross(n, h));
    *v = cross(n, *u);
}

Vector3 cosine_about(const Vector3 &n, double a, double b) {
    Vector3 u, v;
    basis(n, &u, &v);
    const float r = static_cast<float>(std::sqrt(a)), phi = 2 * kPi * static_cast<float>(b);
    const float z = static_cast<float>(std::sqrt(std::max(0.0, 1 - a)));
    return normalize(u * (r * std::cos(phi)) + v * (r * std::sin(phi)) + n * z);
}

void two_numbers(RenderState *state, double s[2]) {
    int counter = 0;
    zo_sample(s, &counter, state, 2, nullptr);
}

Vector3 mirror(const Vector3 &d, const Vector3 &n) {
    return normalize(d - n * (2 * dot(d, n)));
}

bool refract(Vector3 *out, const Vector3 &d, Vector3 n, float ior_in, float ior_out) {
    if (ior_in <= 0) ior_in = 1;
    if (ior_out <= 0) ior_out = 1;
    float cos_i = -dot(n, d);
    if (cos_i < 0) {  // the normal faces away from the ray: turn it
        n = n * -1.0f;
        cos_i = -cos_i;
    }
    const float eta = ior_in / ior_out;
    const float k = 1 - eta * eta * (1 - cos_i * cos_i);
    if (k < 0) return false;
    *out = normalize(d * eta + n * (eta * cos_i - std::sqrt(k)));
    return true;
}

// A half vector about `n` from Ward's anisotropic distribution with
// roughness 1/shiny_u along u and 1/shiny_v along v.
Vector3 ward_half(const Vector3 &n, const Vector3 &u, const Vector3 &v, float shiny_u,
                  float shiny_v, const double s[2]) {
    const float au = 1 / std::max(shiny_u, 1e-3f), av = 1 / std::max(shiny_v, 1e-3f);
    const double a = std::max(s[0], 1e-12);
    const float phi = std::atan2(av * std::sin(2 * kPi * static_cast<float>(s[1])),
                                 au * std::cos(2 * kPi * static_cast<float>(s[1])));
    const float cp = std::cos(phi), sp = std::sin(phi);
    const float tan2 =
        static_cast<float>(-std::log(a)) / (cp * cp / (au * au) + sp * sp / (av * av));
    const float cos_t = 1 / std::sqrt(1 + tan2), sin_t = std::sqrt(1 - cos_t * cos_t);
    return normalize(u * (sin_t * cp) + v * (sin_t * sp) + n * cos_t);
}

void glossy_reflection(Vector3 *dir, RenderState *state, const Vector3 &u, const Vector3 &v,
                       float su, float sv) {
    const Vector3 n = state->normal;
    for (int attempt = 0; attempt < 8; ++attempt) {
        double s[2];
        two_numbers(state, s);
        const Vector3 h = ward_half(n, u, v, su, sv, s);
        const Vector3 r = mirror(state->dir, h);
        if (dot(r, n) > 0) {
            *dir = r;
            return;
        }
    }
    *dir = mirror(state->dir, n);
}

bool glossy_transmission(Vector3 *dir, RenderState *state, float ior_in, float ior_out,
                         const Vector3 &u, const Vector3 &v, float su, float sv) {
    const Vector3 n = state->normal;
    for (int attempt = 0; attempt < 8; ++attempt) {
        double s[2];
        two_numbers(state, s);
        const Vector3 h = ward_half(n, u, v, su, sv, s);
        Vector3 t;
        if (refract(&t, state->dir, h, ior_in, ior_out) && dot(t, n) < 0) {
            *dir = t;
            return true;
        }
    }
    return refract(dir, state->dir, n, ior_in, ior_out);
}

float mean(const Color *c) {
    return c ? std::max(0.0f, (c->r + c->g + c->b) / 3) : 0.0f;
}

}  // namespace

HOST_API void zo_reflection_dir(Vector3 *dir, RenderState *state) {
    if (dir && state) *dir = mirror(state->dir, state->normal);
}

HOST_API zoBoolean zo_refraction_dir(Vector3 *dir, RenderState *state, float ior_in,
                                     float ior_out) {
    return dir && state && refract(dir, state->dir, state->normal, ior_in, ior_out) ? 1 : 0;
}

HOST_API void zo_reflection_dir_specular(Vector3 *dir, RenderState *state) {
    zo_reflection_dir(dir, state);
}

HOST_API void zo_reflection_dir_diffuse_x(Vector3 *dir, RenderState *state,
                                          const double sample[2]) {
    if (dir && state && sample) *dir = cosine_about(state->normal, sample[0], sample[1]);
}

HOST_API void zo_reflection_dir_diffuse(Vector3 *dir, RenderState *state) {
    if (!dir || !state) return;
    double s[2];
    two_numbers(state, s);
    *dir = cosine_about(state->normal, s[0], s[1]);
}

HOST_API void zo_reflection_dir_glossy(Vector3 *dir, RenderState *state, float shiny) {
    if (!dir || !state) return;
    Vector3 u, v;
    basis(state->normal, &u, &v);
    glossy_reflection(dir, state, u, v, shiny, shiny);
}

HOST_API void zo_reflection_dir_anisglossy(Vector3 *dir, RenderState *state, const Vector3 *u,
                                           const Vector3 *v, float shiny_u, float shiny_v) {
    if (!dir || !state || !u || !v) return;
    glossy_reflection(dir, state, normalize(*u), normalize(*v), shiny_u, shiny_v);
}

HOST_API zoBoolean zo_transmission_dir_specular(Vector3 *dir, RenderState *state, float ior_in,
                                                float ior_out) {
    return zo_refraction_dir(dir, state, ior_in, ior_out);
}

HOST_API void zo_transmission_dir_diffuse(Vector3 *dir, RenderState *state) {
    if (!dir || !state) return;
    double s[2];
    two_numbers(state, s);
    *dir = cosine_about(state->normal * -1.0f, s[0], s[1]);
}

HOST_API zoBoolean zo_transmission_dir_glossy(Vector3 *dir, RenderState *state, float ior_in,
                                              float ior_out, float shiny) {
    if (!dir || !state) return 0;
    Vector3 u, v;
    basis(state->normal, &u, &v);
    return glossy_transmission(dir, state, ior_in, ior_out, u, v, shiny, shiny) ? 1 : 0;
}

HOST_API zoBoolean zo_transmission_dir_anisglossy(Vector3 *dir, RenderState *state, float ior_in,
                                                  float ior_out, const Vector3 *u, const Vector3 *v,
                                                  float shiny_u, float shiny_v) {
    if (!dir || !state || !u || !v) return 0;
    return glossy_transmission(dir, state, ior_in, ior_out, normalize(*u), normalize(*v), shiny_u,
                               shiny_v)
               ? 1
               : 0;
}

HOST_API void zo_scattering_dir_diffuse(Vector3 *dir, RenderState *state) {
    if (!dir || !state) return;
    double s[2];
    two_numbers(state, s);
    const float z = 1 - 2 * static_cast<float>(s[0]), r = std::sqrt(std::max(0.0f, 1 - z * z));
    const float phi = 2 * kPi * static_cast<float>(s[1]);
    *dir = Vector3{r * std::cos(phi), r * std::sin(phi), z};
}

// Henyey-Greenstein about the ray direction.
HOST_API void zo_scattering_dir_directional(Vector3 *dir, RenderState *state, float g) {
    if (!dir || !state) return;
    if (std::fabs(g) < 1e-3f) return zo_scattering_dir_diffuse(dir, state);
    double s[2];
    two_numbers(state, s);
    g = std::clamp(g, -0.999f, 0.999f);
    const float k = (1 - g * g) / (1 - g + 2 * g * static_cast<float>(s[0]));
    const float cos_t = std::clamp((1 + g * g - k * k) / (2 * g), -1.0f, 1.0f);
    const float sin_t = std::sqrt(1 - cos_t * cos_t), phi = 2 * kPi * static_cast<float>(s[1]);
    Vector3 u, v;
    const Vector3 w = normalize(state->dir);
    basis(w, &u, &v);
    *dir = normalize(u * (sin_t * std::cos(phi)) + v * (sin_t * std::sin(phi)) + w * cos_t);
}

HOST_API float zo_scattering_pathlength(RenderState *state, float density) {
    if (density <= 0) return INFINITY;
    double s[2];
    two_numbers(state, s);
    return static_cast<float>(-std::log(std::max(1.0 - s[0], 1e-12)) / density);
}

HOST_API int zo_choose_scatter_type(RenderState *state, float transparency, const Color *diffuse,
                                    const Color *glossy, const Color *specular) {
    const float t = std::clamp(transparency, 0.0f, 1.0f);
    const float d = mean(diffuse), g = mean(glossy), sp = mean(specular);
    const float p[6] = {(1 - t) * d, (1 - t) * g, (1 - t) * sp, t * d, t * g, t * sp};
    const int type[6] = {ZO_PHOTON_REFLECT_DIFFUSE,  ZO_PHOTON_REFLECT_GLOSSY,
                         ZO_PHOTON_REFLECT_SPECULAR, ZO_PHOTON_TRANSMIT_DIFFUSE,
                         ZO_PHOTON_TRANSMIT_GLOSSY,  ZO_PHOTON_TRANSMIT_SPECULAR};
    double s[2];
    two_numbers(state, s);
    float x = static_cast<float>(s[0]);
    for (int k = 0; k < 6; ++k) {
        if (x < p[k]) return type[k];
        x -= p[k];
    }
    return ZO_PHOTON_ABSORB;
}

// Picks one of the four interactions with the mean of its weight as its
// probability (the probabilities scaled down to sum to 1 when the means
// sum to more), and divides the chosen weight by its probability, so that
// what the caller carries on keeps its expected energy.
HOST_API int zo_choose_simple_scatter_type(RenderState *state, Color *reflect_diffuse,
                                           Color *reflect_specular, Color *transmit_diffuse,
                                           Color *transmit_specular) {
    Color *weight[4] = {reflect_diffuse, reflect_specular, transmit_diffuse, transmit_specular};
    float p[4], sum = 0;
    for (int k = 0; k < 4; ++k) sum += p[k] = mean(weight[k]);
    if (sum > 1)
        for (float &q : p) q /= sum;
    const int type[4] = {ZO_PHOTON_REFLECT_DIFFUSE, ZO_PHOTON_REFLECT_SPECULAR,
                         ZO_PHOTON_TRANSMIT_DIFFUSE, ZO_PHOTON_TRANSMIT_SPECULAR};
    double s[2];
    two_numbers(state, s);
    float x = static_cast<float>(s[0]);
    for (int k = 0; k < 4; ++k) {
        if (x < p[k]) {
            Color &w = *weight[k];
            const float f = 1 / p[k];
            w = Color{w.r * f, w.g * f, w.b * f, w.a * f};
            return type[k];
        }
        x -= p[k];
    }
    return ZO_PHOTON_ABSORB;
}

// 1: the first lobe (with probability first_weight), 2: the second.
HOST_API int zo_choose_lobe(RenderState *state, float first_weight) {
    double s[2];
    two_numbers(state, s);
    return s[0] < first_weight ? 1 : 2;
}

// Unpolarised dielectric Fresnel reflectance at the state's hit.
HOST_API float zo_fresnel_reflection(RenderState *state, float ior_in, float ior_out) {
    if (!state) return 0;
    if (ior_in <= 0) ior_in = 1;
    if (ior_out <= 0) ior_out = 1;
    const float cos_i = std::min(1.0f, std::fabs(state->dot_nd));
    const float eta = ior_in / ior_out;
    const float sin_t2 = eta * eta * (1 - cos_i * cos_i);
    if (sin_t2 >= 1) return 1;
    const float cos_t = std::sqrt(1 - sin_t2);
    const float rs = (ior_in * cos_i - ior_out * cos_t) / (ior_in * cos_i + ior_out * cos_t);
    const float rp = (ior_out * cos_i - ior_in * cos_t) / (ior_out * cos_i + ior_in * cos_t);
    return 0.5f * (rs * rs + rp * rp);
}

// (R . L)^exponent with R the mirror direction of the ray and L the light
// direction; 0 below the surface.
HOST_API float zo_phong_specular(float exponent, RenderState *state, const Vector3 *direction) {
    if (!state || !direction) return 0;
    const float c = dot(mirror(state->dir, state->normal), normalize(*direction));
    return c > 0 ? std::pow(c, exponent) : 0.0f;
}

// Ward's isotropic glossy BRDF; `in` points into the surface, `out` away.
HOST_API float zo_ward_glossy(const Vector3 *in, const Vector3 *out, const Vector3 *normal,
                              float shiny) {
    if (!in || !out || !normal || shiny <= 0) return 0;
    const Vector3 n = normalize(*normal), i = normalize(*in), o = normalize(*out);
    const float ci = -dot(i, n), co = dot(o, n);
    if (ci <= 0 || co <= 0) return 0;
    const Vector3 h = normalize(o - i);
    const float ch = dot(h, n);
    if (ch <= 0) return 0;
    const float a2 = 1 / (shiny * shiny);
    const float tan2 = (1 - ch * ch) / (ch * ch);
    return std::exp(-tan2 / a2) / (4 * kPi * a2 * std::sqrt(ci * co));
}

HOST_API float zo_ward_anisglossy(const Vector3 *in, const Vector3 *out, const Vector3 *normal,
                                  const Vector3 *u, const Vector3 *v, float shiny_u,
                                  float shiny_v) {
    if (!in || !out || !normal || !u || !v || shiny_u <= 0 || shiny_v <= 0) return 0;
    const Vector3 n = normalize(*normal), i = normalize(*in), o = normalize(*out);
    const float ci = -dot(i, n), co = dot(o, n);
    if (ci <= 0 || co <= 0) return 0;
    const Vector3 h = normalize(o - i);
    const float ch = dot(h, n);
    if (ch <= 0) return 0;
    const float hu = dot(h, normalize(*u)) * shiny_u, hv = dot(h, normalize(*v)) * shiny_v;
    return std::exp(-(hu * hu + hv * hv) / (ch * ch)) * shiny_u * shiny_v /
           (4 * kPi * std::sqrt(ci * co));
}

// Schlick's phase function; g > 0 scatters forward (looking into the light).
HOST_API float zo_schlick_scatter(const Vector3 *direction, const Vector3 *light_direction,
                                  float g) {
    if (!direction || !light_direction) return 0;
    const float k = 1.55f * g - 0.55f * g * g * g;
    const float c = dot(normalize(*direction), normalize(*light_direction));
    const float d = 1 - k * c;
    return (1 - k * k) / (4 * kPi * d * d);
}

HOST_API float zo_luminance(RenderState *, const Color *color) {
    return color ? 0.299f * color->r + 0.587f * color->g + 0.114f * color->b : 0.0f;
}

// ---------------------------------------------------------------------------
// Opacity and ray falloff, per sample.

HOST_API void zo_opacity_set(RenderState *, const Color *opacity) {
    ThreadContext *ctx = thread_context();
    if (!ctx || !opacity) return;
    ctx->opacity = *opacity;
    ctx->opacity_set = true;
}

HOST_API zoBoolean zo_opacity_get(RenderState *, Color *opacity) {
    ThreadContext *ctx = thread_context();
    if (!ctx || !ctx->opacity_set) return 0;
    if (opacity) *opacity = ctx->opacity;
    return 1;
}

HOST_API void zo_ray_falloff(RenderState *, double *start, double *stop) {
    ThreadContext *ctx = thread_context();
    if (!ctx || !start || !stop) return;
    std::swap(ctx->falloff_start, *start);
    std::swap(ctx->falloff_stop, *stop);
}

// ---------------------------------------------------------------------------
// Scene editing, which the reference host does not provide.

HOST_API void *zo_scene_create(void *, int, ...) {
    return nullptr;
}

// Light maps: the texture's own image, edited in place.
HOST_API zoImage *zo_lightmap_edit(void **handle, Tag texture) {
    Session *s = session();
    DbItem *it = s ? s->item(texture) : nullptr;
    if (handle) *handle = nullptr;
    if (!it || (it->type != ZO_DB_TEXTURE && it->type != ZO_DB_IMAGE)) return nullptr;
    if (handle) *handle = it->record;
    return static_cast<zoImage *>(it->record);
}
HOST_API void zo_lightmap_edit_end(void *) {}
