// Textures in the database: files read in their own component type (8-bit,
// 16-bit or float; scalar, vector, RGB or RGBA), image pyramids, the
// vector and filtered lookups and the texture footprint of a hit.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "image_file.h"
#include "scene_load.h"

#define HOST_API extern "C" __attribute__((visibility("default")))

namespace korhost {

namespace {

constexpr int32_t kImageMagic = 0x6b6f7269;  // "kori"

int image_type(int bits, int comp) {
    switch (comp) {
        case 1: return bits == 8 ? ZO_IMG_TYPE_S : bits == 16 ? ZO_IMG_TYPE_S_16 : ZO_IMG_TYPE_S_FP;
        case 2: return ZO_IMG_TYPE_VTA;
        case 3:
            return bits == 8    ? ZO_IMG_TYPE_RGB
                   : bits == 16 ? ZO_IMG_TYPE_RGB_16
                                : ZO_IMG_TYPE_RGB_FP;
        default:
            return bits == 8    ? ZO_IMG_TYPE_RGBA
                   : bits == 16 ? ZO_IMG_TYPE_RGBA_16
                                : ZO_IMG_TYPE_RGBA_FP;
    }
}

float component(const zoImage &img, const uint8_t *data, size_t at) {
    if (img.bits == 32) return reinterpret_cast<const float *>(data)[at];
    if (img.bits == 16) return reinterpret_cast<const uint16_t *>(data)[at] / 65535.0f;
    return data[at] / 255.0f;
}

void store(const zoImage &img, uint8_t *data, size_t at, float v) {
    if (img.bits == 32)
        reinterpret_cast<float *>(data)[at] = v;
    else if (img.bits == 16)
        reinterpret_cast<uint16_t *>(data)[at] =
            static_cast<uint16_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 65535.0f));
    else
        data[at] = static_cast<uint8_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f));
}

// Level k + 1 of a pyramid: each texel the mean of the 2x2 texels above it
// (the last row or column of an odd size folds into its neighbour's box).
void reduce(const zoImage &src, const std::vector<uint8_t> &in, zoImage &dst,
            std::vector<uint8_t> &out) {
    dst = src;
    dst.width = std::max(1, src.width / 2);
    dst.height = std::max(1, src.height / 2);
    const size_t bytes = src.bits / 8;
    out.assign(static_cast<size_t>(dst.width) * dst.height * src.comp * bytes, 0);
    for (int y = 0; y < dst.height; ++y)
        for (int x = 0; x < dst.width; ++x) {
            const int x0 = 2 * x, y0 = 2 * y;
            const int x1 = x == dst.width - 1 ? src.width : std::min(src.width, x0 + 2);
            const int y1 = y == dst.height - 1 ? src.height : std::min(src.height, y0 + 2);
            for (int c = 0; c < src.comp; ++c) {
                double sum = 0;
                for (int yy = y0; yy < y1; ++yy)
                    for (int xx = x0; xx < x1; ++xx)
                        sum += component(src, in.data(),
                                         (static_cast<size_t>(yy) * src.width + xx) * src.comp + c);
                store(dst, out.data(), (static_cast<size_t>(y) * dst.width + x) * dst.comp + c,
                      static_cast<float>(sum / ((x1 - x0) * (y1 - y0))));
            }
        }
}

// The decoding of an integer file's colour values: `encoding` (sRGB,
// Rec709, GammaN or a colour space of the OpenColorIO configuration) to
// linear, for each of the 65536 steps of [0, 1]. False with `error` when
// the name is unknown.
bool decoding_table(const std::string &encoding, std::vector<float> &table, std::string &error) {
    const int n = 65536;
    table.resize(n);
    for (int i = 0; i < n; ++i) table[i] = static_cast<float>(i) / (n - 1);
    return decode_colour(encoding, table.data(), n, 1, 1, error);
}

// Decodes the colour of 8- or 16-bit texels in `raw` to linear 16-bit
// values; alpha (the last of 2 or 4 components) stays as it is. The colour
// is stored multiplied by alpha: decoded apart from it.
std::vector<uint8_t> decode(const std::vector<uint8_t> &raw, int bits, int comp,
                            const std::vector<float> &table) {
    const size_t count = raw.size() / (bits / 8);
    std::vector<uint8_t> bytes(count * 2);
    auto *dst = reinterpret_cast<uint16_t *>(bytes.data());
    auto value = [&](size_t at) -> uint32_t {
        return bits == 8 ? raw[at] * 257u : reinterpret_cast<const uint16_t *>(raw.data())[at];
    };
    const bool alpha = comp == 2 || comp == 4;
    for (size_t p = 0; p < count; p += comp) {
        const uint32_t a = alpha ? value(p + comp - 1) : 65535u;
        for (int c = 0; c < comp; ++c) {
            const uint32_t v = value(p + c);
            if (alpha && c == comp - 1) {
                dst[p + c] = static_cast<uint16_t>(v);
                continue;
            }
            const float k = a > 0 && a < 65535 ? a / 65535.0f : 1.0f;
            const uint32_t at = a > 0 && a < 65535 ? std::min(65535u, (v * 65535u + a / 2) / a) : v;
            dst[p + c] = static_cast<uint16_t>(
                std::lround(std::clamp(table[at] * k, 0.0f, 1.0f) * 65535.0f));
        }
    }
    return bytes;
}

}  // namespace

bool read_texture(const std::string &path, float filter, ImageEntry &out, std::string &error,
                  const std::string &colorspace) {
    ImagePixels file;
    if (!read_pixels(path, 4, file, error)) return false;
    const int w = file.width, h = file.height, comp = file.channels;
    if (w < 1 || h < 1 || comp < 1) {
        error = "cannot read image " + path + ": the file holds no pixels";
        return false;
    }
    int bits = file.bits;
    std::vector<uint8_t> raw = std::move(file.bytes);
    // Colour in 8- and 16-bit files is encoded for display: decoded to
    // linear by the given colour space, or the one the file names (8-bit
    // files that name none hold sRGB). Float files hold linear values.
    std::string encoding = colorspace;
    if (encoding.empty()) {
        encoding = file.colorspace;
        if (encoding.empty() && bits == 8) encoding = "sRGB";
    }
    if (!encoding.empty() && !linear_colour_space(encoding)) {
        if (bits == 32) {
            if (!colorspace.empty()) {
                error = "image " + path + " holds float values, which are linear: colorspace \"" +
                        colorspace + "\" applies to 8- and 16-bit files only";
                return false;
            }
        } else {
            std::vector<float> table;
            if (!decoding_table(encoding, table, error)) {
                std::string why;
                if (image_module_available(why))
                    error = "unknown colour space \"" + encoding +
                            "\" (sRGB, Rec709, GammaN, linear, raw, or a name in $OCIO's "
                            "configuration)";
                error = "image " + path + ": " + error;
                return false;
            }
            raw = decode(raw, bits, comp, table);
            bits = 16;
        }
    }
    const size_t stored_row = static_cast<size_t>(w) * comp * (bits / 8);
    // Files keep the top row first; the database keeps the bottom row first.
    out.level_bytes.clear();
    out.levels.clear();
    out.level_bytes.emplace_back(raw.size());
    for (int y = 0; y < h; ++y)
        memcpy(&out.level_bytes[0][static_cast<size_t>(y) * stored_row],
               &raw[(h - 1 - y) * stored_row], stored_row);
    zoImage img{};
    img.magic = kImageMagic;
    img.width = w;
    img.height = h;
    img.bits = bits;
    img.comp = comp;
    img.type = image_type(bits, comp);
    img.filter = filter > 0 ? filter : 0.0f;
    img.levels = 1;
    img.gamma = 1;
    out.levels.push_back(img);
    if (filter > 0) {
        while (out.levels.back().width > 1 || out.levels.back().height > 1) {
            zoImage next;
            std::vector<uint8_t> bytes;
            reduce(out.levels.back(), out.level_bytes.back(), next, bytes);
            out.level_bytes.push_back(std::move(bytes));
            out.levels.push_back(next);
        }
    }
    const int count = static_cast<int>(out.levels.size());
    for (int k = 0; k < count; ++k) {
        out.levels[k].levels = count - k;
        out.levels[k].data = out.level_bytes[k].data();
        out.levels[k].host = &out;
    }
    out.image = out.levels[0];
    return true;
}

}  // namespace korhost

using namespace korhost;

namespace {

const zoImage *texture_image(Tag tag) {
    Session *s = session();
    DbItem *it = s ? s->item(tag) : nullptr;
    if (!it || (it->type != ZO_DB_TEXTURE && it->type != ZO_DB_IMAGE)) return nullptr;
    return static_cast<const zoImage *>(it->record);
}

// Level k of an image that carries a pyramid (level 0 the image itself).
const zoImage *level_of(const zoImage *img, int k) {
    if (!img || k <= 0) return img;
    const auto *entry = static_cast<const ImageEntry *>(img->host);
    if (!entry || entry->levels.empty() || img->levels <= 1) return img;
    // Levels count from the image handed in, which may itself be a level.
    const int base = static_cast<int>(entry->levels.size()) - img->levels;
    const int at = std::min(base + k, static_cast<int>(entry->levels.size()) - 1);
    return &entry->levels[at];
}

// Bilinear read at (u, v) in [0, 1) (repeating), texel centres at half
// steps, as the unfiltered lookups do.
void bilinear(const zoImage *img, float u, float v, float out[4]) {
    const int w = img->width, h = img->height;
    // The image repeats: any coordinate reads as its place in [0, 1).
    u = std::isfinite(u) ? u - std::floor(u) : 0.0f;
    v = std::isfinite(v) ? v - std::floor(v) : 0.0f;
    auto wrap = [](int i, int n) { return ((i % n) + n) % n; };
    const float fx = u * w - 0.5f, fy = v * h - 0.5f;
    const int x0 = static_cast<int>(std::floor(fx)), y0 = static_cast<int>(std::floor(fy));
    const float tx = fx - x0, ty = fy - y0;
    const float weights[4] = {(1 - tx) * (1 - ty), tx * (1 - ty), (1 - tx) * ty, tx * ty};
    for (int c = 0; c < 4; ++c) out[c] = 0;
    for (int k = 0; k < 4; ++k) {
        if (weights[k] == 0) continue;
        Color t;
        zo_img_get_color(img, &t, wrap(x0 + (k & 1), w), wrap(y0 + (k >> 1), h));
        out[0] += weights[k] * t.r;
        out[1] += weights[k] * t.g;
        out[2] += weights[k] * t.b;
        out[3] += weights[k] * t.a;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Texture lookups: (u, v) in [0, 1) over the image, v = 0 the bottom row,
// repeating outside; the options' filter picks nearest or bilinear.

namespace {
DbItem *item(Tag tag) {
    Session *s = session();
    return s ? s->item(tag) : nullptr;
}

// Texel (x, y): as a colour (zo_img_get_color), or its components as
// stored (the rest of `out` left alone).
void texel(const zoImage *img, int x, int y, bool colour, float *out) {
    if (colour) {
        Color c;
        zo_img_get_color(img, &c, x, y);
        out[0] = c.r, out[1] = c.g, out[2] = c.b, out[3] = c.a;
        return;
    }
    const size_t at = (static_cast<size_t>(y) * img->width + x) * img->comp;
    for (int c = 0; c < img->comp && c < 4; ++c)
        out[c] = component(*img, static_cast<const uint8_t *>(img->data), at + c);
}

// The shader of a texture that a shader computes, or 0.
Tag texture_shader(Tag tag) {
    DbItem *it = item(tag);
    if (!it || it->type != ZO_DB_TEXTURE || !it->owner) return 0;
    return static_cast<const ImageEntry *>(it->owner)->shader;
}

// Runs a texture shader at `coord` (its fourth argument, as texture
// shaders take their lookup coordinate); a scalar result reads as grey.
bool shade_texture(float *out, RenderState *state, Tag shader, const Vector3 *coord) {
    DbItem *it = item(shader);
    if (!state || !it || it->type != ZO_DB_FUNCTION) return false;
    const auto *rec = static_cast<const HostRecord *>(it->record);
    const Declaration *decl = rec && rec->function ? rec->function->decl : nullptr;
    alignas(16) float value[16] = {0, 0, 0, 1};
    Vector3 at = *coord;
    if (!call_shader(value, ZO_CALL_TEXTURE, state, shader, &at)) return false;
    if (decl && decl->result && decl->result->kind == Kind::Scalar)
        value[1] = value[2] = value[0], value[3] = 1;
    memcpy(out, value, 4 * sizeof(float));
    return true;
}

// `colour`: the texels as colours; otherwise their components as stored.
bool lookup(float *out, RenderState *state, Tag texture, const Vector3 *coord, bool colour) {
    if (!coord) return false;
    if (const Tag shader = texture_shader(texture)) return shade_texture(out, state, shader, coord);
    const zoImage *img = texture_image(texture);
    if (!img || !img->data || img->width < 1 || img->height < 1) return false;
    if (!std::isfinite(coord->x) || !std::isfinite(coord->y)) return false;
    // The image repeats: any coordinate reads as its place in [0, 1), so
    // that far-off coordinates never overflow the texel index.
    const Vector3 wrapped{coord->x - std::floor(coord->x), coord->y - std::floor(coord->y), 0};
    coord = &wrapped;
    const int w = img->width, h = img->height;
    auto wrap = [](int i, int n) { return ((i % n) + n) % n; };
    float v[4];
    const bool nearest = state && state->options && state->options->filter == 0;
    if (nearest) {
        int x = wrap(static_cast<int>(std::floor(coord->x * w)), w);
        int y = wrap(static_cast<int>(std::floor(coord->y * h)), h);
        texel(img, x, y, colour, out);
        return true;
    }
    const float fx = coord->x * w - 0.5f, fy = coord->y * h - 0.5f;
    const int x0 = static_cast<int>(std::floor(fx)), y0 = static_cast<int>(std::floor(fy));
    const float tx = fx - x0, ty = fy - y0;
    for (int c = 0; c < 4; ++c) out[c] = 0;
    const float weights[4] = {(1 - tx) * (1 - ty), tx * (1 - ty), (1 - tx) * ty, tx * ty};
    for (int k = 0; k < 4; ++k) {
        if (weights[k] == 0) continue;
        v[0] = v[1] = v[2] = 0;
        v[3] = 1;
        texel(img, wrap(x0 + (k & 1), w), wrap(y0 + (k >> 1), h), colour, v);
        for (int c = 0; c < 4; ++c) out[c] += weights[k] * v[c];
    }
    return true;
}
}  // namespace

HOST_API zoBoolean zo_lookup_color_texture(Color *result, RenderState *state, Tag texture,
                                           const Vector3 *coord) {
    float v[4] = {0, 0, 0, 1};
    if (!result || !lookup(v, state, texture, coord, true)) return 0;
    *result = Color{v[0], v[1], v[2], v[3]};
    return 1;
}

HOST_API zoBoolean zo_lookup_scalar_texture(float *result, RenderState *state, Tag texture,
                                            const Vector3 *coord) {
    float v[4] = {0, 0, 0, 1};
    if (!result || !lookup(v, state, texture, coord, false)) return 0;
    *result = v[0];
    return 1;
}

// A vector texture's components (two for a vector image, the third 0).
HOST_API zoBoolean zo_lookup_vector_texture(Vector3 *result, RenderState *state, Tag texture,
                                            const Vector3 *coord) {
    float v[4] = {0, 0, 0, 1};
    if (!result || !lookup(v, state, texture, coord, false)) return 0;
    *result = Vector3{v[0], v[1], v[2]};
    return 1;
}

HOST_API zoImage *zo_img_pyramid_get_level(zoImage *image, int level) {
    if (!image || level < 0 || level >= std::max(1, image->levels)) return nullptr;
    return const_cast<zoImage *>(level_of(image, level));
}

// The footprint of a pixel around the hit: p[0] the point, p[1] and p[2]
// the point moved by disc_r pixels along raster x and y on the surface's
// tangent plane; t[k] their coordinates in texture space `space`.
HOST_API zoBoolean zo_texture_filter_project(Vector3 p[3], Vector3 t[3], RenderState *state,
                                             float disc_r, int space) {
    if (!p || !t || !state) return 0;
    const uint32_t *i = nullptr;
    const InstanceEntry *inst = hit_instance(state, &i);
    if (!inst) return 0;
    const Mesh &m = inst->object->mesh;
    if (space < 0 || static_cast<size_t>(space) >= m.tex.size()) return 0;
    Vector3 rx, ry;
    if (!zo_raster_unit(state, &rx, &ry)) return 0;
    const Vector3 n = state->normal_geom;
    // Onto the tangent plane along the eye direction.
    auto onto_plane = [&](Vector3 offset) {
        Vector3 d = state->dir;
        const float dn = dot(d, n);
        if (std::fabs(dn) > 1e-6f) offset = offset - d * (dot(offset, n) / dn);
        return state->point + offset;
    };
    p[0] = state->point;
    p[1] = onto_plane(rx * disc_r);
    p[2] = onto_plane(ry * disc_r);
    const Vector3 a = world_point(*inst, i[0]), b = world_point(*inst, i[1]),
                  c = world_point(*inst, i[2]);
    const Vector3 e1 = b - a, e2 = c - a;
    const float d11 = dot(e1, e1), d12 = dot(e1, e2), d22 = dot(e2, e2);
    const float den = d11 * d22 - d12 * d12;
    if (std::fabs(den) < 1e-30f) return 0;
    const auto &tex = m.tex[space];
    for (int k = 0; k < 3; ++k) {
        const Vector3 q = p[k] - a;
        const float q1 = dot(q, e1), q2 = dot(q, e2);
        const float b1 = (d22 * q1 - d12 * q2) / den, b2 = (d11 * q2 - d12 * q1) / den;
        t[k] = tex[i[0]] * (1 - b1 - b2) + tex[i[1]] * b1 + tex[i[2]] * b2;
    }
    return 1;
}

// Filtered lookup: the unit disc of footprint space maps through `st` (row
// vectors, (x, y, 0, 1) * st) to an ellipse in texture space; the ellipse's
// minor axis, widened to at least major / eccmax and scaled by blur, picks
// the pyramid levels read (trilinear). Images without a pyramid are read
// bilinearly.
HOST_API zoBoolean zo_lookup_filter_color_texture(Color *result, RenderState *state, Tag texture,
                                                  float eccmax, float blur, const zoMatrix st) {
    const zoImage *img = texture_image(texture);
    if (!result || !img || !st) return 0;
    const float u = st[12], v = st[13];
    if (img->width < 1 || img->height < 1) {
        // A texture shader: run at the footprint's centre.
        const Vector3 at{u, v, 0};
        return zo_lookup_color_texture(result, state, texture, &at);
    }
    float out[4];
    if (img->levels <= 1 || img->filter <= 0) {
        bilinear(img, u, v, out);
        *result = Color{out[0], out[1], out[2], out[3]};
        return 1;
    }
    const float ax = st[0] * img->width, ay = st[1] * img->height;
    const float bx = st[4] * img->width, by = st[5] * img->height;
    float major = std::sqrt(ax * ax + ay * ay), minor = std::sqrt(bx * bx + by * by);
    if (minor > major) std::swap(minor, major);
    if (eccmax > 1 && minor * eccmax < major) minor = major / eccmax;
    minor *= (blur > 0 ? blur : 1.0f) * img->filter;
    const int top = img->levels - 1;
    const float lod = minor > 1 ? std::min(std::log2(minor), static_cast<float>(top)) : 0.0f;
    const int l0 = std::min(static_cast<int>(std::floor(lod)), top);
    const int l1 = std::min(l0 + 1, top);
    const float f = l0 == l1 ? 0.0f : lod - l0;
    float a[4], b[4];
    bilinear(level_of(img, l0), u, v, a);
    if (f > 0) {
        bilinear(level_of(img, l1), u, v, b);
        for (int c = 0; c < 4; ++c) a[c] += f * (b[c] - a[c]);
    }
    *result = Color{a[0], a[1], a[2], a[3]};
    return 1;
}
