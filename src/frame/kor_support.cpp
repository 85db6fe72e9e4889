// The shaders' shared numerical toolkit (see kor_support.h).
#include "kor_support.h"

#include <atomic>
#include <cfloat>
#include <cmath>

#include "kor_vector.h"

namespace kor {

namespace {

constexpr const char *kModule = "kor_support";
constexpr int kMask = kNoisePeriod - 1;
constexpr double kNoiseOffset = 10000.0;

Random15 gRandom;
NoiseTables gTables;
std::atomic<int32_t> needsInit{1};

// Draws `n` components ((r mod 1024) - 512) / 512 until their squared length
// is at most 1 (and not 0), then normalises them.
void drawUnitVector(float *out, int n) {
    for (;;) {
        float len2 = 0.0f;
        for (int k = 0; k < n; ++k) {
            out[k] = static_cast<float>((rand15() % 1024) - 512) / 512.0f;
            len2 += out[k] * out[k];
        }
        if (len2 <= 1.0f && len2 > 0.0f) {
            const float inv = 1.0f / std::sqrt(len2);
            for (int k = 0; k < n; ++k) out[k] *= inv;
            return;
        }
    }
}

// One axis of a lattice lookup: the two cell indices and the offsets of the
// coordinate from the cell's two corners.
struct Axis {
    int b0, b1;
    float r0, r1;
};

// The cell index is taken modulo the period in double before it becomes an
// integer, so far-away points (and points below the offset) stay on the
// lattice; a coordinate that is not finite counts as the lattice origin.
// Below 2^52 in magnitude the whole number is exact as a 64-bit integer,
// whose low bits are its remainder modulo the period (a power of two),
// negative numbers included.
inline Axis split(float x) {
    static_assert((kNoisePeriod & kMask) == 0, "the period is a power of two");
    double t = static_cast<double>(x) + kNoiseOffset;
    if (!std::isfinite(t)) t = 0.0;
    const double cell = std::floor(t);
    Axis a;
    if (std::fabs(cell) < 4503599627370496.0) {
        a.b0 = static_cast<int>(static_cast<int64_t>(cell) & kMask);
    } else {
        double wrapped = std::fmod(cell, static_cast<double>(kNoisePeriod));
        if (wrapped < 0.0) wrapped += kNoisePeriod;
        a.b0 = static_cast<int>(wrapped) & kMask;
    }
    a.b1 = (a.b0 + 1) & kMask;
    a.r0 = static_cast<float>(t - cell);
    a.r1 = a.r0 - 1.0f;
    return a;
}

inline float scurve(float t) {
    return t * t * (3.0f - 2.0f * t);
}
inline float lerp(float t, float a, float b) {
    return a + t * (b - a);
}
inline int32_t chain(int32_t index, int b) {
    return gTables.perm[(index + b) & kMask];
}

inline float dot3(const float *g, float x, float y, float z) {
    return g[0] * x + g[1] * y + g[2] * z;
}
inline float dot4(const float *g, float x, float y, float z, float w) {
    return g[0] * x + g[1] * y + g[2] * z + g[3] * w;
}

// Inserts one feature into the sorted list, shifting farther entries down.
inline void insertFeature(CellFeature *list, int count, float dist2, int32_t hash,
                          const Vector3 &offset) {
    int k = count - 1;
    if (!(dist2 < list[k].dist2)) return;
    while (k > 0 && list[k - 1].dist2 > dist2) {
        list[k] = list[k - 1];
        --k;
    }
    list[k] = CellFeature{dist2, hash, offset};
}

// Squared distance from a coordinate to the unit interval [c, c + 1].
inline float gap2(float p, float c) {
    const float d = p < c ? c - p : p > c + 1.0f ? p - (c + 1.0f) : 0.0f;
    return d * d;
}

// The thread's tracker of the running instance, created at `initial`.
IorTracker *threadTracker(RenderState *state, int32_t initial) {
    void *block = nullptr;
    if (!zo_query(ZO_Q_FUNC_TLS_GET, state, 0, &block)) return nullptr;
    if (!block) {
        block = zo_mem_int_allocate(kModule, __LINE__, sizeof(IorTracker));
        if (!block) return nullptr;
        static_cast<IorTracker *>(block)->count = initial;
        if (!zo_query(ZO_Q_FUNC_TLS_SET, state, 0, &block)) {
            zo_mem_int_release(kModule, __LINE__, block);
            return nullptr;
        }
    }
    return static_cast<IorTracker *>(block);
}

inline bool sameInstance(const RenderState *a, const RenderState *b) {
    return a->shader && b->shader && a->shader->tag == b->shader->tag;
}

}  // namespace

// ---------------------------------------------------------------------------
// Process random generator.

void srand15(uint32_t seed) {
    gRandom.seed(seed);
}
int rand15() {
    return gRandom.draw();
}

// ---------------------------------------------------------------------------
// Noise tables.

const NoiseTables &noiseTables() {
    return gTables;
}

void noiseBuildTables(NoiseTables *t) {
    srand15(548485);
    for (int i = 0; i < kNoisePeriod; ++i) {
        t->perm[i] = i;
        t->grad1[i] = static_cast<float>((rand15() % 1024) - 512) / 512.0f;
        drawUnitVector(t->grad2[i], 2);
        drawUnitVector(t->grad3[i], 3);
        drawUnitVector(t->grad4[i], 4);
    }
    for (int i = kNoisePeriod - 1; i > 0; --i) {
        const int j = rand15() % kNoisePeriod;
        const int32_t k = t->perm[i];
        t->perm[i] = t->perm[j];
        t->perm[j] = k;
    }
    for (int i = 0; i < 2; ++i) {
        const int e = kNoisePeriod + i;
        t->perm[e] = t->perm[i];
        t->grad1[e] = t->grad1[i];
        for (int k = 0; k < 2; ++k) t->grad2[e][k] = t->grad2[i][k];
        for (int k = 0; k < 3; ++k) t->grad3[e][k] = t->grad3[i][k];
        for (int k = 0; k < 4; ++k) t->grad4[e][k] = t->grad4[i][k];
    }

    srand15(1);
    // term i = 3^i e^-3 / i!, written as 1 / (3^-i e^3 i!)
    double sum = 0.0;
    for (int i = 0; i < kPoissonSize; ++i) {
        sum += 1.0 / (std::pow(3.0, -i) * 20.08553629 * factorial(i));
        t->poissonCdf[i] = static_cast<float>(sum);
    }
    for (int i = 0; i < kRandomTableSize; ++i)
        t->randomTable[i] = static_cast<float>(rand15() / 32767.0);
    srand15(1);
}

void noiseInit(RenderState *state) {
    if (!needsInit.load(std::memory_order_acquire)) return;
    const bool locked = state != nullptr;
    if (locked) zo_lock(state->global_lock);
    if (needsInit.load(std::memory_order_relaxed)) {
        noiseBuildTables(&gTables);
        needsInit.store(0, std::memory_order_release);
    }
    if (locked) zo_unlock(state->global_lock);
}

float noise1(float x) {
    const Axis a = split(x);
    const float u = a.r0 * gTables.grad1[gTables.perm[a.b0]];
    const float v = a.r1 * gTables.grad1[gTables.perm[a.b1]];
    return lerp(scurve(a.r0), u, v);
}

float noise2(float x, float y) {
    const Axis ax = split(x), ay = split(y);
    const int32_t i = gTables.perm[ax.b0], j = gTables.perm[ax.b1];
    const float(*g)[2] = gTables.grad2;
    const float *q00 = g[chain(i, ay.b0)], *q10 = g[chain(j, ay.b0)];
    const float *q01 = g[chain(i, ay.b1)], *q11 = g[chain(j, ay.b1)];
    const float sx = scurve(ax.r0), sy = scurve(ay.r0);
    const float a = lerp(sx, q00[0] * ax.r0 + q00[1] * ay.r0, q10[0] * ax.r1 + q10[1] * ay.r0);
    const float b = lerp(sx, q01[0] * ax.r0 + q01[1] * ay.r1, q11[0] * ax.r1 + q11[1] * ay.r1);
    return lerp(sy, a, b);
}

float noise3(const Vector3 &p) {
    const Axis ax = split(p.x), ay = split(p.y), az = split(p.z);
    const int32_t i = gTables.perm[ax.b0], j = gTables.perm[ax.b1];
    const int32_t b00 = chain(i, ay.b0), b10 = chain(j, ay.b0);
    const int32_t b01 = chain(i, ay.b1), b11 = chain(j, ay.b1);
    const float(*g)[3] = gTables.grad3;
    const float sx = scurve(ax.r0), sy = scurve(ay.r0), sz = scurve(az.r0);

    float u = dot3(g[chain(b00, az.b0)], ax.r0, ay.r0, az.r0);
    float v = dot3(g[chain(b10, az.b0)], ax.r1, ay.r0, az.r0);
    float a = lerp(sx, u, v);
    u = dot3(g[chain(b01, az.b0)], ax.r0, ay.r1, az.r0);
    v = dot3(g[chain(b11, az.b0)], ax.r1, ay.r1, az.r0);
    float b = lerp(sx, u, v);
    const float c = lerp(sy, a, b);

    u = dot3(g[chain(b00, az.b1)], ax.r0, ay.r0, az.r1);
    v = dot3(g[chain(b10, az.b1)], ax.r1, ay.r0, az.r1);
    a = lerp(sx, u, v);
    u = dot3(g[chain(b01, az.b1)], ax.r0, ay.r1, az.r1);
    v = dot3(g[chain(b11, az.b1)], ax.r1, ay.r1, az.r1);
    b = lerp(sx, u, v);
    const float d = lerp(sy, a, b);

    return lerp(sz, c, d);
}

float noise4(float x, float y, float z, float w) {
    const Axis ax = split(x), ay = split(y), az = split(z), aw = split(w);
    const int32_t i = gTables.perm[ax.b0], j = gTables.perm[ax.b1];
    // corner indices through x, y and z, indexed [dx][dy][dz]
    int32_t bxyz[2][2][2];
    for (int dy = 0; dy < 2; ++dy) {
        const int by = dy ? ay.b1 : ay.b0;
        const int32_t bi = chain(i, by), bj = chain(j, by);
        for (int dz = 0; dz < 2; ++dz) {
            const int bz = dz ? az.b1 : az.b0;
            bxyz[0][dy][dz] = chain(bi, bz);
            bxyz[1][dy][dz] = chain(bj, bz);
        }
    }
    const float(*g)[4] = gTables.grad4;
    const float sx = scurve(ax.r0), sy = scurve(ay.r0), sz = scurve(az.r0), sw = scurve(aw.r0);
    float layer[2];
    for (int dw = 0; dw < 2; ++dw) {
        const int bw = dw ? aw.b1 : aw.b0;
        const float rw = dw ? aw.r1 : aw.r0;
        float plane[2];
        for (int dz = 0; dz < 2; ++dz) {
            const float rz = dz ? az.r1 : az.r0;
            float row[2];
            for (int dy = 0; dy < 2; ++dy) {
                const float ry = dy ? ay.r1 : ay.r0;
                const float u = dot4(g[chain(bxyz[0][dy][dz], bw)], ax.r0, ry, rz, rw);
                const float v = dot4(g[chain(bxyz[1][dy][dz], bw)], ax.r1, ry, rz, rw);
                row[dy] = lerp(sx, u, v);
            }
            plane[dz] = lerp(sy, row[0], row[1]);
        }
        layer[dw] = lerp(sz, plane[0], plane[1]);
    }
    return lerp(sw, layer[0], layer[1]);
}

float noiseScaled(const Vector3 &p) {
    return clampRange(1.65f * noise3(p), -1.0f, 1.0f);
}

// ---------------------------------------------------------------------------
// Cellular support.

int32_t cellHash(int32_t x, int32_t y, int32_t z) {
    const int32_t *perm = gTables.perm;
    return ((perm[z & kMask] << 9) | perm[y & kMask]) << 9 | perm[x & kMask];
}

int cellCount(float r) {
    for (int k = 0; k < kPoissonSize; ++k)
        if (r < gTables.poissonCdf[k]) return k;
    return kPoissonSize - 1;
}

float cellRandom(int32_t i) {
    int32_t k = i % kRandomTableSize;
    if (k < 0) k += kRandomTableSize;
    return gTables.randomTable[k];
}

void cellNearestFeatures(const Vector3 &p, CellFeature *list, int count) {
    if (!list || count <= 0) return;
    for (int k = 0; k < count; ++k) list[k] = CellFeature{FLT_MAX, -1, {0.0f, 0.0f, 0.0f}};
    const int cx = static_cast<int>(std::floor(p.x));
    const int cy = static_cast<int>(std::floor(p.y));
    const int cz = static_cast<int>(std::floor(p.z));
    const float *table = gTables.randomTable;
    // the point's own cell first, so that the neighbours can mostly be
    // skipped by their distance from the point
    for (int n = 0; n < 27; ++n) {
        const int d = (n + 13) % 27;  // 13 is the centre cell
        const int x = cx + d % 3 - 1, y = cy + (d / 3) % 3 - 1, z = cz + d / 9 - 1;
        const Vector3 corner{static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
        if (gap2(p.x, corner.x) + gap2(p.y, corner.y) + gap2(p.z, corner.z) >=
            list[count - 1].dist2)
            continue;
        const int32_t h = cellHash(x, y, z);
        const int features = cellCount(table[h % kRandomTableSize]);
        int index = (h < 0 ? -h : h) % kRandomTableSize + 1;
        for (int f = 0; f < features; ++f) {
            float c[3];
            for (int k = 0; k < 3; ++k) {
                if (index >= kRandomTableSize) index = 0;
                c[k] = table[index++];
            }
            const Vector3 offset{corner.x + c[0] - p.x, corner.y + c[1] - p.y,
                                 corner.z + c[2] - p.z};
            insertFeature(list, count, dot(offset, offset), h, offset);
        }
    }
}

// ---------------------------------------------------------------------------
// Scalar helpers.

float largest3(float a, float b, float c) {
    const float m = a > b ? a : b;
    return m > c ? m : c;
}

float clampRange(float x, float lo, float hi) {
    if (lo <= x && x <= hi) return x;
    return x < lo ? lo : hi;
}

float linearStep(float a, float b, float x) {
    return clampRange((x - a) / (b - a), 0.0f, 1.0f);
}

float smoothStep(float a, float b, float x) {
    if (x < a) return 0.0f;
    if (x > b) return 1.0f;
    const float t = (x - a) / (b - a);
    return t * t * (3.0f - 2.0f * t);
}

float softClamp(float x, float lo, float hi, float s) {
    if (x <= lo - s) return lo;
    if (x > hi + s) return hi;
    if (lo + s < x && x <= hi - s) return x;
    if (x <= lo + s) {
        const float t = (x - (lo - s)) / (2.0f * s);
        return lo + s * t * t;
    }
    const float t = ((hi + s) - x) / (2.0f * s);
    return hi - s * t * t;
}

float remap01(float x, float lo, float hi) {
    if (hi == lo) return x;
    if (x < lo) return 0.0f;
    if (x > hi) return 1.0f;
    return (x - lo) / (hi - lo);
}

float bias(float t, float b) {
    return std::pow(t, std::log(b) / std::log(0.5f));
}

float fmodPositive(float x, float m) {
    const float r = x - m * std::trunc(x / m);
    return r < 0.0f ? r + m : r;
}

float factorial(int n) {
    float f = 1.0f;
    for (int i = 2; i <= n; ++i) f *= static_cast<float>(i);
    return f;
}

namespace {

// The segment of x among n knots (at most n - 3) and the position inside
// it. The segment's four knots start at its index; the last segment repeats
// the last knot in place of the one past the end.
inline int splineSegment(float x, int n, float *f) {
    int i = static_cast<int>(x);
    if (i > n - 3) i = n - 3;
    if (i < 0) i = 0;
    *f = x - static_cast<float>(i);
    return i;
}

inline int knotIndex(int i, int n) {
    return i < n ? i : n - 1;
}

inline float catmullRom(float f, float k0, float k1, float k2, float k3) {
    return (((-0.5f * k0 + 1.5f * k1 - 1.5f * k2 + 0.5f * k3) * f +
             (k0 - 2.5f * k1 + 2.0f * k2 - 0.5f * k3)) *
                f +
            (-0.5f * k0 + 0.5f * k2)) *
               f +
           k1;
}

}  // namespace

float splineScalar(float x, int n, const float *knots) {
    if (n <= 0) return 0.0f;
    float f;
    const int i = splineSegment(x, n, &f);
    return catmullRom(f, knots[knotIndex(i, n)], knots[knotIndex(i + 1, n)],
                      knots[knotIndex(i + 2, n)], knots[knotIndex(i + 3, n)]);
}

Color splineColor(float x, int n, const Color *knots) {
    if (n <= 0) return Color{0.0f, 0.0f, 0.0f, 1.0f};
    float f;
    const int i = splineSegment(x, n, &f);
    const Color &k0 = knots[knotIndex(i, n)], &k1 = knots[knotIndex(i + 1, n)];
    const Color &k2 = knots[knotIndex(i + 2, n)], &k3 = knots[knotIndex(i + 3, n)];
    return Color{catmullRom(f, k0.r, k1.r, k2.r, k3.r), catmullRom(f, k0.g, k1.g, k2.g, k3.g),
                 catmullRom(f, k0.b, k1.b, k2.b, k3.b), 1.0f};
}

// ---------------------------------------------------------------------------
// Vector and colour helpers.

float intensity(const Color &c) {
    return (c.r + c.g + c.b) * 0.33333334f;
}

Vector3 reflectDir(const RenderState *state) {
    const float k = 2.0f * state->dot_nd;
    const Vector3 &d = state->dir, &n = state->normal;
    return {d.x - k * n.x, d.y - k * n.y, d.z - k * n.z};
}

Vector3 normalize(const Vector3 &v) {
    const float len = std::sqrt(dot(v, v));
    if (len == 0.0f) return v;
    return {v.x / len, v.y / len, v.z / len};
}

Vector3 normalizeByMax(const Vector3 &v) {
    const float m = largest3(v.x, v.y, v.z);
    if (m == 0.0f) return v;
    return {v.x / m, v.y / m, v.z / m};
}

Color clampColor(const Color &c) {
    return {clampRange(c.r, 0.0f, 1.0f), clampRange(c.g, 0.0f, 1.0f), clampRange(c.b, 0.0f, 1.0f),
            0.0f};
}

Color makeColor(float r, float g, float b, float a) {
    return {clampRange(r, 0.0f, 1.0f), clampRange(g, 0.0f, 1.0f), clampRange(b, 0.0f, 1.0f), a};
}

Vector3 rotateAboutAxis(const Vector3 &v, float angle, const Vector3 &axis) {
    const float c = std::cos(angle), s = std::sin(angle), t = 1.0f - c;
    const Vector3 kxv = cross(axis, v);
    const float kv = dot(axis, v) * t;
    return {v.x * c + kxv.x * s + axis.x * kv, v.y * c + kxv.y * s + axis.y * kv,
            v.z * c + kxv.z * s + axis.z * kv};
}

int dominantAxis(const Vector3 &v) {
    const float x = std::fabs(v.x), y = std::fabs(v.y), z = std::fabs(v.z);
    if (x > y && x > z) return 0;
    if (y >= x && y > z) return 1;
    return v.z == 0.0f ? 3 : 2;
}

Vector3 planarWeights(const Vector3 &p, const Vector3 &a, const Vector3 &b, const Vector3 &c) {
    const Vector3 e1 = b - a, e2 = c - a, q = p - a;
    const int axis = dominantAxis(cross(e1, e2));
    if (axis > 2) return {1.0f, 0.0f, 0.0f};
    const int u = axis == 0 ? 1 : 0, v = axis == 2 ? 1 : 2;
    const float e1u = component(e1, u), e1v = component(e1, v);
    const float e2u = component(e2, u), e2v = component(e2, v);
    const float det = e1u * e2v - e2u * e1v;
    if (det == 0.0f) return {1.0f, 0.0f, 0.0f};
    const float qu = component(q, u), qv = component(q, v);
    const float wb = (qu * e2v - e2u * qv) / det;
    const float wc = (e1u * qv - qu * e1v) / det;
    return {1.0f - wb - wc, wb, wc};
}

// ---------------------------------------------------------------------------
// Map calls.

namespace {

inline zoBoolean callMap(Color *result, RenderState *state, MapRequest *request, Tag map,
                         int32_t kind) {
    MapRequest local{0, 0, 0};
    if (!request) request = &local;
    request->kind = kind;
    request->reserved = 0;
    return zo_call_shader_x(result, ZO_SHADER_MAP, state, map, request);
}

}  // namespace

float mapGrey(RenderState *state, MapRequest *request, Tag map) {
    Color c{0.0f, 0.0f, 0.0f, 0.0f};
    if (!callMap(&c, state, request, map, kMapGrey)) return 0.0f;
    return (c.r + c.g + c.b) / 3.0f;
}

zoBoolean mapColor(Color *out, RenderState *state, MapRequest *request, Tag map) {
    Color c{0.0f, 0.0f, 0.0f, 0.0f};
    const zoBoolean ok = callMap(&c, state, request, map, kMapColor);
    if (ok == 1) *out = c;
    return ok;
}

zoBoolean mapBump(Vector3 *out, RenderState *state, MapRequest *request, Tag map) {
    Color c{0.0f, 0.0f, 0.0f, 0.0f};
    const zoBoolean ok = callMap(&c, state, request, map, kMapBump);
    if (ok == 1) *out = Vector3{c.r, c.g, c.b};
    return ok;
}

zoBoolean textureColor(Color *out, RenderState *state, const Vector3 *coordinate, Tag tag) {
    if (zo_db_type(tag) != ZO_DB_IMAGE) return zo_lookup_color_texture(out, state, tag, coordinate);
    const zoImage *image = static_cast<const zoImage *>(zo_db_access(tag));
    if (!image) return 0;
    const int width = zo_img_get_width(image), height = zo_img_get_height(image);
    if (width > 0 && height > 0) {
        const int x = static_cast<int>(clampRange(coordinate->x * width, 0.0f, width - 1.0f));
        const int y = static_cast<int>(clampRange(coordinate->y * height, 0.0f, height - 1.0f));
        zo_img_get_color(image, out, x, y);
    }
    zo_db_unpin(tag);
    return width > 0 && height > 0;
}

// ---------------------------------------------------------------------------
// Refraction-index tracking.

void iorEnter(RenderState *state, float ior, IorTracker *tracker) {
    if (!tracker) tracker = threadTracker(state, 0);
    const int32_t count = tracker ? tracker->count : 0;
    if (count == 0 && !state->parent) {
        state->ior_in = 1.0f;
        state->ior = ior;
    } else if (count & 1) {
        // leaving: back to the index and volume outside the object
        state->ior_in = ior;
        const RenderState *outside = state->parent;
        while (outside && !sameInstance(outside, state)) outside = outside->parent;
        if (outside) {
            state->ior = outside->ior_in;
            state->volume = outside->refraction_volume;
        } else {
            state->ior = 1.0f;
            state->volume = state->camera ? state->camera->volume : 0;
        }
    } else {
        state->ior_in = state->ior;
        state->ior = ior;
    }
    if (tracker) ++tracker->count;
}

void iorLeave(RenderState *state, IorTracker *tracker) {
    if (!tracker) tracker = threadTracker(state, 1);
    if (tracker) --tracker->count;
}

// ---------------------------------------------------------------------------
// Indirect light.

zoBoolean irradiance(Color *result, RenderState *state, bool substitute, const Vector3 &normal,
                     const Vector3 &tangent, float k) {
    constexpr float kInvPi = 0.31830987f;
    float scale = kInvPi;
    zoBoolean ok;
    if (!substitute) {
        ok = zo_compute_irradiance(result, state);
    } else {
        const Vector3 saved = state->normal;
        state->normal = normal;
        ok = zo_compute_irradiance(result, state);
        state->normal = saved;
        const float kk = state->inv_normal ? -k : k;
        const Vector3 m =
            normalize(Vector3{normal.x + 0.2f * kk * tangent.x, normal.y + 0.2f * kk * tangent.y,
                              normal.z + 0.2f * kk * tangent.z});
        scale =
            ((std::fabs(dot(state->dir, m)) + 0.2f) / (std::fabs(dot(state->dir, normal)) + 0.2f)) *
            kInvPi;
    }
    if (!ok) {
        *result = Color{0.0f, 0.0f, 0.0f, 1.0f};
        return ok;
    }
    result->r *= scale;
    result->g *= scale;
    result->b *= scale;
    return ok;
}

}  // namespace kor
