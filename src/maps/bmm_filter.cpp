// Filtered image reads (see bmm_filter.h).
#include "maps/bmm_filter.h"

#include <emmintrin.h>
#include <math.h>
#include <string.h>

namespace kor {

namespace {

constexpr const char *kModule = "bmm_filter";
constexpr int kFixedShift = 12;
constexpr int kFixedOne = 1 << kFixedShift;  // one texel in fixed point
constexpr int kFixedMask = kFixedOne - 1;
constexpr int kFixedHalf = kFixedOne / 2;

// ---------------------------------------------------------------------------
// Level storage.

struct Store8 {
    typedef uint8_t Channel;
    static Channel encode(float v) {
        if (!(v > 0.0f)) return 0;
        if (v >= 1.0f) return 255;
        return static_cast<Channel>(v * 255.0f + 0.5f);
    }
    static float decode(Channel c) { return c * (1.0f / 255.0f); }
};

struct Store16 {
    typedef uint16_t Channel;
    static Channel encode(float v) {
        if (!(v > 0.0f)) return 0;
        if (v >= 1.0f) return 65535;
        return static_cast<Channel>(v * 65535.0f + 0.5f);
    }
    static float decode(Channel c) { return c * (1.0f / 65535.0f); }
};

struct StoreFloat {
    typedef float Channel;
    static Channel encode(float v) { return v; }
    static float decode(Channel c) { return c; }
};

template <class S>
inline void storeTexel(void *level, int width, int x, int y, const Color &c) {
    typename S::Channel *t = static_cast<typename S::Channel *>(level) + 4 * (y * width + x);
    t[0] = S::encode(c.r);
    t[1] = S::encode(c.g);
    t[2] = S::encode(c.b);
    t[3] = S::encode(c.a);
}

template <class S>
inline void loadTexel(const void *level, int width, int x, int y, Color *out) {
    const typename S::Channel *t =
        static_cast<const typename S::Channel *>(level) + 4 * (y * width + x);
    out->r = S::decode(t[0]);
    out->g = S::decode(t[1]);
    out->b = S::decode(t[2]);
    out->a = S::decode(t[3]);
}

// ---------------------------------------------------------------------------
// Texel fetch at a level: level 0 is the source itself (through get-pixel),
// the reduced levels come from the filter's buffers or the host pyramid.

template <class S>
void fetchStored(const ImageFilter *f, int level, int x, int y, Color *out) {
    if (level == 0)
        f->getPixel(f, x, y, out);
    else
        loadTexel<S>(f->level[level], f->levelWidth[level], x, y, out);
}

void fetchHost(const ImageFilter *f, int level, int x, int y, Color *out) {
    if (level == 0) {
        f->getPixel(f, x, y, out);
        return;
    }
    *out = Color{0.0f, 0.0f, 0.0f, 0.0f};
    zo_img_get_color(f->hostLevel[level], out, x, y);
    gammaApply(out, f->gamma);
}

typedef void (*FetchFn)(const ImageFilter *, int, int, int, Color *);

// Position along one axis of a level, half a texel back so that texel
// centres fall on whole fixed-point positions.
inline int centred(int p, int size, bool wrap) {
    p -= kFixedHalf;
    if (p < 0) p = wrap ? p + (size << kFixedShift) : 0;
    return p;
}

// Neighbour index: clamped to the edge, or wrapped.
inline int neighbour(int i, int size, bool wrap) {
    if (wrap) {
        i %= size;
        return i < 0 ? i + size : i;
    }
    return i < 0 ? 0 : (i >= size ? size - 1 : i);
}

// The four texels around fixed-point position (x, y) of a level and the
// position's fractions within them.
struct Corners {
    int ix, iy, ix1, iy1;  // the texels' columns and rows
    int fx, fy;            // fixed-point fractions towards ix1 and iy1
};

inline Corners cornersAt(const ImageFilter *f, int level, int x, int y) {
    const int w = f->levelWidth[level], h = f->levelHeight[level];
    const bool wrap = f->wrap != 0;
    x = centred(x, w, wrap);
    y = centred(y, h, wrap);
    int ix = x >> kFixedShift, iy = y >> kFixedShift;
    const int fx = x & kFixedMask, fy = y & kFixedMask;
    if (ix > w - 1) ix = w - 1;
    if (iy > h - 1) iy = h - 1;
    const int ix1 = ix < w - 1 ? ix + 1 : (wrap ? 0 : ix);
    const int iy1 = iy < h - 1 ? iy + 1 : (wrap ? 0 : iy);
    return {ix, iy, ix1, iy1, fx, fy};
}

template <FetchFn Fetch>
void bilinear(const ImageFilter *f, int level, int x, int y, Color *out) {
    const Corners q = cornersAt(f, level, x, y);
    Color c00, c10, c01, c11;
    Fetch(f, level, q.ix, q.iy, &c00);
    Fetch(f, level, q.ix1, q.iy, &c10);
    Fetch(f, level, q.ix, q.iy1, &c01);
    Fetch(f, level, q.ix1, q.iy1, &c11);
    const float sx = static_cast<float>(q.fx), sy = static_cast<float>(q.fy);
    const float sxy = static_cast<float>((q.fx * q.fy) >> kFixedShift);
    const float *a = &c00.r, *b = &c10.r, *c = &c01.r, *d = &c11.r;
    float *o = &out->r;
    for (int k = 0; k < 4; ++k)
        o[k] =
            a[k] + (sx * (b[k] - a[k]) + sy * (c[k] - a[k]) + sxy * (a[k] + d[k] - c[k] - b[k])) /
                       static_cast<float>(kFixedOne);
}

// The four channels of a stored texel, decoded.
inline __m128 decodeTexel(const Store8::Channel *t) {
    int32_t word;
    memcpy(&word, t, sizeof word);
    const __m128i zero = _mm_setzero_si128();
    const __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero), zero);
    return _mm_mul_ps(_mm_cvtepi32_ps(wide), _mm_set1_ps(1.0f / 255.0f));
}

inline __m128 decodeTexel(const Store16::Channel *t) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i wide =
        _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(t)), zero);
    return _mm_mul_ps(_mm_cvtepi32_ps(wide), _mm_set1_ps(1.0f / 65535.0f));
}

inline __m128 decodeTexel(const StoreFloat::Channel *t) {
    return _mm_loadu_ps(t);
}

// Bilinear at reduced level `level` (> 0) of the filter's own storage: the
// four texels are read straight from the level buffer and blended four
// channels at a time, with the same arithmetic per channel as
// bilinear<fetchStored<S>>.
template <class S>
inline __m128 bilinearLevel(const ImageFilter *f, int level, int x, int y) {
    const Corners q = cornersAt(f, level, x, y);
    const int w = f->levelWidth[level];
    typedef typename S::Channel Channel;
    const Channel *texels = static_cast<const Channel *>(f->level[level]);
    const Channel *row0 = texels + 4 * (q.iy * w), *row1 = texels + 4 * (q.iy1 * w);
    const __m128 a = decodeTexel(row0 + 4 * q.ix), b = decodeTexel(row0 + 4 * q.ix1);
    const __m128 c = decodeTexel(row1 + 4 * q.ix), d = decodeTexel(row1 + 4 * q.ix1);
    const __m128 sx = _mm_set1_ps(static_cast<float>(q.fx));
    const __m128 sy = _mm_set1_ps(static_cast<float>(q.fy));
    const __m128 sxy = _mm_set1_ps(static_cast<float>((q.fx * q.fy) >> kFixedShift));
    // a + (sx (b - a) + sy (c - a) + sxy (a + d - c - b)) / one
    const __m128 cross = _mm_sub_ps(_mm_sub_ps(_mm_add_ps(a, d), c), b);
    const __m128 sum =
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(sx, _mm_sub_ps(b, a)), _mm_mul_ps(sy, _mm_sub_ps(c, a))),
                   _mm_mul_ps(sxy, cross));
    return _mm_add_ps(a, _mm_div_ps(sum, _mm_set1_ps(static_cast<float>(kFixedOne))));
}

// Bilinear at a level of the filter's own storage; level 0 goes through
// the source.
template <class S>
void bilinearStored(const ImageFilter *f, int level, int x, int y, Color *out) {
    if (level == 0) {
        bilinear<fetchStored<S>>(f, 0, x, y, out);
        return;
    }
    _mm_storeu_ps(&out->r, bilinearLevel<S>(f, level, x, y));
}

// Reduced levels l and l + 1 (l > 0) of the filter's own storage, mixed
// (1 - t) : t.
template <class S>
void mixStoredLevels(const ImageFilter *f, int l, int x, int y, float t, Color *out) {
    const __m128 a = bilinearLevel<S>(f, l, x >> l, y >> l);
    const __m128 b = bilinearLevel<S>(f, l + 1, x >> (l + 1), y >> (l + 1));
    const __m128 s = _mm_set1_ps(1.0f - t);
    _mm_storeu_ps(&out->r, _mm_add_ps(_mm_mul_ps(s, a), _mm_mul_ps(_mm_set1_ps(t), b)));
}

inline float catmullRom(float p0, float p1, float p2, float p3, float t) {
    const float t2 = t * t, t3 = t2 * t;
    return p1 + ((p2 - p0) * t + (2.0f * p0 - 5.0f * p1 + 4.0f * p2 - p3) * t2 +
                 (3.0f * (p1 - p2) - p0 + p3) * t3) *
                    0.5f;
}

inline float clamp01(float v) {
    return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
}

void bicubic0(const ImageFilter *f, int x, int y, Color *out) {
    const int w = f->width, h = f->height;
    const bool wrap = f->wrap != 0;
    x = centred(x, w, wrap);
    y = centred(y, h, wrap);
    const int ix = x >> kFixedShift, iy = y >> kFixedShift;
    const float tx = static_cast<float>(x & kFixedMask) / kFixedOne;
    const float ty = static_cast<float>(y & kFixedMask) / kFixedOne;
    int cols[4], rows[4];
    for (int k = 0; k < 4; ++k) {
        cols[k] = neighbour(ix - 1 + k, w, wrap);
        rows[k] = neighbour(iy - 1 + k, h, wrap);
    }
    float across[4][4];  // [row][channel]
    for (int r = 0; r < 4; ++r) {
        Color p[4];
        for (int c = 0; c < 4; ++c) f->getPixel(f, cols[c], rows[r], &p[c]);
        for (int k = 0; k < 4; ++k)
            across[r][k] = catmullRom((&p[0].r)[k], (&p[1].r)[k], (&p[2].r)[k], (&p[3].r)[k], tx);
    }
    float *o = &out->r;
    for (int k = 0; k < 4; ++k)
        o[k] = clamp01(catmullRom(across[0][k], across[1][k], across[2][k], across[3][k], ty));
}

template <FetchFn Fetch>
void bilinear0(const ImageFilter *f, int x, int y, Color *out) {
    bilinear<Fetch>(f, 0, x, y, out);
}

// ---------------------------------------------------------------------------
// Source pixels.

void hostPixel(const ImageFilter *f, int x, int y, Color *out) {
    *out = Color{0.0f, 0.0f, 0.0f, 0.0f};
    zo_img_get_color(f->hostImage, out, x, y);
    gammaApply(out, f->gamma);
}

void callbackPixel(const ImageFilter *f, int x, int y, Color *out) {
    *out = Color{0.0f, 0.0f, 0.0f, 0.0f};
    f->source(out, f->sourceData, x, y);
    gammaApply(out, f->gamma);
}

void noPixel(const ImageFilter *, int, int, Color *out) {
    *out = Color{0.0f, 0.0f, 0.0f, 1.0f};
}

void noSample(const ImageFilter *, int, int, int, Color *out) {
    *out = Color{0.0f, 0.0f, 0.0f, 1.0f};
}

void noSample0(const ImageFilter *, int, int, Color *out) {
    *out = Color{0.0f, 0.0f, 0.0f, 1.0f};
}

bool noBuild(ImageFilter *) {
    return true;
}

void noImage(ImageFilter *) {}

void pinHostImage(ImageFilter *f) {
    f->hostImage = static_cast<const zoImage *>(zo_db_access(f->image));
}

void unpinHostImage(ImageFilter *f) {
    if (f->hostImage) zo_db_unpin(f->image);
    f->hostImage = nullptr;
}

// ---------------------------------------------------------------------------
// Pyramid build.

int halvings(int n) {
    int count = 0;
    while (n > 1) {
        n = (n + 1) / 2;
        ++count;
    }
    return count;
}

// Row `y` of `level` into `row` (decoded; level 0 through get-pixel).
template <class S>
void readRow(const ImageFilter *f, int level, int y, Color *row) {
    const int w = f->levelWidth[level];
    if (level == 0) {
        for (int x = 0; x < w; ++x) f->getPixel(f, x, y, &row[x]);
    } else {
        for (int x = 0; x < w; ++x) loadTexel<S>(f->level[level], w, x, y, &row[x]);
    }
}

// Level `to` from level `to - 1`: each texel the mean of its 2x2 block. An
// odd last column or row averages with column or row 0 when wrapping, and
// only with itself otherwise.
template <class S>
void reduceLevel(ImageFilter *f, int to, Color *rowA, Color *rowB) {
    const int from = to - 1;
    const int w = f->levelWidth[from], h = f->levelHeight[from];
    const int w2 = f->levelWidth[to], h2 = f->levelHeight[to];
    const bool wrap = f->wrap != 0;
    for (int j = 0; j < h2; ++j) {
        const int y0 = 2 * j;
        const int y1 = y0 + 1 < h ? y0 + 1 : (wrap ? 0 : -1);
        readRow<S>(f, from, y0, rowA);
        if (y1 >= 0) readRow<S>(f, from, y1, rowB);
        for (int i = 0; i < w2; ++i) {
            const int x0 = 2 * i;
            const int x1 = x0 + 1 < w ? x0 + 1 : (wrap ? 0 : -1);
            float sum[4] = {rowA[x0].r, rowA[x0].g, rowA[x0].b, rowA[x0].a};
            int n = 1;
            const Color *samples[3] = {x1 >= 0 ? &rowA[x1] : nullptr, y1 >= 0 ? &rowB[x0] : nullptr,
                                       x1 >= 0 && y1 >= 0 ? &rowB[x1] : nullptr};
            for (const Color *s : samples) {
                if (!s) continue;
                sum[0] += s->r;
                sum[1] += s->g;
                sum[2] += s->b;
                sum[3] += s->a;
                ++n;
            }
            const float scale = 1.0f / static_cast<float>(n);
            storeTexel<S>(f->level[to], w2, i, j,
                          Color{sum[0] * scale, sum[1] * scale, sum[2] * scale, sum[3] * scale});
        }
    }
}

template <class S>
bool buildStored(ImageFilter *f) {
    const int count = filterLevelCount(f->width, f->height);
    f->levels = 0;
    if (count == 0) return false;
    const int rowBytes = static_cast<int>(sizeof(Color)) * f->width;
    Color *rowA = static_cast<Color *>(zo_mem_int_allocate(kModule, __LINE__, rowBytes));
    Color *rowB = static_cast<Color *>(zo_mem_int_allocate(kModule, __LINE__, rowBytes));
    if (rowA && rowB) {
        for (int k = 1; k <= count; ++k) {
            const int w = (f->levelWidth[k - 1] + 1) / 2, h = (f->levelHeight[k - 1] + 1) / 2;
            const int bytes = w * h * 4 * static_cast<int>(sizeof(typename S::Channel));
            void *buffer = zo_mem_int_allocate(kModule, __LINE__, bytes);
            if (!buffer) break;  // keep the levels made so far
            f->level[k] = buffer;
            f->levelWidth[k] = w;
            f->levelHeight[k] = h;
            reduceLevel<S>(f, k, rowA, rowB);
            f->levels = k;
        }
    }
    if (rowA) zo_mem_int_release(kModule, __LINE__, rowA);
    if (rowB) zo_mem_int_release(kModule, __LINE__, rowB);
    return f->levels > 0;
}

// The host image carries its own pyramid: its levels are sampled directly.
bool buildHost(ImageFilter *f) {
    int count = f->hostImage ? f->hostImage->levels - 1 : 0;
    if (count > kFilterMaxLevels) count = kFilterMaxLevels;
    f->levels = 0;
    for (int k = 1; k <= count; ++k) {
        zoImage *level = zo_img_pyramid_get_level(const_cast<zoImage *>(f->hostImage), k);
        if (!level) break;
        const int w = zo_img_get_width(level), h = zo_img_get_height(level);
        if (w <= 0 || h <= 0) break;
        f->hostLevel[k] = level;
        f->levelWidth[k] = w;
        f->levelHeight[k] = h;
        f->levels = k;
    }
    return f->levels > 0;
}

template <class S>
void chooseStored(ImageFilter *f, bool bicubic) {
    f->buildPyramid = buildStored<S>;
    f->sampleLevel = bilinearStored<S>;
    f->sampleLevel0 = bicubic ? bicubic0 : bilinear0<fetchStored<S>>;
}

// Fixed-point position of u on an axis of `size` texels, wrapped into the
// image. Coordinates that cannot be represented read the first texel.
inline int fixedPosition(float u, int size) {
    const int64_t span = static_cast<int64_t>(size) << kFixedShift;
    double p = static_cast<double>(u) * size * kFixedOne;
    if (!(p > -1.0e15 && p < 1.0e15)) p = 0.0;
    int64_t x = static_cast<int64_t>(p);
    if (x < 0 || x >= span) {  // outside the image: wrapped (the division is rare)
        x %= span;
        if (x < 0) x += span;
    }
    return static_cast<int>(x);
}

}  // namespace

int filterLevelCount(int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    const int byHeight = halvings(height) + 1, byWidth = halvings(width) + 1;
    const int count = byHeight < byWidth ? byHeight : byWidth;
    return count < kFilterMaxLevels ? count : kFilterMaxLevels;
}

ImageFilter *filterCreate(Tag image, float gamma, FilterPixelSource source, void *user, int width,
                          int height) {
    auto *f =
        static_cast<ImageFilter *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(ImageFilter)));
    if (!f) return nullptr;
    memset(f, 0, sizeof *f);
    f->image = image;
    f->source = source;
    f->sourceData = user;
    f->pending = 1;
    f->gamma = gammaBuild(gamma);
    zo_init_lock(&f->lock);
    f->lockImage = noImage;
    f->unlockImage = noImage;

    int type = ZO_IMG_TYPE_RGBA_16;
    bool hostPyramid = false;
    if (source) {
        f->width = width;
        f->height = height;
        f->getPixel = callbackPixel;
    } else if (image && zo_db_type(image) == ZO_DB_IMAGE) {
        f->lockImage = pinHostImage;
        f->unlockImage = unpinHostImage;
        f->lockImage(f);
        if (f->hostImage) {
            f->width = zo_img_get_width(f->hostImage);
            f->height = zo_img_get_height(f->hostImage);
            f->getPixel = hostPixel;
            type = f->hostImage->type;
            hostPyramid = f->hostImage->filter > 0.0f;
        }
    }
    f->levelWidth[0] = f->width;
    f->levelHeight[0] = f->height;

    if (!f->getPixel || f->width <= 0 || f->height <= 0) {
        f->storage = kFilterNone;
        f->getPixel = noPixel;
        f->buildPyramid = noBuild;
        f->sampleLevel = noSample;
        f->sampleLevel0 = noSample0;
        return f;
    }
    switch (type) {
        case ZO_IMG_TYPE_RGBA:
        case ZO_IMG_TYPE_RGB:
            f->storage = kFilter8;
            chooseStored<Store8>(f, true);
            break;
        case ZO_IMG_TYPE_RGBA_FP:
        case ZO_IMG_TYPE_RGB_FP:
            f->storage = kFilterFloat;
            chooseStored<StoreFloat>(f, false);
            break;
        default:
            f->storage = kFilter16;
            chooseStored<Store16>(f, true);
            break;
    }
    if (hostPyramid) {
        f->storage = kFilterHost;
        f->buildPyramid = buildHost;
        f->sampleLevel = bilinear<fetchHost>;
        if (f->sampleLevel0 != bicubic0) f->sampleLevel0 = bilinear0<fetchHost>;
    }
    return f;
}

void filterDestroy(ImageFilter *f) {
    if (!f) return;
    if (f->storage != kFilterHost) {
        for (void *level : f->level)
            if (level) zo_mem_int_release(kModule, __LINE__, level);
    }
    if (f->unlockImage) f->unlockImage(f);
    gammaFree(f->gamma);
    zo_delete_lock(&f->lock);
    zo_mem_int_release(kModule, __LINE__, f);
}

void filterSetWrap(ImageFilter *f, bool wrap) {
    if (f) f->wrap = wrap ? 1 : 0;
}

void filterEnsurePyramid(ImageFilter *f) {
    if (!__atomic_load_n(&f->pending, __ATOMIC_ACQUIRE)) return;
    zo_lock(f->lock);
    if (__atomic_load_n(&f->pending, __ATOMIC_RELAXED)) {
        f->buildPyramid(f);
        __atomic_store_n(&f->pending, 0, __ATOMIC_RELEASE);
    }
    zo_unlock(f->lock);
}

Color *filterRead(ImageFilter *f, float u, float v, float du, float dv, Color *out) {
    if (!f) {
        *out = Color{0.0f, 0.0f, 0.0f, 0.0f};
        return out;
    }
    // built once: after that only the flag is read
    if (__atomic_load_n(&f->pending, __ATOMIC_ACQUIRE)) filterEnsurePyramid(f);
    if (f->storage == kFilterNone) {
        f->sampleLevel0(f, 0, 0, out);
        return out;
    }
    const int x = fixedPosition(u, f->width), y = fixedPosition(v, f->height);
    const float mu = f->width * du, mv = f->height * dv;
    const float m = mu > mv ? mu : mv;
    // log2 of m is above 0 exactly when m is above 1: a footprint of one
    // texel or less reads level 0 without taking the logarithm
    if (!(m > 1.0f)) {
        f->sampleLevel0(f, x, y, out);
        return out;
    }
    float L = log2f(m);
    if (L > 64.0f) L = 64.0f;
    const int fixedL = static_cast<int>(L * kFixedOne);
    const int levels = f->levels;
    int l = fixedL >> kFixedShift;
    if (l > levels) l = levels;
    if (l < levels) {
        const float t = static_cast<float>(fixedL & kFixedMask) / 4095.0f;
        if (l > 0) {
            switch (f->storage) {
                case kFilter8: mixStoredLevels<Store8>(f, l, x, y, t, out); return out;
                case kFilter16: mixStoredLevels<Store16>(f, l, x, y, t, out); return out;
                case kFilterFloat: mixStoredLevels<StoreFloat>(f, l, x, y, t, out); return out;
                default: break;
            }
        }
        Color a, b;
        f->sampleLevel(f, l, x >> l, y >> l, &a);
        f->sampleLevel(f, l + 1, x >> (l + 1), y >> (l + 1), &b);
        const float s = 1.0f - t;
        *out = Color{s * a.r + t * b.r, s * a.g + t * b.g, s * a.b + t * b.b, s * a.a + t * b.a};
    } else {
        f->sampleLevel(f, l, x >> l, y >> l, out);
    }
    return out;
}

void filterPointRead(const ImageFilter *f, RenderState *state, float u, float v, Color *out) {
    if (!f) {
        *out = Color{0.0f, 0.0f, 0.0f, 0.0f};
        return;
    }
    if (f->storage == kFilterNone) {
        *out = Color{0.0f, 0.0f, 0.0f, 1.0f};
        if (f->image && !f->source) {
            const Vector3 coord = {u, v, 0.0f};
            zo_lookup_color_texture(out, state, f->image, &coord);
            gammaApply(out, f->gamma);
        }
        return;
    }
    const float fx = u * f->width, fy = v * f->height;
    int x = fx > 0.0f ? (fx < f->width - 1 ? static_cast<int>(fx) : f->width - 1) : 0;
    int y = fy > 0.0f ? (fy < f->height - 1 ? static_cast<int>(fy) : f->height - 1) : 0;
    f->getPixel(f, x, y, out);
}

}  // namespace kor
