// UV coordinate generators. A 2-D map calls its generator with a lookup
// request; the generator computes the coordinate and its footprint, does
// the tiling, mirroring and box filtering, and calls back into the map for
// reads inside one tile.
#include "kor_stduv.h"

#include <math.h>
#include <string.h>
#include <xmmintrin.h>

#include "kor_bary.h"
#include "kor_context.h"
#include "kor_matrix.h"
#include "kor_memo.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "scenedata.h"
#include "shader.h"

namespace {

constexpr const char *kModule = "kor_stduv";
constexpr float kPi = 3.14159265358979f;

// Per-thread data of a generator instance.
struct UVThreadData {
    int32_t ready;
    int32_t rotated;
    int32_t valid;
    float angles[3];
    float sinW, cosW;
    kor::Matrix34 matrix;
    kor::Matrix34 inverse;
    ShadingContext context;
    FootprintCache footprint;              // the triangle last shaded
    const UVGeneratorParams *plainRecord;  // a record without connections
    int32_t subpixelSamples;               // the sample count `subpixel` is for (0: none yet)
    float subpixel;
    // The texture space last chosen, and what chose it: the answer depends
    // only on the instance's object (its data and texture spaces), the
    // scene data and the channel parameters, none of which changes while
    // the instance is shaded.
    struct {
        int32_t valid;
        Tag instance;
        int32_t texCount;
        int32_t source;
        int32_t number;
        int32_t index;
        const zoOptions *options;
    } channel;
};

// The evaluated record: every parameter is a 32-bit scalar, so with
// connections the record is evaluated word by word into `scratch`; without
// any it is read as it stands. A record found to have no connections is
// remembered in the thread's data, when there is one (its connections do
// not change while the instance is shaded).
__attribute__((noinline)) const UVGeneratorParams &evaluate_record(RenderState *state,
                                                                   const UVGeneratorParams *raw,
                                                                   UVGeneratorParams *scratch,
                                                                   UVThreadData *td) {
    static_assert(sizeof(UVGeneratorParams) % 4 == 0, "32-bit parameters only");
    if (kor::unconnected(state, raw, sizeof *raw)) {
        if (td) td->plainRecord = raw;
        return *raw;
    }
    const int32_t *in = reinterpret_cast<const int32_t *>(raw);
    int32_t *out = reinterpret_cast<int32_t *>(scratch);
    for (size_t i = 0; i < sizeof *scratch / 4; ++i) out[i] = kor::eval(state, &in[i]);
    return *scratch;
}

inline const UVGeneratorParams &evaluate(RenderState *state, const UVGeneratorParams *raw,
                                         UVGeneratorParams *scratch, UVThreadData *td) {
    if (!state || (td && td->plainRecord == raw)) return *raw;
    return evaluate_record(state, raw, scratch, td);
}

// Room for an evaluated record, left unfilled (the record's defaults would
// be written on every call only to be overwritten).
union EvaluatedParams {
    EvaluatedParams() {}
    UVGeneratorParams params;
};

kor::ShaderMemo uvMemo;

// The thread's data, as the host answered it before on this thread.
__attribute__((always_inline)) inline UVThreadData *thread_data(RenderState *state) {
    auto *td = static_cast<UVThreadData *>(
        kor::memoThreadBlock(uvMemo, state, kModule, __LINE__, sizeof(UVThreadData)));
    if (td && !td->ready) {
        kor::contextCreate(&td->context, state);
        td->ready = 1;
    }
    return td;
}

// The texture-space index of the generator's channel on the shaded surface.
int texture_channel(RenderState *state, const UVGeneratorParams &p, UVThreadData *td) {
    auto &c = td->channel;
    if (c.valid && c.instance == state->instance && c.texCount == state->tex_count &&
        c.options == state->options && c.source == p.textureSource && c.number == p.mapChannel)
        return c.index;
    const int index =
        kor::selectChannel(state, &td->context, 0, nullptr, p.textureSource, p.mapChannel);
    c.valid = state->instance != 0;
    c.instance = state->instance;
    c.texCount = state->tex_count;
    c.source = p.textureSource;
    c.number = p.mapChannel;
    c.options = state->options;
    c.index = index;
    return index;
}

__attribute__((noinline)) void rebuild_transform(UVThreadData *td, const UVGeneratorParams &p) {
    const float angles[3] = {p.uAngle, p.vAngle, p.wAngle};
    for (int i = 0; i < 3; ++i) td->angles[i] = angles[i];
    td->cosW = cosf(p.wAngle);
    td->sinW = sinf(p.wAngle);
    kor::Matrix34 m = kor::matrixIdentity();
    for (int axis = 0; axis < 3; ++axis)
        m = kor::matrixMultiply(m, kor::matrixRotation(axis, angles[axis]));
    td->rotated = !(p.uAngle == 0.0f && p.vAngle == 0.0f && p.wAngle == 0.0f);
    if (p.mappingKind == 0 && (p.axis == 1 || p.axis == 2)) {
        const kor::Matrix34 old = m;
        const int order[2][3] = {{2, 0, 1}, {1, 2, 0}};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) m.m[r][c] = old.m[order[p.axis - 1][r]][c];
    }
    td->matrix = m;
    td->inverse = kor::matrixInverse(m);
    td->valid = 1;
}

// The rotation is rebuilt when the angles change.
inline void refresh_transform(UVThreadData *td, const UVGeneratorParams &p) {
    if (td->valid && td->angles[0] == p.uAngle && td->angles[1] == p.vAngle &&
        td->angles[2] == p.wAngle)
        return;
    rebuild_transform(td, p);
}

// (u, v, w) -> (v, w, u) for axis 1, (w, u, v) for axis 2
Vector3 permute(Vector3 a, int axis) {
    if (axis == 1) return {a.y, a.z, a.x};
    if (axis == 2) return {a.z, a.x, a.y};
    return a;
}

bool tiled(const UVGeneratorParams &p) {
    return p.uTile || p.vTile || p.uMirror || p.vMirror;
}

// The face is turned away from the viewer.
bool turned_away(RenderState *state) {
    const Vector3 n = state->inv_normal ? -state->normal_geom : state->normal_geom;
    return kor::dot(n, state->dir) >= 0.0f;
}

void hide(CoordinateRecord *rec) {
    rec->uvw.x = rec->uvw.y = -0.2f;
    rec->duvw.x = rec->duvw.y = 0.0f;
}

__attribute__((always_inline)) inline void texture_coordinate(RenderState *state,
                                                              const UVGeneratorParams &p,
                                                              UVThreadData *td,
                                                              CoordinateRecord *rec) {
    const ShadingContext *ctx = &td->context;
    switch (p.textureSource) {
        case 0:
        case 2: {
            // channelUVW and channelFootprint for the surface itself (mode
            // 0), inline: the record's fields are zero already
            const int channel = texture_channel(state, p, td);
            if (channel >= 0 && state->tex_list && channel < state->tex_count)
                rec->uvw = state->tex_list[channel];
            if (state->type != ZO_RAY_SHADOW && channel >= 0)
                kor::channelTriangleFootprint(state, ctx, channel, &rec->duvw, &td->footprint);
            if (!tiled(p) && !p.showMapOnBack) {
                Vector3 n;
                kor::channelNormal(state, ctx, 0, channel, &n);
                if (state->inv_normal) n = -n;
                const Vector3 w_axis = {td->matrix.m[0][2], td->matrix.m[1][2], td->matrix.m[2][2]};
                if (kor::dot(n, w_axis) <= 0.0f) hide(rec);
            }
            break;
        }
        case 1: {
            Vector3 point, derivative;
            kor::objectPoint(state, ctx, 0, &point);
            kor::objectPointDerivative(state, ctx, 0, &derivative, &td->footprint);
            rec->uvw = point * 0.499f + Vector3{0.5f, 0.5f, 0.5f};
            rec->duvw = derivative * 0.5f;
            if (!tiled(p) && !p.showMapOnBack && turned_away(state)) hide(rec);
            break;
        }
        case 3: {
            kor::pointToSpace(state, ctx, 0, state->point, kSpaceWorld, &rec->uvw);
            Vector3 camera_width, internal;
            kor::shadingPointDerivative(state, ctx, 0, &camera_width);
            kor::vectorFromSpace(state, ctx, 0, camera_width, kSpaceCamera, &internal);
            kor::vectorToSpace(state, ctx, 0, internal, kSpaceWorld, &rec->duvw);
            rec->duvw = kor::abs(rec->duvw);
            if (!tiled(p) && !p.showMapOnBack && turned_away(state)) hide(rec);
            break;
        }
        default: break;
    }
}

// One subpixel of the renderer's sampling grid, kept per thread for the
// sample count it was worked out for.
float subpixel(RenderState *state, UVThreadData *td) {
    const int samples = state->options && state->options->samples > 0 ? state->options->samples : 1;
    if (td->subpixelSamples != samples) {
        td->subpixel = 1.0f / exp2f(floorf(log2f(sqrtf(float(samples)))));
        td->subpixelSamples = samples;
    }
    return td->subpixel;
}

void environment_coordinate(RenderState *state, const UVGeneratorParams &p, UVThreadData *td,
                            CoordinateRecord *rec) {
    const ShadingContext *ctx = &td->context;
    if (p.environmentType == 4 || p.environmentType == 5) {
        // screen mappings: neither the direction nor the spread is needed
        if (p.environmentType == 5 && p.regionWidth >= 1 && p.regionHeight >= 1)
            kor::screenRegionUV(state, ctx, 0, float(p.regionWidth), float(p.regionHeight),
                                &rec->uvw);
        else
            kor::screenUV(state, ctx, 0, &rec->uvw);
        const float sub = subpixel(state, td);
        const float xres = state->camera ? float(state->camera->x_resolution) : 1.0f;
        const float yres = state->camera ? float(state->camera->y_resolution) : 1.0f;
        rec->duvw = {sub / xres, sub / yres, 0.0f};
        return;
    }
    Vector3 d;
    kor::vectorToSpace(state, ctx, 0, state->dir, kSpaceCamera, &d);
    d = kor::normalize(d);
    const float s = fabsf(kor::spread(state, ctx, kContextSpawner));
    switch (p.environmentType) {
        case 1: {
            const SceneData *scene = GetSceneData(state);
            if (scene && scene->rotatedEnvironment) d = {-d.y, d.x, d.z};
            const float dz = kor::clampRange(d.z, -1.0f, 1.0f);
            rec->uvw = {atan2f(d.x, -d.y) / (2 * kPi) + 0.5f, asinf(dz) / kPi + 0.5f, 0.0f};
            const float width = s / (((1 - dz * dz) + 0.1f) * kPi);
            rec->duvw = {width, width, width};
            break;
        }
        case 2: {
            const float h = sqrtf(d.x * d.x + d.y * d.y);
            float v;
            if (fabsf(d.z) <= h)
                v = (d.z / h + 2) * 0.25f;
            else if (d.z <= 0)
                v = (h / d.z) * -0.25f;
            else
                v = 1 - (h / d.z) * 0.25f;
            rec->uvw = {atan2f(d.x, -d.y) / (2 * kPi) + 0.5f, v, 0.0f};
            const float width = s / kPi;
            rec->duvw = {width, width, width};
            break;
        }
        case 3: {
            const float a = atan2f(d.x, -d.y);
            const float r = 0.5f - (asinf(kor::clampRange(d.z, -1.0f, 1.0f)) + kPi / 2) / (2 * kPi);
            rec->uvw = {cosf(a) * r + 0.5f, sinf(a) * r + 0.5f, 0.0f};
            const float width = s / (1.01f - 4 * r * r) / kPi;
            rec->duvw = {width, width, width};
            break;
        }
        default: break;
    }
}

float octave_sum(float x, float phase, int levels, bool animate) {
    float sum = 0.0f, scale = 1.0f;
    for (int i = 0; i < levels; ++i) {
        const float n = animate ? kor::noise2(x * scale, phase * scale) : kor::noise1(x * scale);
        sum += fabsf(n) / scale;
        scale *= 2.0f;
    }
    return sum;
}

// The coordinate record; `unblurred` receives the footprint before blur.
// Inlined into its callers: a call with this many live values costs more
// in saved registers than the arithmetic it does.
__attribute__((always_inline)) inline void compute_coordinate(RenderState *state,
                                                              const UVGeneratorParams &p,
                                                              UVThreadData *td,
                                                              CoordinateRecord *rec,
                                                              Vector3 *unblurred) {
    refresh_transform(td, p);
    rec->uvw = rec->duvw = kor::kZero;
    if (p.mappingKind == 0)
        texture_coordinate(state, p, td, rec);
    else if (p.mappingKind == 1)
        environment_coordinate(state, p, td, rec);

    // worked on as locals and stored once: the record's fields were just
    // stored piecewise by the calls above, and reading them back in other
    // widths would wait for those stores
    Vector3 c = rec->uvw, w = rec->duvw;
    const float k = p.realWorldScale ? 0.0f : 0.5f;
    c.x -= k + p.uOffset;
    c.y -= k + p.vOffset;
    c.z -= k;
    if (p.mappingKind == 0) {
        if (!td->rotated) {
            c = permute(c, p.axis);
            w = permute(w, p.axis);
        } else {
            c = kor::transformVector(td->matrix, c);
            w = kor::transformWidths(td->matrix, w);
        }
    } else if (td->sinW != 0.0f) {
        const float sn = td->sinW, cs = td->cosW;
        c = {sn * c.y + cs * c.x, cs * c.y - sn * c.x, c.z};
        w = {fabsf(w.x * cs) + fabsf(w.y * sn), fabsf(w.x * sn) + fabsf(w.y * cs), w.z};
    }
    if (p.uTiling != 1.0f) {
        c.x *= p.uTiling;
        w.x = fabsf(w.x * p.uTiling);
    }
    if (p.vTiling != 1.0f) {
        c.y *= p.vTiling;
        w.y = fabsf(w.y * p.vTiling);
    }
    c.x += k;
    c.y += k;
    c.z += k;

    if (p.noiseOn && p.noiseSize != 0.0f) {
        const float q = p.noiseAmount * 0.1f;
        const float su = c.x / p.noiseSize, sv = c.y / p.noiseSize;
        c.x += octave_sum(sv, p.noisePhase, p.noiseLevels, p.noiseAnimate) * q;
        c.y += octave_sum(su, p.noisePhase, p.noiseLevels, p.noiseAnimate) * q;
    }
    *unblurred = w;
    w.x = p.blurOffset + p.blur * w.x;
    w.y = p.blurOffset + p.blur * w.y;
    rec->uvw = c;
    rec->duvw = w;
}

// ---------------------------------------------------------------------------
// Tiled lookup.

float fold(float f) {
    return f < 0.5f ? 2 * f : 1 - 2 * (f - 0.5f);
}

// A coordinate inside one tile: folded when mirrored, with the tile's whole
// number added back unless lookups wrap.
float in_tile(float c, bool mirror, bool wrap) {
    const int whole = kor::floorInt(c);
    float f = c - float(whole);
    if (mirror) f = fold(f);
    return wrap ? f : f + float(whole);
}

bool point_coordinate(float c, bool tile, bool mirror, bool wrap, float *out) {
    if (!tile && !mirror) {
        if (c < 0.0f || c > 1.0f) return false;
        *out = c;
        return true;
    }
    *out = in_tile(c, mirror, wrap);
    return true;
}

struct Piece {
    float centre, width, weight;
};

// Splits the box of width w around c on one axis into the pieces that the
// map reads; returns their count, 0 when the box lies outside an untiled
// axis. A mirrored axis reads its tile at twice the rate, so its box is
// doubled (and still kept below one tile) before it is split.
inline int split_axis(float c, float w, bool tile, bool mirror, bool wrap, Piece out[2]) {
    if (mirror) w *= 2;
    if (w >= 1.0f) w = 0.9999f;
    const float lo = c - w / 2, hi = c + w / 2;
    if (!tile && !mirror) {
        if (hi < 0.0f || lo > 1.0f) return 0;
        const float a = lo < 0.0f ? 0.0f : lo, b = hi > 1.0f ? 1.0f : hi;
        if (a == lo && b == hi) {
            out[0] = {c, w, 1.0f};
        } else {
            out[0] = {(a + b) / 2, b - a, w > 0.0f ? (b - a) / w : 1.0f};
        }
        return 1;
    }
    const int first = kor::floorInt(lo), last = kor::floorInt(hi);
    if (first == last || hi == float(last)) {
        out[0] = {in_tile(c, mirror, wrap), w, 1.0f};
        return 1;
    }
    const float boundary = float(last);
    const float t = w > 0.0f ? (hi - boundary) / w : 0.5f;
    out[0] = {in_tile((lo + boundary) / 2, mirror, wrap), boundary - lo, 1 - t};
    out[1] = {in_tile((boundary + hi) / 2, mirror, wrap), hi - boundary, t};
    return 2;
}

__attribute__((always_inline)) inline Color lookup(RenderState *state, UVLookupRequest *request,
                                                   const UVGeneratorParams &p, float u, float v,
                                                   float du, float dv) {
    Color result = {0, 0, 0, 0};
    if (!request->filtered) {
        float pu, pv;
        if (!point_coordinate(u, p.uTile, p.uMirror, p.wrapLookup, &pu) ||
            !point_coordinate(v, p.vTile, p.vMirror, p.wrapLookup, &pv) || !request->pointLookup)
            return result;
        request->pointLookup(&result, state, request, pu, pv);
        return result;
    }
    Piece us[2], vs[2];
    const int nu = split_axis(u, du, p.uTile, p.uMirror, p.wrapLookup, us);
    if (!nu || !request->filteredLookup) return result;
    const int nv = split_axis(v, dv, p.vTile, p.vMirror, p.wrapLookup, vs);
    if (!nv) return result;
    if (nu == 1 && nv == 1 && us[0].weight == 1.0f && vs[0].weight == 1.0f) {
        // one piece of full weight (the usual case): the sum below would be
        // +0 + c x 1, that is +0 + c
        Color c = {0, 0, 0, 0};
        request->filteredLookup(&c, state, request, us[0].centre, vs[0].centre, us[0].width,
                                vs[0].width);
        return {0.0f + c.r, 0.0f + c.g, 0.0f + c.b, 0.0f + c.a};
    }
    for (int i = 0; i < nu; ++i) {
        for (int j = 0; j < nv; ++j) {
            Color c = {0, 0, 0, 0};
            request->filteredLookup(&c, state, request, us[i].centre, vs[j].centre, us[i].width,
                                    vs[j].width);
            const float weight = us[i].weight * vs[j].weight;
            result.r += c.r * weight;
            result.g += c.g * weight;
            result.b += c.b * weight;
            result.a += c.a * weight;
        }
    }
    return result;
}

// The answer in one 16-byte store: the caller reads it back whole, and a
// read that spans two narrower stores waits for them to retire.
inline void store_color(Color *out, const Color &c) {
    _mm_storeu_ps(&out->r, _mm_setr_ps(c.r, c.g, c.b, c.a));
}

CoordQuery *coord_query(RenderState *state) {
    if (!state->user || state->user_size != kCoordQuerySize) return nullptr;
    auto *q = static_cast<CoordQuery *>(state->user);
    return q->magic == kCoordQueryUV ? q : nullptr;
}

void answer_coordinates(CoordQuery *q, const CoordinateRecord &rec) {
    if (!q) return;
    const int flags = q->flags & 0xFFFF;
    if (flags & kQueryUVW) {
        q->slots[6] = rec.uvw.x;
        q->slots[7] = rec.uvw.y;
        q->slots[8] = rec.uvw.z;
    }
    if (flags & kQueryDUVW) {
        q->slots[9] = rec.duvw.x;
        q->slots[10] = rec.duvw.y;
        q->slots[11] = rec.duvw.z;
    }
}

// The surface directions of texture U and V, in internal space.
void answer_basis(RenderState *state, const UVGeneratorParams &p, UVThreadData *td, CoordQuery *q) {
    refresh_transform(td, p);
    const ShadingContext *ctx = &td->context;
    Vector3 basis[3] = {kor::kZero, kor::kZero, kor::kZero};
    int from_space = kSpaceCamera;
    if (p.textureSource == 1) {
        basis[0] = kor::matrixRow(td->inverse, 0);
        basis[1] = kor::matrixRow(td->inverse, 1);
        from_space = kSpaceObject;
    } else if (p.textureSource == 3) {
        basis[0] = {1, 0, 0};
        basis[1] = {0, 1, 0};
        basis[2] = {0, 0, 1};
        from_space = kSpaceWorld;
    } else {
        const int channel = texture_channel(state, p, td);
        kor::bumpBasis(state, ctx, 0, channel, basis);
    }
    Vector3 a, b;
    if (p.textureSource == 1) {
        a = basis[0];
        b = basis[1];
    } else if (!td->rotated) {
        const int first = p.axis == 1 ? 1 : p.axis == 2 ? 2 : 0;
        a = basis[first];
        b = basis[(first + 1) % 3];
    } else {
        a = kor::transformVector(td->matrix, basis[0]);
        b = kor::transformVector(td->matrix, basis[1]);
    }
    kor::vectorFromSpace(state, ctx, 0, a, from_space, &a);
    kor::vectorFromSpace(state, ctx, 0, b, from_space, &b);
    q->slots[0] = a.x;
    q->slots[1] = a.y;
    q->slots[2] = a.z;
    q->slots[3] = b.x;
    q->slots[4] = b.y;
    q->slots[5] = b.z;
}

zoBoolean coordinate_only(CoordinateRecord *result, RenderState *state, const UVGeneratorParams &p,
                          UVThreadData *td) {
    if (!td || !result) return 1;
    Vector3 unblurred;
    compute_coordinate(state, p, td, result, &unblurred);
    return 1;
}

}  // namespace

KOR_EXPORT zoBoolean kor_UVCoordinate(CoordinateRecord *result, RenderState *state,
                                      UVGeneratorParams *params) {
    if (!params) return 0;
    UVThreadData *td = state ? thread_data(state) : nullptr;
    EvaluatedParams scratch;
    return coordinate_only(result, state, evaluate(state, params, &scratch.params, td), td);
}

KOR_EXPORT zoBoolean kor_base_UVGenerator(void *result, RenderState *state,
                                          UVGeneratorParams *params, UVLookupRequest *request) {
    if (!params || !state) return 0;
    UVThreadData *td = thread_data(state);
    EvaluatedParams scratch;
    const UVGeneratorParams &p = evaluate(state, params, &scratch.params, td);
    if (!request || request->magic != kUVLookupMagic)
        return coordinate_only(static_cast<CoordinateRecord *>(result), state, p, td);
    Color *out = static_cast<Color *>(result);
    if (!td) {
        *out = {0, 0, 0, 0};
        return 1;
    }
    CoordQuery *query = coord_query(state);
    const bool colour = !request->mode || *request->mode == 0 || *request->mode == 1;
    if (!colour && query && (query->flags & kQueryBasis)) answer_basis(state, p, td, query);

    CoordinateRecord rec;
    Vector3 unblurred;
    compute_coordinate(state, p, td, &rec, &unblurred);
    answer_coordinates(query, rec);

    const float u = rec.uvw.x, v = rec.uvw.y, du = rec.duvw.x, dv = rec.duvw.y;
    if (colour) {
        store_color(out, lookup(state, request, p, u, v, du, dv));
        return 1;
    }
    // bump gradient: forward differences of the intensity over the footprint
    const float i0 = kor::intensity(lookup(state, request, p, u, v, du, dv));
    float gu = 0.0f, gv = 0.0f;
    if (du != 0.0f && unblurred.x != 0.0f)
        gu = -(kor::intensity(lookup(state, request, p, u + unblurred.x, v, du, dv)) - i0) /
             unblurred.x;
    if (dv != 0.0f && unblurred.y != 0.0f)
        gv = -(kor::intensity(lookup(state, request, p, u, v + unblurred.y, du, dv)) - i0) /
             unblurred.y;
    store_color(out, {gu, gv, 0.0f, 0.0f});
    return 1;
}

KOR_SHADER_INIT(kor_base_UVGenerator) {
    if (params) {
        kor::memoForget();
        return;
    }
    if (request) *request = 1;
    kor::noiseInit(state);
}

KOR_SHADER_EXIT(kor_base_UVGenerator) {
    if (!params) return;
    kor::memoForget();
    kor::for_each_thread_block(state, [](void *block) {
        auto *td = static_cast<UVThreadData *>(block);
        kor::contextRelease(&td->context);
        zo_mem_int_release(kModule, __LINE__, td);
    });
}

// The coordinate shader shares the generator's companions.
KOR_SHADER_INIT(kor_UVCoordinate) {
    kor_base_UVGenerator_init(state, params, request);
}
KOR_SHADER_EXIT(kor_UVCoordinate) {
    kor_base_UVGenerator_exit(state, params);
}
