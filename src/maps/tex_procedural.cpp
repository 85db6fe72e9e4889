// The frame the solid procedural maps share (see tex_procedural.h).
#include "maps/tex_procedural.h"

#include <math.h>
#include <string.h>

#include <atomic>

#include "maps/kor_stduv.h"

namespace kor {

namespace {

constexpr Color kClear = {0.0f, 0.0f, 0.0f, 0.0f};

inline bool finite(float x) {
    return x == x && x - x == 0.0f;
}

}  // namespace

Vector3 procFinite(Vector3 p) {
    return {finite(p.x) ? p.x : 0.0f, finite(p.y) ? p.y : 0.0f, finite(p.z) ? p.z : 0.0f};
}

void procCoordinates(RenderState *state, Tag coords, bool bump, ProcPoint *out, bool footprint) {
    out->p = kZero;
    out->footprint = {1.0f, 1.0f, 1.0f};
    out->rows[0] = {1.0f, 0.0f, 0.0f};
    out->rows[1] = {0.0f, 1.0f, 0.0f};
    out->rows[2] = {0.0f, 0.0f, 1.0f};
    out->hasGenerator = coords != 0;
    if (!coords) return;

    CoordQuery query;
    memset(&query, 0, sizeof query);
    query.magic = kCoordQueryXYZ;
    query.flags = (footprint ? kQueryFootprint : 0) | (bump ? kQueryRows : 0);
    void *savedUser = state->user;
    const int32_t savedSize = state->user_size;
    state->user = &query;
    state->user_size = kCoordQuerySize;
    // room for a coordinate record or a colour: x, y, z come first in both
    float answer[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const zoBoolean ok = zo_call_shader_x(answer, ZO_SHADER_MAP, state, coords, nullptr);
    state->user = savedUser;
    state->user_size = savedSize;

    if (ok) out->p = procFinite(Vector3{answer[0], answer[1], answer[2]});
    out->footprint = procFinite(Vector3{query.slots[0], query.slots[1], query.slots[2]});
    if (bump)
        for (int r = 0; r < 3; ++r)
            out->rows[r] = procFinite(
                Vector3{query.slots[3 + 3 * r], query.slots[4 + 3 * r], query.slots[5 + 3 * r]});
}

void procRequireXYZ(RenderState *state, int32_t *warned) {
    if (warned && __atomic_exchange_n(warned, 1, __ATOMIC_RELAXED) != 0) return;
    zo_error("\"%s\" requires xyz coordinate shader", shader_name(state));
}

void procGBuffer(RenderState *state, int32_t id) {
    if (state->type == ZO_RAY_EYE && id != 0) zo_fb_put(state, 0, &id);
}

Color procSideColor(RenderState *state, const ProcSide &side, int kind) {
    if (!side.active()) return side.color;
    MapRequest request = {kind, 0, 0};
    Color c = kClear;
    if (!zo_call_shader_x(&c, ZO_SHADER_MAP, state, side.map, &request)) c = kClear;
    return c;
}

namespace {

inline Color mix(const Color &a, const Color &b, float v) {
    const float u = 1.0f - v;
    return {a.r * u + b.r * v, a.g * u + b.g * v, a.b * u + b.b * v, a.a * u + b.a * v};
}

inline int toByte(float x) {
    if (!(x > 0.0f)) return 0;
    if (x >= 1.0f) return 255;
    return static_cast<int>(x * 255.0f + 0.5f);
}

}  // namespace

Color procBlend(RenderState *state, const ProcSide &s1, const ProcSide &s2, float v, int kind,
                bool hardEnds) {
    if (hardEnds) {
        if (v <= 0.0005f) return procSideColor(state, s1, kind);
        if (v >= 0.9995f) return procSideColor(state, s2, kind);
    }
    return mix(procSideColor(state, s1, kind), procSideColor(state, s2, kind), v);
}

Color procBlendFixed(const Color &c1, const Color &c2, float v) {
    int w2 = finite(v) ? static_cast<int>(clampRange(v, 0.0f, 1.0f) * 4096.0f) : 0;
    const int w1 = 4096 - w2;
    const float *a = &c1.r, *b = &c2.r;
    float out[4];
    for (int k = 0; k < 4; ++k)
        out[k] = static_cast<float>((toByte(a[k]) * w1 + toByte(b[k]) * w2) >> 12) / 255.0f;
    return {out[0], out[1], out[2], out[3]};
}

Color procBlendFixed(RenderState *state, const ProcSide &s1, const ProcSide &s2, float v,
                     int kind) {
    return procBlendFixed(procSideColor(state, s1, kind), procSideColor(state, s2, kind), v);
}

void procOutput(RenderState *state, Tag output, const int *mode, Color *result) {
    if (output) zo_call_shader_x(result, ZO_SHADER_MAP, state, output, const_cast<int *>(mode));
}

Vector3 procGradient(ProcPattern f, const void *data, const ProcPoint &pt, float h, float *f0) {
    const float base = f(data, pt.p, pt.footprint);
    if (f0) *f0 = base;
    float g[3];
    for (int i = 0; i < 3; ++i) g[i] = (f(data, pt.p + pt.rows[i] * h, pt.footprint) - base) / h;
    return {g[0], g[1], g[2]};
}

void procBumpResult(RenderState *state, Vector3 g, float v, const ProcSide &s1, const ProcSide &s2,
                    Tag output, const int *mode, Color *result) {
    // into internal space with the rows of the state's matrix normalised
    const float *m = nullptr;
    if (zo_query(ZO_Q_TRANS_INTERNAL_TO_CAMERA, state, 0, &m) && m) {
        zoMatrix rows;
        memset(rows, 0, sizeof rows);
        for (int r = 0; r < 3; ++r) {
            const Vector3 row = unit(Vector3{m[4 * r], m[4 * r + 1], m[4 * r + 2]});
            rows[4 * r] = row.x;
            rows[4 * r + 1] = row.y;
            rows[4 * r + 2] = row.z;
        }
        rows[15] = 1.0f;
        Vector3 turned = g;
        zo_vector_transform(&turned, &g, rows);
        g = turned;
    }

    Vector3 vector;
    if (!s1.active() && !s2.active()) {
        vector = g * (intensity(s2.color) - intensity(s1.color));
    } else {
        float i[2];
        Vector3 b[2] = {kZero, kZero};
        const ProcSide *sides[2] = {&s1, &s2};
        for (int k = 0; k < 2; ++k) {
            const ProcSide &s = *sides[k];
            if (!s.active()) {
                i[k] = intensity(s.color);
                continue;
            }
            i[k] = intensity(procSideColor(state, s, kMapColor));
            MapRequest request = {kMapBump, 0, 0};
            Color c = kClear;
            if (zo_call_shader_x(&c, ZO_SHADER_MAP, state, s.map, &request))
                b[k] = Vector3{c.r, c.g, c.b};
        }
        vector = g * (i[1] - i[0]) + (b[1] - b[0]) * v + b[0];
    }
    if (output) {
        Color c = {vector.x, vector.y, vector.z, 0.0f};
        zo_call_shader_x(&c, ZO_SHADER_MAP, state, output, const_cast<int *>(mode));
        vector = Vector3{c.r, c.g, c.b};
    }
    *result = {vector.x, vector.y, vector.z, 1.0f};
}

zoBoolean procShade(Color *result, RenderState *state, const int *mode, const ProcPoint &pt,
                    ProcPattern f, const void *data, const ProcSide &s1, const ProcSide &s2,
                    Tag output, ProcBlendKind blend, float h, float bumpScale) {
    const int m = procMode(mode);
    if (!procIsBump(m)) {
        const float v = f(data, pt.p, pt.footprint);
        switch (blend) {
            case kProcLinear: *result = procBlend(state, s1, s2, v, m, false); break;
            case kProcHardEnds: *result = procBlend(state, s1, s2, v, m, true); break;
            case kProcFixed: *result = procBlendFixed(state, s1, s2, v, m); break;
        }
        procOutput(state, output, mode, result);
        return 1;
    }
    float v;
    const Vector3 g = procGradient(f, data, pt, h, &v) * bumpScale;
    procBumpResult(state, g, v, s1, s2, output, mode, result);
    return 1;
}

void procNeutral(Color *result, int mode) {
    if (procIsBump(mode))
        *result = {0.0f, 0.0f, 0.0f, 1.0f};
    else
        *result = kClear;
}

void procEvalTwoColor(RenderState *state, const ProcTwoColor *raw, ProcTwoColor *p) {
    p->color1 = eval(state, &raw->color1);
    p->color2 = eval(state, &raw->color2);
    p->map1 = eval(state, &raw->map1);
    p->map2 = eval(state, &raw->map2);
    p->map1On = eval(state, &raw->map1On);
    p->map2On = eval(state, &raw->map2On);
}

void *procNewInstance(RenderState *state, const char *module, int line, int size) {
    void **slot = user_slot(state);
    if (!slot) return nullptr;
    if (*slot) zo_mem_int_release(module, line, *slot);
    void *inst = zo_mem_int_allocate(module, line, size);
    *slot = inst;
    return inst;
}

void procFreeInstance(RenderState *state, const void *params, const char *module, int line) {
    if (!params) return;
    void **slot = user_slot(state);
    if (!slot || !*slot) return;
    zo_mem_int_release(module, line, *slot);
    *slot = nullptr;
}

bool procClassInit(RenderState *state, const void *params, zoBoolean *request, bool tableNoise) {
    if (params) return false;
    if (request) *request = 1;
    noiseInit(state);
    if (tableNoise) tableNoiseInit(state);
    return true;
}

// ---------------------------------------------------------------------------
// Table noise.

namespace {

constexpr uint32_t kTableSeed = 7919;
float gTable[kTableNoiseSize];
std::atomic<bool> gTableReady{false};

inline float cubic(float t) {
    return t * t * (3.0f - 2.0f * t);
}

inline int wrap(int i) {
    return i & (kTableNoiseSize - 1);
}

// Whole part and fraction of a lattice coordinate, kept in range.
inline void split(float x, int *i, float *f) {
    if (!finite(x) || x > 1.0e9f || x < -1.0e9f) x = 0.0f;
    const float fl = floorf(x);
    *f = x - fl;
    *i = static_cast<int>(static_cast<long long>(fl) & 0x3FFFFFFF);  // room for +1 steps
}

}  // namespace

void tableNoiseInit(RenderState *state) {
    if (gTableReady.load(std::memory_order_acquire)) return;
    if (state) zo_lock(state->global_lock);
    if (!gTableReady.load(std::memory_order_relaxed)) {
        Random15 random;
        random.seed(kTableSeed);
        for (float &v : gTable) v = static_cast<float>(random.draw()) / 32768.0f;
        gTableReady.store(true, std::memory_order_release);
    }
    if (state) zo_unlock(state->global_lock);
}

const float *tableNoiseValues() {
    return gTable;
}

float tableNoise1(float x) {
    int i;
    float f;
    split(x, &i, &f);
    const float a = gTable[wrap(i)], b = gTable[wrap(i + 1)];
    return a + (b - a) * f;
}

float tableNoise3(const Vector3 &p) {
    int ix, iy, iz;
    float fx, fy, fz;
    split(p.x, &ix, &fx);
    split(p.y, &iy, &fy);
    split(p.z, &iz, &fz);
    const int32_t *perm = noiseTables().perm;
    auto value = [&](int dx, int dy, int dz) {
        const int h = perm[(perm[(perm[(ix + dx) & 511] + iy + dy) & 511] + iz + dz) & 511];
        return gTable[wrap(h)];
    };
    const float sx = cubic(fx), sy = cubic(fy), sz = cubic(fz);
    float c[2][2];
    for (int dy = 0; dy < 2; ++dy)
        for (int dz = 0; dz < 2; ++dz) {
            const float a = value(0, dy, dz), b = value(1, dy, dz);
            c[dy][dz] = a + (b - a) * sx;
        }
    const float y0 = c[0][0] + (c[1][0] - c[0][0]) * sy;
    const float y1 = c[0][1] + (c[1][1] - c[0][1]) * sy;
    return y0 + (y1 - y0) * sz;
}

}  // namespace kor
