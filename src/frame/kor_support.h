// The shaders' shared numerical toolkit: gradient-lattice noise with
// process-wide tables, the cellular feature search, scalar shaping
// functions, colour and vector helpers, the calls by which a material asks
// a map for a colour, a grey value or a bump vector, refraction-index
// tracking across nested refractive objects and the irradiance helper.
//
// Everything here is a plain function on plain values. The only shared
// state is the set of noise tables (built once per process by noiseInit and
// only read afterwards) and the process random generator.
#ifndef KORSHADERS_FRAME_KOR_SUPPORT_H
#define KORSHADERS_FRAME_KOR_SUPPORT_H

#include <korshaders/host.h>
#include <stdint.h>

namespace kor {

// ---------------------------------------------------------------------------
// Process random generator.
//
// A 15-bit linear congruential generator of our own, so that every table
// built from it is the same in every run and on every platform:
//     next = next * 1103515245 + 12345   (mod 2^32)
//     value = (next / 65536) mod 32768
// srand15(seed) sets next = seed; the state starts at 1. The state is
// process-wide and unsynchronised: seed and draw under a lock (shader
// initialisation) when other threads may draw at the same time.
constexpr int kRand15Max = 32767;
void srand15(uint32_t seed);
int rand15();

// The same generator on caller-owned state.
struct Random15 {
    uint32_t next = 1;
    void seed(uint32_t s) { next = s; }
    int draw() {
        next = next * 1103515245u + 12345u;
        return static_cast<int>((next / 65536u) % 32768u);
    }
};

// ---------------------------------------------------------------------------
// Noise tables.

constexpr int kNoisePeriod = 512;  // lattice period of the noise functions
constexpr int kNoiseTableSize = kNoisePeriod + 2;
constexpr int kRandomTableSize = 10000;
constexpr int kPoissonSize = 9;

struct NoiseTables {
    int32_t perm[kNoiseTableSize];  // 0..511: a permutation; 512, 513 repeat 0, 1
    float grad1[kNoiseTableSize];
    float grad2[kNoiseTableSize][2];
    float grad3[kNoiseTableSize][3];
    float grad4[kNoiseTableSize][4];
    float poissonCdf[kPoissonSize];       // cumulative Poisson distribution, mean 3
    float randomTable[kRandomTableSize];  // uniform in [0, 1]
};

// The process tables (all zero until noiseInit has run).
const NoiseTables &noiseTables();

// Builds the tables once per process: a double-checked flag under the
// host's global lock (state->global_lock). A null state builds without
// taking a lock (single-threaded callers without a host only).
void noiseInit(RenderState *state);

// Fills `tables` from the fixed seeds and leaves the process generator
// seeded with 1. Does not touch the process tables. The caller serialises
// it against other users of the process generator.
void noiseBuildTables(NoiseTables *tables);

// Gradient noise, roughly in [-1, 1] and 0 at every lattice point. The
// inputs must stay above -10000.
float noise1(float x);
float noise2(float x, float y);
float noise3(const Vector3 &p);
float noise4(float x, float y, float z, float w);
// clamp(1.65 * noise3(p), -1, 1)
float noiseScaled(const Vector3 &p);

// ---------------------------------------------------------------------------
// Cellular support.

// ((perm[z & 511] << 9) | perm[y & 511]) << 9 | perm[x & 511]
int32_t cellHash(int32_t x, int32_t y, int32_t z);
// The first k in 0..8 with r < poissonCdf[k], else 8.
int cellCount(float r);
// randomTable[i mod 10000] (a negative i counts from the end).
float cellRandom(int32_t i);

// One feature point found by the nearest-feature search.
struct CellFeature {
    float dist2;     // squared distance from the point
    int32_t hash;    // cellHash of the feature's cell (-1: empty entry)
    Vector3 offset;  // feature point minus the searched point
};

// Fills list[0 .. count-1] with the `count` feature points nearest to p,
// nearest first, from p's lattice cell and its 26 neighbours. Entries that
// find no feature keep dist2 = FLT_MAX and hash -1. Allocation- and
// lock-free; needs the noise tables.
void cellNearestFeatures(const Vector3 &p, CellFeature *list, int count);

// ---------------------------------------------------------------------------
// Scalar helpers (single precision).

// Integer part toward zero, minus 1 for negative x.
inline int floorInt(float x) {
    const int i = static_cast<int>(x);
    return x < 0.0f ? i - 1 : i;
}
// x - floorInt(x)
inline float frac(float x) {
    return x - static_cast<float>(floorInt(x));
}
float largest3(float a, float b, float c);
float clampRange(float x, float lo, float hi);
float linearStep(float a, float b, float x);
float smoothStep(float a, float b, float x);
float softClamp(float x, float lo, float hi, float s);
float remap01(float x, float lo, float hi);
float bias(float t, float b);
float fmodPositive(float x, float m);
float factorial(int n);
// Catmull-Rom through n knots: segment i = int(x), 0 .. n-3, runs from
// knots[i + 1] to knots[i + 2] (the last one from knots[n - 2] to the last
// knot, which stands in for the knot past the end). splineColor blends r,
// g, b; alpha is 1.
float splineScalar(float x, int n, const float *knots);
Color splineColor(float x, int n, const Color *knots);

// ---------------------------------------------------------------------------
// Vector and colour helpers.

float intensity(const Color &c);  // (r + g + b) * 0.33333334
// The mirror direction of the state's ray about its normal, using the
// stored cosine: dir - 2 (N.D) N.
Vector3 reflectDir(const RenderState *state);
Vector3 normalize(const Vector3 &v);                  // v / |v|; the zero vector unchanged
Vector3 normalizeByMax(const Vector3 &v);             // v / max(x, y, z) unless that is 0
Color clampColor(const Color &c);                     // r, g, b in [0, 1], alpha 0
Color makeColor(float r, float g, float b, float a);  // r, g, b in [0, 1]
// v turned by `angle` radians about the unit vector `axis`.
Vector3 rotateAboutAxis(const Vector3 &v, float angle, const Vector3 &axis);
// 0, 1 or 2 for the axis of largest magnitude; 3 for the zero vector.
int dominantAxis(const Vector3 &v);
// Barycentric weights (wa, wb, wc) of p in the triangle a, b, c, solved in
// the plane of the two axes other than the dominant axis of the triangle's
// normal; a degenerate triangle gives (1, 0, 0).
Vector3 planarWeights(const Vector3 &p, const Vector3 &a, const Vector3 &b, const Vector3 &c);

// ---------------------------------------------------------------------------
// Map calls.

enum MapKind : int32_t { kMapColor = 0, kMapGrey = 1, kMapBump = 2 };

// The argument with which a material calls a map through
// zo_call_shader_x(result, ZO_SHADER_MAP, state, map, request). The map
// calls below write `kind` and `reserved` (0); `extra` is the caller's and
// travels to the map unchanged (callers without one may hand a two-word
// record). A null request stands for {kind, 0, 0}.
struct MapRequest {
    int32_t kind;      // MapKind: the map's output mode
    int32_t reserved;  // always 0
    int32_t extra;
};

// The map's grey value (r + g + b) / 3, or 0 when the call fails.
float mapGrey(RenderState *state, MapRequest *request, Tag map);
// *out = the map's colour when the call returns exactly 1, else unchanged.
zoBoolean mapColor(Color *out, RenderState *state, MapRequest *request, Tag map);
// *out = r, g, b of the map's bump result when the call returns exactly 1,
// else unchanged.
zoBoolean mapBump(Vector3 *out, RenderState *state, MapRequest *request, Tag map);
// The colour of texture `tag` at `coordinate`: for an image (database type
// 13) the pixel at (x * width, y * height), clamped to the image; otherwise
// the host's texture lookup.
zoBoolean textureColor(Color *out, RenderState *state, const Vector3 *coordinate, Tag tag);

// ---------------------------------------------------------------------------
// Refraction-index tracking.

// Transitions of the current shader instance in this thread, kept in the
// instance's per-thread block (queries 124 and 126).
struct IorTracker {
    int32_t count;
};

// Sets the state's index pair (ior, ior_in) on entering or leaving an object
// of index `ior`, and counts the transition. Without `tracker` the counter is
// the per-thread block of the running instance, created on first use; a
// caller that keeps the counter as the first word of its own per-thread
// block hands that.
void iorEnter(RenderState *state, float ior, IorTracker *tracker = nullptr);
void iorLeave(RenderState *state, IorTracker *tracker = nullptr);

// ---------------------------------------------------------------------------
// Indirect light: zo_compute_irradiance / pi. With `substitute` the call sees
// `normal` as the state's normal, and the result is scaled by
// (|D.M| + 0.2) / (|D.normal| + 0.2), M = normalize(normal + 0.2 k tangent)
// (k negated on the inside). A failed call gives (0, 0, 0, 1).
zoBoolean irradiance(Color *result, RenderState *state, bool substitute, const Vector3 &normal,
                     const Vector3 &tangent, float k);

}  // namespace kor

#endif
