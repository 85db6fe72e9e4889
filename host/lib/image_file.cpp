// Reading and writing image files by extension: PNG and EXR here, the
// other formats through the image module, loaded from beside libkorhost
// (or $KORHOST_IMAGE_MODULE) the first time one is needed; and the colour
// encodings that are formulas.
#include "image_file.h"

#include <OpenEXR/OpenEXRConfig.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "module.h"
#include "scene_load.h"

namespace korhost {

std::string file_extension(const std::string &path) {
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return "";
    std::string e = path.substr(dot + 1);
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return std::tolower(c); });
    return e;
}

namespace {

ModuleSpec image_spec{kImageModuleFile, "KORHOST_IMAGE_MODULE", "korhost_image_module",
                      kImageModuleAbi, "image module"};

// The module, loaded on the first call; null with `why` when it cannot be.
const ImageModule *image_module(std::string &why) {
    return static_cast<const ImageModule *>(load_module(image_spec, why));
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

float encode_value(ColourCurve c, float gamma, float v) {
    switch (c) {
        case ColourCurve::kSrgb:
            return v <= 0.0031308f ? v * 12.92f : 1.055f * std::pow(v, 1 / 2.4f) - 0.055f;
        case ColourCurve::kRec709:
            return v < 0.018f ? v * 4.5f : 1.099f * std::pow(v, 0.45f) - 0.099f;
        case ColourCurve::kGamma: return v < 0 ? v : std::pow(v, 1 / gamma);
        default: return v;
    }
}

float decode_value(ColourCurve c, float gamma, float v) {
    switch (c) {
        case ColourCurve::kSrgb:
            return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
        case ColourCurve::kRec709:
            return v < 0.081f ? v / 4.5f : std::pow((v + 0.099f) / 1.099f, 1 / 0.45f);
        case ColourCurve::kGamma: return v < 0 ? v : std::pow(v, gamma);
        default: return v;
    }
}

bool convert(const std::string &space, bool encode, float *values, size_t count, int stride,
             int channels, std::string &error) {
    float gamma = 1;
    const ColourCurve c = colour_curve(space, gamma);
    if (c == ColourCurve::kOther) {
        std::string why;
        const ImageModule *m = image_module(why);
        if (!m) {
            error = "colour space \"" + space + "\" is not one of linear, sRGB, Rec709, GammaN, " +
                    "and " + why;
            return false;
        }
        return encode ? m->convert("linear", space, values, count, stride, channels, error)
                      : m->convert(space, "linear", values, count, stride, channels, error);
    }
    if (c == ColourCurve::kLinear || c == ColourCurve::kRaw) return true;
    for (size_t i = 0; i < count; ++i)
        for (int k = 0; k < channels; ++k) {
            float &v = values[i * stride + k];
            v = encode ? encode_value(c, gamma, v) : decode_value(c, gamma, v);
        }
    return true;
}

bool direct_format(const std::string &ext) {
    return ext == "png" || ext == "exr";
}

}  // namespace

ByteEncoder::ByteEncoder(ColourCurve curve, float gamma) {
    auto bits_value = [](uint32_t b) {
        float f;
        memcpy(&f, &b, sizeof f);
        return f;
    };
    auto rounded = [&](uint32_t b) {
        return static_cast<int>(quantise(encode_value(curve, gamma, bits_value(b)), 255.0f));
    };
    // Positive floats order as their bit patterns; 0 has code 0 and
    // infinity 255.
    first_[0] = 0;
    for (int k = 1; k < 256; ++k) {
        uint32_t lo = 0, hi = 0x7F800000u;
        while (hi - lo > 1) {
            const uint32_t mid = lo + (hi - lo) / 2;
            (rounded(mid) >= k ? hi : lo) = mid;
        }
        first_[k] = hi;
    }
    int k = 0;
    for (uint32_t i = 0; i < kBuckets; ++i) {
        while (k < 255 && first_[k + 1] <= i << kBucketShift) ++k;
        start_[i] = static_cast<uint8_t>(k);
    }
}

int ByteEncoder::code(float v) const {
    if (!(v > 0)) return 0;
    uint32_t b;
    memcpy(&b, &v, sizeof b);
    int k = start_[std::min(b >> kBucketShift, kBuckets - 1)];
    while (k < 255 && b >= first_[k + 1]) ++k;
    return k;
}

ColourCurve colour_curve(const std::string &space, float &gamma) {
    const std::string s = lower(space);
    if (s == "linear") return ColourCurve::kLinear;
    if (s == "raw") return ColourCurve::kRaw;
    if (s == "srgb") return ColourCurve::kSrgb;
    if (s == "rec709") return ColourCurve::kRec709;
    if (s.compare(0, 5, "gamma") == 0 && s.size() > 5) {
        char *end = nullptr;
        gamma = strtof(s.c_str() + 5, &end);
        if (end && !*end && gamma > 0 && std::isfinite(gamma)) return ColourCurve::kGamma;
    }
    return ColourCurve::kOther;
}

bool builtin_colour_space(const std::string &space) {
    float gamma;
    return colour_curve(space, gamma) != ColourCurve::kOther;
}

bool linear_colour_space(const std::string &space) {
    float gamma;
    const ColourCurve c = colour_curve(space, gamma);
    return c == ColourCurve::kLinear || c == ColourCurve::kRaw;
}

bool encode_colour(const std::string &space, float *values, size_t count, int stride, int channels,
                   std::string &error) {
    return convert(space, true, values, count, stride, channels, error);
}

bool decode_colour(const std::string &space, float *values, size_t count, int stride, int channels,
                   std::string &error) {
    return convert(space, false, values, count, stride, channels, error);
}

std::string direct_image_versions() {
    return std::string("libpng ") + png_libpng_ver + ", OpenEXR " + OPENEXR_VERSION_STRING;
}

bool image_module_available(std::string &why) {
    return image_module(why) != nullptr;
}

bool module_colour_space(const std::string &space, bool &known, std::string &names,
                         std::string &why) {
    const ImageModule *m = image_module(why);
    if (!m) return false;
    known = m->known_space(space);
    names = m->space_names();
    return true;
}

bool module_versions(std::string &text, std::string &why) {
    const ImageModule *m = image_module(why);
    if (m) text = m->versions();
    return m != nullptr;
}

bool read_pixels(const std::string &path, int max_channels, ImagePixels &out, std::string &error) {
    out = ImagePixels{};
    const std::string ext = file_extension(path);
    if (ext == "png") return read_png(path, max_channels, out, error);
    if (ext == "exr") return read_exr(path, max_channels, out, error);
    std::string why;
    const ImageModule *m = image_module(why);
    if (!m) {
        error = "cannot read image " + path + ": " + why;
        return false;
    }
    return m->read(path, max_channels, kMaxImageSide, kMaxImagePixels, out, error);
}

bool write_pixels(const std::string &path, const ImageLayout &layout, const float *values,
                  std::string &error) {
    const std::string ext = file_extension(path);
    if (ext == "png") return write_png(path, layout, values, error);
    if (ext == "exr") return write_exr(path, layout, values, error);
    std::string why;
    const ImageModule *m = image_module(why);
    if (!m) {
        error = "cannot write image " + path + ": " + why;
        return false;
    }
    return m->write(path, layout, values, error);
}

bool image_writable(const std::string &path, bool &keeps_alpha, std::string &why) {
    const std::string ext = file_extension(path);
    why.clear();
    if (direct_format(ext)) {
        keeps_alpha = true;
        return true;
    }
    const ImageModule *m = image_module(why);
    return m && m->writable(path, keeps_alpha);
}

}  // namespace korhost
