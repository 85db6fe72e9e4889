// kor_Bitmap: the image-file map. It reads a host image (or one image of a
// list, chosen by frame or per particle), crops or places it in the unit
// square and answers in colour, mono or bump mode. Texture coordinates,
// tiling and filter footprints belong to its UV generator, which calls back
// into the two read callbacks here for every read inside one tile.
#include "maps/tex_bitmap.h"

#include <math.h>
#include <string.h>

#include "kor_memo.h"
#include "kor_support.h"
#include "scenedata.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_bitmap";
constexpr Color kWhite = {1.0f, 1.0f, 1.0f, 1.0f};
constexpr Color kClear = {0.0f, 0.0f, 0.0f, 0.0f};

// The particle record of a particle object: the particle count, then its
// tables in the host's array form; the first table holds each particle's
// frame.
struct ParticleFrames {
    int32_t count;
    ParamArray<int32_t> frames;
};

// x - floorf(x). Below 2^23 the floor is the truncation, one less for a
// negative non-integer, with the sign of x (floorf(-0) is -0); larger
// magnitudes, infinities and NaN go to floorf.
inline float fracPart(float x) {
    if (x > 0.0f && x < 1.0f) return x;  // already inside the unit: x - 0
    if (!(fabsf(x) < 8388608.0f)) return x - floorf(x);
    float whole = static_cast<float>(static_cast<int32_t>(x));
    if (whole > x) whole -= 1.0f;
    return x - copysignf(whole, x);
}

// Integer part toward zero; values no tile index can hold give 0.
inline int truncated(float x) {
    if (!(x > -1.0e9f && x < 1.0e9f)) return 0;
    return static_cast<int>(x);
}

inline bool colourModeIsBump(int mode) {
    return mode != 0 && mode != 1;
}

void applyAlphaSource(const BitmapParams *p, Color *c) {
    if (p->alphaSource == 1)
        c->a = intensity(*c);
    else if (p->alphaSource == 2)
        c->a = 1.0f;
}

inline void scale(Color *c, float s) {
    c->r *= s;
    c->g *= s;
    c->b *= s;
    c->a *= s;
}

// The part of the box [centre - width/2, centre + width/2] inside [0, 1]
// as a fraction of the box; 0 when the box misses.
float coverage(float centre, float width) {
    if (!(width > 0.0f)) return centre >= 0.0f && centre < 1.0f ? 1.0f : 0.0f;
    const float lo = centre - 0.5f * width, hi = centre + 0.5f * width;
    const float covered = (hi < 1.0f ? hi : 1.0f) - (lo > 0.0f ? lo : 0.0f);
    return covered > 0.0f ? (covered < width ? covered / width : 1.0f) : 0.0f;
}

// ---------------------------------------------------------------------------
// Reads of the selected image, chosen at init.

void hostPointRead(const BitmapInstance *, const BitmapParams *, const BitmapImage *image,
                   RenderState *state, float u, float v, Color *out) {
    if (!image->filter) {
        *out = kWhite;
        return;
    }
    filterPointRead(image->filter, state, u, v, out);
}

void hostFilteredRead(const BitmapInstance *, const BitmapParams *, const BitmapImage *image,
                      RenderState *, float u, float v, float du, float dv, Color *out) {
    if (!image->filter) {
        *out = kWhite;
        return;
    }
    filterRead(image->filter, u, v, du, dv, out);
}

void externalPointRead(const BitmapInstance *inst, const BitmapParams *p, const BitmapImage *image,
                       RenderState *, float u, float v, Color *out) {
    *out = kClear;
    if (inst->external && inst->external->pointRead)
        inst->external->pointRead(image->handle, out, u, 1.0f - v, p->externalArg1, p->externalArg2,
                                  inst->externalFlags);
    gammaApply(out, inst->gamma);
}

void externalFilteredRead(const BitmapInstance *inst, const BitmapParams *p,
                          const BitmapImage *image, RenderState *, float u, float v, float du,
                          float dv, Color *out) {
    *out = kClear;
    if (inst->external && inst->external->filteredRead)
        inst->external->filteredRead(image->handle, out, u, 1.0f - v, du, dv, p->externalArg1,
                                     p->externalArg2, inst->externalFlags);
    gammaApply(out, inst->gamma);
}

// ---------------------------------------------------------------------------
// Parameters.

// The evaluated parameters. Array elements stay where they are: read them
// from the original record with evalElement.
void evaluate(RenderState *state, const BitmapParams *p, BitmapParams *e) {
    memcpy(e, p, sizeof *e);
#define KOR_EVAL(field) e->field = eval(state, &p->field)
    KOR_EVAL(clipU);
    KOR_EVAL(clipV);
    KOR_EVAL(clipW);
    KOR_EVAL(clipH);
    KOR_EVAL(jitter);
    KOR_EVAL(jitterOn);
    KOR_EVAL(applyClip);
    KOR_EVAL(placeMode);
    KOR_EVAL(filtering);
    KOR_EVAL(monoChannel);
    KOR_EVAL(rgbChannel);
    KOR_EVAL(alphaSource);
    KOR_EVAL(premultipliedAlpha);
    KOR_EVAL(image);
    KOR_EVAL(coords);
    KOR_EVAL(output);
    KOR_EVAL(startFrame);
    KOR_EVAL(playbackRate);
    KOR_EVAL(endCondition);
    KOR_EVAL(perParticle);
    KOR_EVAL(gbufferId);
    KOR_EVAL(frame);
    KOR_EVAL(sequenceStart);
    KOR_EVAL(sequenceEnd);
    KOR_EVAL(frameStep);
    KOR_EVAL(images.start);
    KOR_EVAL(images.count);
    KOR_EVAL(externalSource);
    KOR_EVAL(externalInterface);
    KOR_EVAL(externalHandle);
    KOR_EVAL(externalHandles.start);
    KOR_EVAL(externalHandles.count);
    KOR_EVAL(externalArg1);
    KOR_EVAL(externalArg2);
    KOR_EVAL(externalFlags);
#undef KOR_EVAL
}

ShaderMemo bitmapMemo;

// The instance record, as the host answered it before on this thread.
BitmapInstance *instanceOf(RenderState *state) {
    return static_cast<BitmapInstance *>(memoUser(bitmapMemo, state));
}

void destroyInstance(BitmapInstance *inst) {
    if (!inst) return;
    filterDestroy(inst->filter);
    if (inst->filters) {
        for (int k = 0; k < inst->filterCount; ++k) filterDestroy(inst->filters[k]);
        zo_mem_int_release(kModule, __LINE__, inst->filters);
    }
    gammaFree(inst->gamma);
    zo_mem_int_release(kModule, __LINE__, inst);
}

// Picks the image of this call; false when there is none.
bool selectImage(RenderState *state, const BitmapParams *params, const BitmapParams &p,
                 const BitmapInstance *inst, BitmapImage *image) {
    image->filter = nullptr;
    image->handle = 0;
    if (!p.externalSource) {
        if (p.images.count < 1) {
            image->filter = inst->filter;
            return p.image != 0;
        }
        const int frame = p.perParticle ? bitmapParticleFrame(state, p) : p.frame;
        const int k = bitmapListIndex(p, frame, p.images.count);
        const Tag tag = eval(state, &params->images[p.images.start + k]);
        if (inst->filters && k < inst->filterCount) image->filter = inst->filters[k];
        return tag != 0;
    }
    if (p.externalHandles.count < 1) {
        image->handle = p.externalHandle;
    } else {
        const int frame = p.perParticle ? bitmapParticleFrame(state, p) : p.frame;
        const int k = bitmapListIndex(p, frame, p.externalHandles.count);
        image->handle = eval(state, &params->externalHandles[p.externalHandles.start + k]);
    }
    return image->handle != 0;
}

void writeVector(Color *result, const Vector3 &v) {
    // a bump result is a vector: only its three components are written
    float *out = &result->r;
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

}  // namespace

namespace kor {

// ---------------------------------------------------------------------------
// Frame selection.

int bitmapListIndex(const BitmapParams &p, int frame, int count) {
    if (count < 1) return 0;
    const double scaled = (static_cast<double>(frame) - p.startFrame) * p.playbackRate;
    const int f = scaled > -1.0e9 && scaled < 1.0e9 ? static_cast<int>(scaled) : 0;
    const int step = p.frameStep;
    const int64_t span = (static_cast<int64_t>(p.sequenceEnd) - p.sequenceStart + 1) * step;
    const int n = span > 0 && span < (1 << 30) ? static_cast<int>(span) : 0;
    int index = 0;
    switch (p.endCondition) {
        case 0:  // loop
            if (n > 0 && step > 0) {
                int m = f % n;
                if (m < 0) m += n;
                index = m / step;
            }
            break;
        case 1:  // ping-pong
            if (n > 0 && step > 0) {
                int m = f % n;
                if (m < 0) m += n;
                const int q = f / n;
                const bool backwards = f >= 0 ? (q & 1) != 0 : q == 0;
                index = backwards ? p.sequenceEnd - m / step + p.sequenceStart : m / step;
            }
            break;
        case 2:  // hold
            if (f < 1)
                index = p.sequenceStart;
            else if (f >= n)
                index = p.sequenceEnd;
            else
                index = step > 0 ? f / step : 0;
            break;
        default: index = 0; break;
    }
    index %= count;
    return index < 0 ? index + count : index;
}

int bitmapParticleFrame(RenderState *state, const BitmapParams &p) {
    ObjectData *object = GetObjectData(state);
    if (!object) return p.frame;
    const auto *record = static_cast<const ParticleFrames *>(GetParticleData(state, object));
    if (!record) return p.frame;
    const int id = GetParticleID(state);
    const int count = record->frames.count;
    if (id >= 0 && id < count) return record->frames[record->frames.start + id];
    if (count > 0) {
        int k = id % count;
        if (k < 0) k += count;
        return record->frames[record->frames.start + k];
    }
    return p.frame;
}

// ---------------------------------------------------------------------------
// Placement.

void bitmapPlaceCorner(const BitmapParams &p, int tu, int tv, float *left, float *bottom) {
    if (!p.jitterOn) {
        *left = p.clipU;
        *bottom = 1.0f - (p.clipV + p.clipH);
        return;
    }
    // The same tile always draws the same offset: the sequence restarts from
    // a seed made of the tile's coordinates. A generator of our own on the
    // stack gives the process generator's sequence without sharing its state.
    const uint32_t seed =
        (static_cast<uint32_t>(tu) * 14693u - static_cast<uint32_t>(tv) * 3251u - 1328u) & 0x7FFFu;
    Random15 random;
    random.seed(seed);
    const int r1 = random.draw() & 0x7FFF;
    random.draw();
    random.draw();
    const int r4 = random.draw() & 0x7FFF;
    const float ju = r1 * (1.0f - p.clipW) * p.jitter / 32767.0f;
    const float jv = r4 * (1.0f - p.clipH) * p.jitter / 32767.0f;
    *left = ju;
    *bottom = 1.0f - (p.clipH + jv);
}

// ---------------------------------------------------------------------------
// Read callbacks.

Color *bitmapPointLookup(Color *out, RenderState *state, UVLookupRequest *request, float u,
                         float v) {
    const auto *inst = request ? static_cast<const BitmapInstance *>(request->mapData) : nullptr;
    const auto *p = request ? static_cast<const BitmapParams *>(request->mapParams) : nullptr;
    const auto *image = request ? static_cast<const BitmapImage *>(request->lookupData) : nullptr;
    if (!inst || !p || !image) {
        *out = kWhite;
        return out;
    }
    const float tileU = u, tileV = v;  // the tile, for placement jitter
    u = fracPart(u);
    v = fracPart(v);
    if (p->applyClip) {
        if (!p->placeMode) {
            u = fracPart(p->clipU + u * p->clipW);
            v = fracPart((1.0f - p->clipV - p->clipH) + v * p->clipH);
        } else if (p->clipW != 0.0f && p->clipH != 0.0f) {
            float left, bottom;
            bitmapPlaceCorner(*p, truncated(tileU), truncated(tileV), &left, &bottom);
            u = (u - left) / p->clipW;
            v = (v - bottom) / p->clipH;
            if (!(u >= 0.0f && u < 1.0f && v >= 0.0f && v < 1.0f)) {
                *out = kClear;
                return out;
            }
        }
    }
    inst->pointRead(inst, p, image, state, u, v, out);
    applyAlphaSource(p, out);
    return out;
}

Color *bitmapFilteredLookup(Color *out, RenderState *state, UVLookupRequest *request, float u,
                            float v, float du, float dv) {
    const auto *inst = request ? static_cast<const BitmapInstance *>(request->mapData) : nullptr;
    const auto *p = request ? static_cast<const BitmapParams *>(request->mapParams) : nullptr;
    const auto *image = request ? static_cast<const BitmapImage *>(request->lookupData) : nullptr;
    if (!inst || !p || !image) {
        *out = kWhite;
        return out;
    }
    if (!p->applyClip && p->alphaSource != 1 && p->alphaSource != 2 &&
        inst->filteredRead == hostFilteredRead && image->filter)
        // the whole image, read as it is: nothing is left to do after the read
        return filterRead(image->filter, fracPart(u), fracPart(v), du, dv, out);
    const float tileU = u, tileV = v;  // the tile, for placement jitter
    u = fracPart(u);
    v = fracPart(v);
    float covered = 1.0f;
    if (p->applyClip) {
        if (!p->placeMode) {
            u = fracPart(p->clipU + u * p->clipW);
            v = fracPart((1.0f - p->clipV - p->clipH) + v * p->clipH);
            du *= p->clipW;
            dv *= p->clipH;
        } else if (p->clipW != 0.0f && p->clipH != 0.0f) {
            float left, bottom;
            bitmapPlaceCorner(*p, truncated(tileU), truncated(tileV), &left, &bottom);
            u = (u - left) / p->clipW;
            v = (v - bottom) / p->clipH;
            du /= p->clipW;
            dv /= p->clipH;
            covered = coverage(u, du) * coverage(v, dv);
            if (!(covered > 0.0f)) {
                *out = kClear;
                return out;
            }
        }
    }
    // the host image's read is called directly: one call fewer per read
    if (inst->filteredRead == hostFilteredRead) {
        if (image->filter)
            filterRead(image->filter, u, v, du, dv, out);
        else
            *out = kWhite;
    } else {
        inst->filteredRead(inst, p, image, state, u, v, du, dv, out);
    }
    applyAlphaSource(p, out);
    if (covered < 1.0f) scale(out, covered);
    return out;
}

Color *bitmapMonoPointLookup(Color *out, RenderState *state, UVLookupRequest *request, float u,
                             float v) {
    bitmapPointLookup(out, state, request, u, v);
    *out = Color{out->a, out->a, out->a, out->a};
    return out;
}

Color *bitmapMonoFilteredLookup(Color *out, RenderState *state, UVLookupRequest *request, float u,
                                float v, float du, float dv) {
    bitmapFilteredLookup(out, state, request, u, v, du, dv);
    *out = Color{out->a, out->a, out->a, out->a};
    return out;
}

}  // namespace kor

// ---------------------------------------------------------------------------
// The shader.

KOR_EXPORT zoBoolean kor_Bitmap(Color *result, RenderState *state, BitmapParams *params,
                                const int *mode) {
    if (!result) return 0;
    const int outMode = mode ? *mode : 0;
    const bool bump = colourModeIsBump(outMode);
    if (!state || !params) {
        if (bump)
            writeVector(result, Vector3{0.0f, 0.0f, 0.0f});
        else
            *result = kClear;
        return 0;
    }
    // Without connections the record is read as it stands (no copy, whose
    // fresh stores would stall the first reads); the instance knows from
    // its init whether its record has any.
    BitmapInstance *inst = instanceOf(state);
    BitmapParams evaluated;
    const BitmapParams *pp = params;
    if (!(inst && inst->plainRecord == params) && !unconnected(state, params, sizeof *params)) {
        evaluate(state, params, &evaluated);
        pp = &evaluated;
    }
    const BitmapParams &p = *pp;

    if (state->type == ZO_RAY_EYE && p.gbufferId != 0) zo_fb_put(state, 0, &p.gbufferId);

    BitmapImage image;
    if (!inst || !selectImage(state, params, p, inst, &image)) {
        if (bump)
            writeVector(result, Vector3{0.0f, 0.0f, 0.0f});
        else
            *result = kClear;
        return 1;
    }

    if (!p.coords) {
        if (__atomic_exchange_n(&inst->warned, 1, __ATOMIC_RELAXED) == 0)
            zo_error("\"%s\" requires uv coordinate shader", shader_name(state));
        if (bump)
            writeVector(result, Vector3{0.0f, 0.0f, 0.0f});
        else
            *result = kClear;
        return 0;
    }

    const bool mono = (outMode == 0 && p.rgbChannel != 0) || (outMode == 1 && p.monoChannel != 0);
    UVLookupRequest request;
    request.magic = kUVLookupMagic;
    request.pointLookup = mono ? bitmapMonoPointLookup : bitmapPointLookup;
    request.filteredLookup = mono ? bitmapMonoFilteredLookup : bitmapFilteredLookup;
    request.mapParams = const_cast<BitmapParams *>(&p);
    request.mapData = inst;
    request.mode = mode;
    request.filtered = p.filtering != 2;
    request.lookupData = &image;

    if (!bump) {
        Color colour = kClear;
        if (!zo_call_shader_x(&colour, ZO_SHADER_MAP, state, p.coords, &request)) colour = kClear;
        if (outMode == 0 && !p.rgbChannel && !p.premultipliedAlpha) {
            colour.r *= colour.a;
            colour.g *= colour.a;
            colour.b *= colour.a;
        }
        *result = colour;
        if (p.output)
            zo_call_shader_x(result, ZO_SHADER_MAP, state, p.output, const_cast<int *>(mode));
        return 1;
    }

    // Bump: the generator answers the gradient and, through the coordinate
    // query in the user-data slot, the surface basis along U and V.
    CoordQuery query;
    memset(&query, 0, sizeof query);
    query.magic = kCoordQueryUV;
    query.flags = kQueryBasis;
    void *savedUser = state->user;
    const int32_t savedSize = state->user_size;
    state->user = &query;
    state->user_size = kCoordQuerySize;
    Color gradient = kClear;
    if (!zo_call_shader_x(&gradient, ZO_SHADER_MAP, state, p.coords, &request)) gradient = kClear;
    state->user = savedUser;
    state->user_size = savedSize;

    const float gu = 0.01f * gradient.r, gv = 0.01f * gradient.g;
    const float *bu = &query.slots[0], *bv = &query.slots[3];
    Vector3 vector = {gu * bu[0] + gv * bv[0], gu * bu[1] + gv * bv[1], gu * bu[2] + gv * bv[2]};
    if (p.output) {
        Color c = {vector.x, vector.y, vector.z, 0.0f};
        zo_call_shader_x(&c, ZO_SHADER_MAP, state, p.output, const_cast<int *>(mode));
        vector = Vector3{c.r, c.g, c.b};
    }
    writeVector(result, vector);
    return 1;
}

KOR_SHADER_INIT(kor_Bitmap) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    kor::memoForget();
    void **slot = kor::user_slot(state);
    if (!slot) return;
    if (*slot) {
        destroyInstance(static_cast<BitmapInstance *>(*slot));
        *slot = nullptr;
    }
    auto *inst = static_cast<BitmapInstance *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(BitmapInstance)));
    if (!inst) return;
    memset(inst, 0, sizeof *inst);
    const auto *p = static_cast<const BitmapParams *>(params);
    inst->plainRecord = kor::plainRecordAtInit(state, p);

    const SceneData *scene = GetSceneData(state);
    float gamma = scene ? scene->gamma : 1.0f;
    if (!(gamma > 0.0f) || !isfinite(gamma)) gamma = 1.0f;
    inst->gamma = kor::gammaBuild(gamma);

    if (!kor::eval(state, &p->externalSource)) {
        // filtered reads need the pixels of an image; a texture of the host
        // can only be looked up point by point
        const bool filtered = kor::eval(state, &p->filtering) != 2;
        bool reported = false;
        auto unreadable = [&](Tag tag) {
            if (!filtered || !tag || reported || zo_db_type(tag) != ZO_DB_TEXTURE) return;
            reported = true;
            zo_warning(
                "\"%s\": its image is a texture, which filtered lookups cannot read: the map "
                "is black (give it an image, or turn filtering off)",
                shader_name(state));
        };
        inst->pointRead = hostPointRead;
        inst->filteredRead = hostFilteredRead;
        const int32_t start = kor::eval(state, &p->images.start);
        const int32_t count = kor::eval(state, &p->images.count);
        if (count >= 1) {
            inst->filters = static_cast<kor::ImageFilter **>(
                zo_mem_int_allocate(kModule, __LINE__, count * int(sizeof(kor::ImageFilter *))));
            if (inst->filters) {
                memset(inst->filters, 0, count * sizeof(kor::ImageFilter *));
                inst->filterCount = count;
                for (int k = 0; k < count; ++k) {
                    const Tag tag = kor::eval(state, &p->images[start + k]);
                    unreadable(tag);
                    if (tag)
                        inst->filters[k] = kor::filterCreate(tag, gamma, nullptr, nullptr, 0, 0);
                }
            }
        } else {
            const Tag image = kor::eval(state, &p->image);
            unreadable(image);
            if (image) inst->filter = kor::filterCreate(image, gamma, nullptr, nullptr, 0, 0);
        }
        inst->filtersBuilt = 1;
    } else {
        inst->pointRead = externalPointRead;
        inst->filteredRead = externalFilteredRead;
        inst->external =
            reinterpret_cast<const BitmapExternalSource *>(kor::eval(state, &p->externalInterface));
        inst->externalHandle = kor::eval(state, &p->externalHandle);
        inst->externalFlags = kor::eval(state, &p->externalFlags);
    }
    *slot = inst;
}

KOR_SHADER_EXIT(kor_Bitmap) {
    if (!params) return;
    kor::memoForget();
    void **slot = kor::user_slot(state);
    if (!slot || !*slot) return;
    destroyInstance(static_cast<BitmapInstance *>(*slot));
    *slot = nullptr;
}
