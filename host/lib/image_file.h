// Image files below the texture and output code: PNG and EXR read and
// written directly (libpng, OpenEXR), every other format and the colour
// spaces of an OpenColorIO configuration through the image module, a
// library of its own (libkorhost_oiio.so) loaded on first need only, so
// that a render that reads and writes PNG and EXR alone never loads it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace korhost {

// The pixels of a file, top row first, channels interleaved: 8- or 16-bit
// unsigned integers (0 to 255 or 65535 for 0 to 1) or 32-bit floats.
// Integer colour comes multiplied by alpha, as it is kept in the database.
struct ImagePixels {
    int width = 0, height = 0;  // the data window
    int channels = 0;           // as many as the caller asked for at most
    int file_channels = 0;      // as many as the file holds
    int bits = 32;
    std::vector<uint8_t> bytes;
    // The encoding of the colour values that the file names ("sRGB",
    // "GammaN", "linear"; a colour space name of any other format), or "".
    std::string colorspace;
};

// What an output file holds: the region (data window) of the full image
// (display window), top row first, the channels' names, and the pixel
// type: 8 or 16 (unsigned integers, clamped to [0, 1] and rounded), 16
// with `half` set, or 32 (float).
struct ImageLayout {
    int width = 0, height = 0;  // the region
    int x = 0, y = 0;           // its top left in the full image
    int full_width = 0, full_height = 0;
    std::vector<std::string> names;
    int alpha_channel = -1;
    int bits = 32;
    bool half = false;
    // Colour values' encoding, written into the file's metadata when not
    // empty; the values are already encoded (and unpremultiplied).
    std::string colorspace;
    std::string software;
};

// Reads the first `max_channels` channels of the image at `path` (its
// first subimage). False with `error` ("cannot read image PATH: why").
bool read_pixels(const std::string &path, int max_channels, ImagePixels &out, std::string &error);
// Writes `values` (floats, layout.names.size() per pixel) at `path`.
bool write_pixels(const std::string &path, const ImageLayout &layout, const float *values,
                  std::string &error);
// Whether images can be written at `path` (by its extension) and whether
// the format keeps alpha; "" or why not (the module could not be loaded).
bool image_writable(const std::string &path, bool &keeps_alpha, std::string &why);

// The lower-case extension of `path`, without the dot ("" for none).
std::string file_extension(const std::string &path);

// The formula a colour-space name stands for, in any case: linear, raw
// (values as stored), sRGB, Rec709, GammaN (its exponent in `gamma`);
// kOther for the names of an OpenColorIO configuration.
enum class ColourCurve { kLinear, kRaw, kSrgb, kRec709, kGamma, kOther };
ColourCurve colour_curve(const std::string &space, float &gamma);

// Colour encodings: linear (or raw), sRGB, Rec709 and GammaN are formulas;
// any other name is a colour space of the OpenColorIO configuration, which
// the module converts. `count` values with `stride` floats between pixels,
// the first `channels` of each converted. False with `error`.
bool encode_colour(const std::string &space, float *values, size_t count, int stride, int channels,
                   std::string &error);
bool decode_colour(const std::string &space, float *values, size_t count, int stride, int channels,
                   std::string &error);
// A value in [0, 1] as one of the steps 0 to `max` (255 or 65535) of an
// integer file: scaled, plus a half, cut to [0, max]; not a number and
// values below zero give 0.
inline unsigned quantise(float v, float max) {
    const float q = v * max + 0.5f;
    return q > 0 ? static_cast<unsigned>(std::min(q, max)) : 0u;
}

// An image's rows cut into bands for its threads: at least 64 rows a band,
// at most `threads` bands.
inline int row_band_count(int rows, int threads) {
    return std::max(1, std::min(threads, rows / 64));
}

// Runs band(index, begin, end) for each of `bands` bands of `rows` rows,
// band 0 on the calling thread and the others on plain threads of their
// own (their start and end order the writes for whatever follows); returns
// when all are done.
template <typename Band>
void run_row_bands(int rows, int bands, const Band &band) {
    std::vector<std::thread> helpers;
    for (int b = 1; b < bands; ++b)
        helpers.emplace_back(
            [&band, b, bands, rows] { band(b, rows * b / bands, rows * (b + 1) / bands); });
    band(0, 0, rows / bands);
    for (std::thread &t : helpers) t.join();
}

// The 8-bit code of a formula encoding (sRGB, Rec709, GammaN): the encoded
// value times 255 plus a half, cut to [0, 255] (not a number and values
// below zero: 0). The code changes at only 255 values, found once by
// bisection, so that a value costs a table step instead of a power.
class ByteEncoder {
  public:
    ByteEncoder(ColourCurve curve, float gamma);
    int code(float v) const;

  private:
    static constexpr uint32_t kBucketShift = 16;
    static constexpr uint32_t kBuckets = (0x3F800000u >> kBucketShift) + 1;  // up to 1.0
    uint32_t first_[256];      // bit pattern of the first value of code k (k >= 1)
    uint8_t start_[kBuckets];  // code at the start of each span of 2^16 patterns
};

// Whether `space` is one of the formula encodings (linear and raw too).
bool builtin_colour_space(const std::string &space);
bool linear_colour_space(const std::string &space);
// Whether the image module can be loaded (loading it); `why` if not.
bool image_module_available(std::string &why);
// Whether the module knows `space`; `names` the spaces it knows. False
// with `why` when the module cannot be loaded.
bool module_colour_space(const std::string &space, bool &known, std::string &names,
                         std::string &why);
// The module's libraries and their versions ("OpenImageIO 2.4.7,
// OpenColorIO 2.1.2"), or why it cannot be loaded.
bool module_versions(std::string &text, std::string &why);
// The versions of the libraries that read and write PNG and EXR.
std::string direct_image_versions();

// Why an image of w x h pixels is too large to read ("" when it is not).
inline std::string image_size_problem(long long w, long long h, int max_side,
                                      long long max_pixels) {
    if (w <= max_side && h <= max_side && w * h <= max_pixels) return "";
    return std::to_string(w) + "x" + std::to_string(h) + " pixels is larger than the limit of " +
           std::to_string(max_pixels) + " pixels (" + std::to_string(max_side) + " along a side)";
}

// The interface of the image module, exported as korhost_image_module().
struct ImageModule {
    int abi;  // kImageModuleAbi
    // As read_pixels, refusing images past the limits before reading them.
    bool (*read)(const std::string &path, int max_channels, int max_side, long long max_pixels,
                 ImagePixels &out, std::string &error);
    bool (*write)(const std::string &path, const ImageLayout &layout, const float *values,
                  std::string &error);
    // Whether `path`'s extension names a format it writes, and if it keeps alpha.
    bool (*writable)(const std::string &path, bool &keeps_alpha);
    bool (*convert)(const std::string &from, const std::string &to, float *values, size_t count,
                    int stride, int channels, std::string &error);
    bool (*known_space)(const std::string &space);
    std::string (*space_names)();
    std::string (*versions)();
};
constexpr int kImageModuleAbi = 1;
constexpr const char *kImageModuleFile = "libkorhost_oiio.so";

// PNG and EXR (png_file.cpp, exr_file.cpp).
bool read_png(const std::string &path, int max_channels, ImagePixels &out, std::string &error);
bool write_png(const std::string &path, const ImageLayout &layout, const float *values,
               std::string &error);
// 8-bit PNG from codes already rounded (layout.names.size() per pixel),
// compressed in bands of rows on up to `threads` threads.
bool write_png_bytes(const std::string &path, const ImageLayout &layout, const uint8_t *bytes,
                     int threads, std::string &error);
bool read_exr(const std::string &path, int max_channels, ImagePixels &out, std::string &error);
bool write_exr(const std::string &path, const ImageLayout &layout, const float *values,
               std::string &error);

}  // namespace korhost
