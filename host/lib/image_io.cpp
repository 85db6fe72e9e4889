// Reading textures and writing images and frame buffers, by file extension:
// the region of a crop, colour encoded for 8- and 16-bit files, render
// elements as layers of one EXR.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "image_file.h"
#include "session.h"

namespace korhost {

bool read_image(const std::string &path, ImageEntry &out, std::string &error) {
    ImagePixels file;
    if (!read_pixels(path, 4, file, error)) return false;
    const int w = file.width, h = file.height, ch = file.channels;
    std::vector<float> raw(static_cast<size_t>(w) * h * ch);
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = file.bits == 8 ? file.bytes[i] / 255.0f
                 : file.bits == 16
                     ? reinterpret_cast<const uint16_t *>(file.bytes.data())[i] / 65535.0f
                     : reinterpret_cast<const float *>(file.bytes.data())[i];
    out.pixels.assign(static_cast<size_t>(w) * h * 4, 0.0f);
    for (int y = 0; y < h; ++y) {
        // Files store the top row first; images in the database keep the
        // bottom row first, like raster space.
        const float *src = &raw[static_cast<size_t>(h - 1 - y) * w * ch];
        float *dst = &out.pixels[static_cast<size_t>(y) * w * 4];
        for (int x = 0; x < w; ++x) {
            const float *p = src + x * ch;
            float *q = dst + x * 4;
            if (ch == 1)
                q[0] = q[1] = q[2] = p[0], q[3] = 1;
            else if (ch == 2)
                q[0] = q[1] = q[2] = p[0], q[3] = p[1];
            else {
                q[0] = p[0];
                q[1] = p[1];
                q[2] = p[2];
                q[3] = ch >= 4 ? p[3] : 1.0f;
            }
        }
    }
    zoImage &img = out.image;
    img = zoImage{};
    img.magic = 0x6b6f7269;
    img.width = w;
    img.height = h;
    img.bits = 32;
    img.comp = 4;
    img.type = ZO_IMG_TYPE_RGBA_FP;
    img.levels = 1;
    img.gamma = 1;
    img.data = out.pixels.data();
    return true;
}

namespace {

bool integer_format(const std::string &ext) {
    return ext == "png" || ext == "jpg" || ext == "jpeg" || ext == "bmp" || ext == "ppm" ||
           ext == "pgm" || ext == "tga" || ext == "webp";
}

// The pixel types of files.
enum class PixelType { kUint8, kUint16, kHalf, kFloat };

// The pixel type of a file: --bit-depth, or the format's own (floats for
// EXR and TIFF, 8 bits for the integer formats; integer frame buffers
// take 16 bits there so that their values survive).
PixelType file_type(const std::string &ext, const std::string &depth, bool integer_plane) {
    if (depth == "8") return PixelType::kUint8;
    if (depth == "16") return PixelType::kUint16;
    if (depth == "half") return PixelType::kHalf;
    if (depth == "float") return PixelType::kFloat;
    if (!integer_format(ext)) return PixelType::kFloat;
    return integer_plane && ext == "png" ? PixelType::kUint16 : PixelType::kUint8;
}

bool is_float(PixelType t) {
    return t == PixelType::kHalf || t == PixelType::kFloat;
}

std::string folder_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The depths each writer takes.
bool depth_supported(const std::string &ext, PixelType t) {
    if (ext == "exr") return is_float(t);
    if (ext == "png") return t == PixelType::kUint8 || t == PixelType::kUint16;
    if (ext == "tif" || ext == "tiff") return true;
    if (integer_format(ext)) return t == PixelType::kUint8;
    return is_float(t);  // .hdr and other float formats
}

}  // namespace

std::string output_problem(const std::string &path, const OutputSetup &out, bool layered) {
    const std::string ext = file_extension(path);
    if (path.empty() || path.back() == '/') return path + ": an image file name is needed";
    bool keeps_alpha = true;
    std::string why;
    if (!image_writable(path, keeps_alpha, why))
        return path + ": cannot write images of this kind" +
               (ext.empty() ? std::string(" (no extension)") : " (." + ext + ")") +
               (why.empty() ? "; use .exr, .png, .tif or .jpg" : ": " + why);
    const std::string folder = folder_of(path);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return path + ": the folder " + folder + " does not exist";
    if (access(folder.c_str(), W_OK) != 0)
        return path + ": the folder " + folder + " is not writable";
    if (stat(path.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || access(path.c_str(), W_OK) != 0))
        return path + ": " + (S_ISDIR(st.st_mode) ? "is a folder" : "the file is not writable");
    if (!out.bit_depth.empty() && !depth_supported(ext, file_type(ext, out.bit_depth, false)))
        return path + ": ." + ext + " files cannot hold " +
               (is_float(file_type(ext, out.bit_depth, false)) ? out.bit_depth + " floats"
                                                               : out.bit_depth + "-bit values") +
               (ext == "exr"   ? " (use --bit-depth half or float)"
                : ext == "png" ? " (use --bit-depth 8 or 16)"
                               : "");
    if (layered && ext != "exr")
        return path + ": render elements go into layers of .exr files only, not ." + ext;
    return "";
}

bool write_planes(const std::string &path, const OutputSetup &setup, const Region &region,
                  const std::vector<Plane> &planes, std::string &error) {
    const std::string ext = file_extension(path);
    bool keeps_alpha = true;
    std::string why;
    if (!image_writable(path, keeps_alpha, why)) {
        error = "cannot write image " + path + ": " +
                (why.empty() ? "unknown image format (use .exr, .png or .tif)" : why);
        return false;
    }
    const bool layered = planes.size() > 1;
    const bool integer_plane = planes.size() == 1 && planes[0].kind == Plane::kInteger;
    const PixelType type = file_type(ext, setup.bit_depth, integer_plane);
    const bool encode = !is_float(type);
    // Formats without alpha (JPEG, HDR) get the colour over black.
    const bool no_alpha = !keeps_alpha;
    // Channel names: R G B A for the beauty image and colour layers
    // (layer.R ...), X Y Z for vectors, Z for depth, Y for other scalars.
    ImageLayout layout;
    std::vector<std::string> &names = layout.names;
    std::vector<int> plane_channels;
    for (const Plane &p : planes) {
        static const char *rgba[] = {"R", "G", "B", "A"}, *xyz[] = {"X", "Y", "Z"};
        int n = p.channels;
        if (no_alpha && n == 4) n = 3;
        plane_channels.push_back(n);
        for (int c = 0; c < n; ++c) {
            std::string channel = p.channels == 1 ? (p.name == "depth" || p.name == "z" ? "Z" : "Y")
                                  : p.channels == 3 && p.kind != Plane::kColour ? xyz[c]
                                                                                : rgba[c];
            if (p.kind == Plane::kInteger && p.channels == 1) channel = "id";
            if (!layered && p.channels == 1) channel = "Y";
            names.push_back(p.name.empty() || !layered ? channel : p.name + "." + channel);
        }
    }
    const int nch = static_cast<int>(names.size());
    layout.width = region.w;
    layout.height = region.h;
    layout.x = region.x;
    layout.y = region.y;
    layout.full_width = region.width;
    layout.full_height = region.height;
    layout.alpha_channel = plane_channels[0] == 4 ? 3 : -1;
    layout.bits = type == PixelType::kUint8 ? 8 : type == PixelType::kFloat ? 32 : 16;
    layout.half = type == PixelType::kHalf;
    layout.software = "korrender " KOR_VERSION;
    const Plane &first = planes[0];
    const bool colour = first.kind == Plane::kColour;
    if (colour) layout.colorspace = encode ? setup.colorspace : "linear";

    // Bands of rows on the render's threads.
    auto in_bands = [&](const auto &band) {
        run_row_bands(region.h, row_band_count(region.h, setup.threads),
                      [&](int, int begin, int end) { band(begin, end); });
    };
    // The source pixels of row y of the region (top row first).
    auto source_row = [&](const Plane &p, int y) {
        const int src_row = region.height - 1 - (region.y + y);
        return p.pixels + (static_cast<size_t>(src_row) * region.width + region.x) * p.channels;
    };
    const int encoded = nch == 2 ? 1 : std::min(nch, 3);
    float gamma = 1;
    const ColourCurve curve = colour_curve(setup.colorspace, gamma);

    // An 8-bit PNG of a colour image takes each value's code straight from
    // a table of the curve's steps (alpha linear), unpremultiplied as below.
    if (!layered && encode && colour && ext == "png" && type == PixelType::kUint8 &&
        (curve == ColourCurve::kSrgb || curve == ColourCurve::kRec709 ||
         curve == ColourCurve::kGamma)) {
        const ByteEncoder coder(curve, gamma);
        ImageVector<uint8_t> codes(static_cast<size_t>(region.w) * region.h * nch);
        in_bands([&](int begin, int end) {
            for (int y = begin; y < end; ++y) {
                const float *src = source_row(first, y);
                uint8_t *dst = &codes[static_cast<size_t>(y) * region.w * nch];
                for (int x = 0; x < region.w; ++x, src += first.channels, dst += nch) {
                    float v[4] = {src[0], nch > 1 ? src[1] : 0, nch > 2 ? src[2] : 0,
                                  nch > 3 ? src[3] : 0};
                    if (nch == 4 && v[3] > 0)
                        for (int c = 0; c < 3; ++c) v[c] /= v[3];
                    for (int c = 0; c < nch; ++c)
                        dst[c] = static_cast<uint8_t>(c < encoded ? coder.code(v[c])
                                                                  : quantise(v[c], 255.0f));
                }
            }
        });
        return write_png_bytes(path, layout, codes.data(), setup.threads, error);
    }

    // The region, top row first, all planes interleaved, colour encoded for
    // display (alpha stays linear); rows in parallel. Curves of our own
    // encode row by row; a colour-management space goes through the image
    // module once, after.
    ImageVector<float> rows(static_cast<size_t>(region.w) * region.h * nch);
    const bool by_rows = curve != ColourCurve::kOther;
    bool failed = false;  // under error_lock while bands run
    std::string encode_error;
    std::mutex error_lock;
    in_bands([&](int begin, int end) {
        int at = 0;
        for (size_t k = 0; k < planes.size(); ++k) {
            const Plane &p = planes[k];
            const int n = plane_channels[k];
            for (int y = begin; y < end; ++y) {
                const float *src = source_row(p, y);
                float *dst = &rows[static_cast<size_t>(y) * region.w * nch + at];
                for (int x = 0; x < region.w; ++x, src += p.channels, dst += nch) {
                    for (int c = 0; c < n; ++c) dst[c] = src[c];
                    // Integer buffers go to 16-bit files as their values.
                    if (p.kind == Plane::kInteger && type == PixelType::kUint16)
                        for (int c = 0; c < n; ++c) dst[c] /= 65535.0f;
                    // 8- and 16-bit files hold unpremultiplied colour; colour
                    // under zero alpha (an additive pass) stays as it is.
                    if (encode && p.kind == Plane::kColour && n == 4 && dst[3] > 0)
                        for (int c = 0; c < 3; ++c) dst[c] /= dst[3];
                }
            }
            at += n;
        }
        if (!encode || !colour || !by_rows || begin == end) return;
        std::string why;
        float *first_value = &rows[static_cast<size_t>(begin) * region.w * nch];
        const size_t count = static_cast<size_t>(end - begin) * region.w;
        if (!encode_colour(setup.colorspace, first_value, count, nch, encoded, why)) {
            std::lock_guard<std::mutex> hold(error_lock);
            if (!failed) encode_error = why;
            failed = true;
        }
    });
    if (!failed && encode && colour && !by_rows &&
        !encode_colour(setup.colorspace, rows.data(), static_cast<size_t>(region.w) * region.h, nch,
                       encoded, encode_error))
        failed = true;
    if (failed) {
        error = "cannot write image " + path + ": " + encode_error;
        return false;
    }
    return write_pixels(path, layout, rows.data(), error);
}

// Raw values, as given: textures and test images.
bool write_image(const std::string &path, int width, int height, int channels, const float *pixels,
                 bool integer, std::string &error) {
    OutputSetup setup;
    setup.colorspace = "linear";
    Region region{width, height, 0, 0, width, height};
    Plane plane;
    plane.channels = channels;
    plane.pixels = pixels;
    plane.kind = integer ? Plane::kInteger : Plane::kColour;
    return write_planes(path, setup, region, {plane}, error);
}

}  // namespace korhost
