// PNG files through libpng: 8- and 16-bit grey, grey and alpha, RGB and
// RGBA; palette and 1-, 2- and 4-bit files read expanded to 8 bits, a
// transparency chunk as alpha. The colour encoding is the file's sRGB or
// gamma chunk.
#include <png.h>
#include <strings.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image_buffer.h"
#include "image_file.h"
#include "scene_load.h"

namespace korhost {

namespace {

// libpng reports through these: the message kept, then back to the
// setjmp of the call under way.
struct PngErrors {
    char message[256] = "";
};

void on_error(png_structp png, png_const_charp text) {
    auto *errors = static_cast<PngErrors *>(png_get_error_ptr(png));
    if (errors) snprintf(errors->message, sizeof errors->message, "%s", text ? text : "?");
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void read_bytes(png_structp png, png_bytep data, size_t length) {
    auto *f = static_cast<FILE *>(png_get_io_ptr(png));
    if (fread(data, 1, length, f) != length)
        png_error(png, ferror(f) ? "read error" : "the file ends before the image does");
}

struct File {
    FILE *f = nullptr;
    explicit File(const std::string &path, const char *mode) : f(fopen(path.c_str(), mode)) {}
    ~File() {
        if (f) fclose(f);
    }
};

std::string gamma_name(float g) {
    if (g == 1.0f) return "linear";
    char name[32];
    snprintf(name, sizeof name, "Gamma%.2g", g);
    return name;
}

// Integer colour multiplied by alpha, as the database keeps it. With a
// gamma chunk the product is taken on the decoded values and encoded back.
template <typename T>
void associate(T *data, size_t pixels, int channels, float gamma) {
    const unsigned max = sizeof(T) == 1 ? 255u : 65535u;
    const int alpha = channels - 1;
    for (size_t p = 0; p < pixels; ++p, data += channels) {
        if (gamma == 1) {
            for (int c = 0; c < alpha; ++c)
                data[c] = static_cast<T>(static_cast<unsigned>(data[c]) * data[alpha] / max);
        } else {
            const float k = std::pow(data[alpha] / static_cast<float>(max), gamma);
            for (int c = 0; c < alpha; ++c) data[c] = static_cast<T>(data[c] * k);
        }
    }
}

// The reading itself: no C++ object with a destructor lives between the
// setjmp and a longjmp out of libpng.
bool read_into(FILE *f, png_structp png, png_infop info, ImagePixels &out, float &gamma,
               std::string &size_problem, std::vector<png_bytep> &rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, f, read_bytes);
    png_read_info(png, info);
    const png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    size_problem = image_size_problem(w, h, kMaxImageSide, kMaxImagePixels);
    if (!size_problem.empty()) return true;
    png_set_expand(png);
    if (png_get_bit_depth(png, info) == 16) png_set_swap(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    int srgb_intent;
    double file_gamma = 0;
    if (png_get_sRGB(png, info, &srgb_intent)) {
        out.colorspace = "sRGB";
    } else if (png_get_gAMA(png, info, &file_gamma) && file_gamma > 0) {
        // The chunk holds 1 / gamma; rounded to hundredths (2.2, not 2.19998).
        gamma = std::round(100.0f / static_cast<float>(file_gamma)) / 100.0f;
        out.colorspace = gamma_name(gamma);
    } else {
        out.colorspace = "sRGB";  // a file that says nothing is for display
    }
    // A colour space named in a text chunk (as written for Rec709) wins.
    png_textp texts = nullptr;
    const int count = png_get_text(png, info, &texts, nullptr);
    for (int k = 0; k < count; ++k)
        if (texts[k].key && texts[k].text && strcmp(texts[k].key, "oiio:ColorSpace") == 0)
            out.colorspace = texts[k].text;
    out.width = static_cast<int>(w);
    out.height = static_cast<int>(h);
    out.file_channels = png_get_channels(png, info);
    out.bits = png_get_bit_depth(png, info) == 16 ? 16 : 8;
    const size_t row = png_get_rowbytes(png, info);
    if (row != static_cast<size_t>(w) * out.file_channels * (out.bits / 8)) {
        snprintf(static_cast<PngErrors *>(png_get_error_ptr(png))->message, 256,
                 "unexpected row layout");
        return false;
    }
    out.bytes.resize(row * h);
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = out.bytes.data() + row * y;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    return true;
}

}  // namespace

bool read_png(const std::string &path, int max_channels, ImagePixels &out, std::string &error) {
    File file(path, "rb");
    if (!file.f) {
        error = "cannot read image " + path + ": " + strerror(errno);
        return false;
    }
    unsigned char signature[8] = {};
    if (fread(signature, 1, 8, file.f) != 8 || png_sig_cmp(signature, 0, 8) != 0) {
        error = "cannot read image " + path + ": not a PNG file";
        return false;
    }
    PngErrors errors;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &errors, on_error, on_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        error = "cannot read image " + path + ": out of memory";
        return false;
    }
    png_set_sig_bytes(png, 8);
    float gamma = 1;
    std::string size_problem;
    std::vector<png_bytep> rows;
    const bool ok = read_into(file.f, png, info, out, gamma, size_problem, rows);
    png_destroy_read_struct(&png, &info, nullptr);
    if (!ok || !size_problem.empty()) {
        error = "cannot read image " + path + ": " +
                (ok ? size_problem : "broken PNG file (" + std::string(errors.message) + ")");
        out = ImagePixels{};
        return false;
    }
    const int ch = out.file_channels;
    const size_t pixels = static_cast<size_t>(out.width) * out.height;
    if (ch == 2 || ch == 4) {
        if (out.bits == 16)
            associate(reinterpret_cast<uint16_t *>(out.bytes.data()), pixels, ch, gamma);
        else
            associate(out.bytes.data(), pixels, ch, gamma);
    }
    out.channels = std::min(ch, max_channels);
    if (out.channels < ch) {
        const size_t bytes = out.bits / 8;
        for (size_t p = 0; p < pixels; ++p)
            memmove(&out.bytes[p * out.channels * bytes], &out.bytes[p * ch * bytes],
                    out.channels * bytes);
        out.bytes.resize(pixels * out.channels * bytes);
    }
    return true;
}

namespace {

// The chunks before the image data: the header, the colour encoding, the
// offset and the text.
void write_head(FILE *f, png_structp png, png_infop info, const ImageLayout &layout, png_text *text,
                int texts) {
    png_init_io(png, f);
    static const int types[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                PNG_COLOR_TYPE_RGB_ALPHA};
    const int ch = static_cast<int>(layout.names.size());
    png_set_IHDR(png, info, layout.width, layout.height, layout.bits, types[ch - 1],
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Rendered images: the Sub filter alone, at zlib level 3, writes files
    // smaller than libpng's per-row choice among all five filters, and in
    // about half the time (no trial filtering of every row).
    png_set_compression_level(png, 3);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    float gamma = 1;
    switch (colour_curve(layout.colorspace, gamma)) {
        case ColourCurve::kLinear: png_set_gAMA(png, info, 1.0); break;
        case ColourCurve::kSrgb:
            png_set_sRGB_gAMA_and_cHRM(png, info, PNG_sRGB_INTENT_ABSOLUTE);
            break;
        case ColourCurve::kGamma: png_set_gAMA(png, info, 1.0 / gamma); break;
        default: break;  // raw, Rec709 and the rest are named in a text chunk
    }
    png_set_oFFs(png, info, layout.x, layout.y, PNG_OFFSET_PIXEL);
    if (texts) png_set_text(png, info, text, texts);
    png_write_info(png, info);
}

bool write_from(FILE *f, png_structp png, png_infop info, const ImageLayout &layout,
                std::vector<png_bytep> &rows, png_text *text, int texts) {
    if (setjmp(png_jmpbuf(png))) return false;
    write_head(f, png, info, layout, text, texts);
    if (layout.bits == 16) png_set_swap(png);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    return true;
}

// The image data already deflated (a whole zlib stream): the head, the
// stream in data chunks, the end chunk.
bool write_deflated(FILE *f, png_structp png, png_infop info, const ImageLayout &layout,
                    const std::vector<uint8_t> &stream, png_text *text, int texts) {
    if (setjmp(png_jmpbuf(png))) return false;
    write_head(f, png, info, layout, text, texts);
    static const png_byte idat[5] = "IDAT", iend[5] = "IEND";
    constexpr size_t kChunk = size_t(1) << 30;  // a chunk holds less than 2^31 bytes
    for (size_t at = 0; at < stream.size(); at += kChunk)
        png_write_chunk(png, idat, stream.data() + at, std::min(kChunk, stream.size() - at));
    png_write_chunk(png, iend, nullptr, 0);
    return true;
}

// A band of 8-bit rows, Sub-filtered and deflated on its own as raw
// deflate data that ends on a byte boundary (a sync flush), or with the
// final block for the image's last band. Such bands, made side by side,
// join into one zlib stream: each refers back only within itself.
struct DeflatedBand {
    std::vector<uint8_t> data;
    uLong adler = 0;    // of the band's filtered bytes
    size_t length = 0;  // filtered bytes
    bool ok = false;
};

void deflate_band(const uint8_t *rows, size_t row_bytes, int bpp, int count, bool last,
                  DeflatedBand &out) {
    z_stream z{};
    // libpng's settings for filtered rows at level 3.
    if (deflateInit2(&z, 3, Z_DEFLATED, -15, 8, Z_FILTERED) != Z_OK) return;
    std::vector<uint8_t> line(row_bytes + 1);
    line[0] = PNG_FILTER_VALUE_SUB;
    out.adler = adler32(0L, Z_NULL, 0);
    out.length = line.size() * count;
    out.data.resize(deflateBound(&z, out.length) + 64);
    z.next_out = out.data.data();
    z.avail_out = static_cast<uInt>(out.data.size());
    const size_t lead = std::min<size_t>(bpp, row_bytes);  // bytes with no left neighbour
    bool ok = true;
    for (int y = 0; y < count && ok; ++y) {
        const uint8_t *r = rows + row_bytes * y;
        memcpy(&line[1], r, lead);
        for (size_t i = lead; i < row_bytes; ++i)
            line[1 + i] = static_cast<uint8_t>(r[i] - r[i - bpp]);
        out.adler = adler32(out.adler, line.data(), static_cast<uInt>(line.size()));
        z.next_in = line.data();
        z.avail_in = static_cast<uInt>(line.size());
        const int flush = y + 1 < count ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
        for (;;) {
            if (z.avail_out == 0) {
                const size_t used = out.data.size();
                out.data.resize(2 * used);
                z.next_out = out.data.data() + used;
                z.avail_out = static_cast<uInt>(used);
            }
            const int status = deflate(&z, flush);
            if (status == Z_STREAM_END) break;
            if (status != Z_OK && status != Z_BUF_ERROR) {
                ok = false;
                break;
            }
            // Done with the row (and its flush) once output room is left.
            if (flush != Z_FINISH && z.avail_in == 0 && z.avail_out != 0) break;
            if (status == Z_BUF_ERROR && z.avail_out != 0) {
                ok = false;
                break;
            }
        }
    }
    out.data.resize(out.data.size() - z.avail_out);
    out.ok = ok;
    deflateEnd(&z);
}

bool png_layout_problem(const std::string &path, const ImageLayout &layout, std::string &error) {
    const int ch = static_cast<int>(layout.names.size());
    if (ch < 1 || ch > 4 || layout.width < 1 || layout.height < 1 || layout.half ||
        (layout.bits != 8 && layout.bits != 16)) {
        error = "cannot write image " + path + ": PNG files hold 1 to 4 channels of 8 or 16 bits";
        return true;
    }
    return false;
}

// Opens the file, sets libpng up with the text chunks and runs `body`
// (which writes every chunk); the error names the file.
template <typename Body>
bool write_png_file(const std::string &path, const ImageLayout &layout, std::string &error,
                    const Body &body) {
    File file(path, "wb");
    if (!file.f) {
        error = "cannot write image " + path + ": " + strerror(errno);
        return false;
    }
    PngErrors errors;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &errors, on_error, on_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        error = "cannot write image " + path + ": out of memory";
        return false;
    }
    // The software, and the colour encoding by name for formats and spaces
    // that have no chunk of their own (Rec709).
    png_text text[2] = {};
    std::string keys[2] = {"Software", "oiio:ColorSpace"};
    std::string texts_of[2] = {layout.software, layout.colorspace};
    int n = 0;
    for (int k = 0; k < 2; ++k) {
        if (texts_of[k].empty()) continue;
        text[n].compression = PNG_TEXT_COMPRESSION_NONE;
        text[n].key = keys[k].data();
        text[n].text = texts_of[k].data();
        ++n;
    }
    const bool ok = body(file.f, png, info, n ? text : nullptr, n);
    png_destroy_write_struct(&png, &info);
    const bool closed = fclose(file.f) == 0;
    file.f = nullptr;
    if (!ok || !closed) {
        error = "cannot write image " + path + ": " +
                (ok ? std::string(strerror(errno)) : std::string(errors.message));
        return false;
    }
    return true;
}

}  // namespace

bool write_png(const std::string &path, const ImageLayout &layout, const float *values,
               std::string &error) {
    if (png_layout_problem(path, layout, error)) return false;
    const int ch = static_cast<int>(layout.names.size());
    // Values clamped to [0, 1] and rounded to the nearest step.
    const size_t count = static_cast<size_t>(layout.width) * layout.height * ch;
    const float max = layout.bits == 16 ? 65535.0f : 255.0f;
    ImageVector<uint8_t> bytes(count * (layout.bits / 8));
    for (size_t i = 0; i < count; ++i) {
        const unsigned q = quantise(values[i], max);
        if (layout.bits == 16)
            reinterpret_cast<uint16_t *>(bytes.data())[i] = static_cast<uint16_t>(q);
        else
            bytes[i] = static_cast<uint8_t>(q);
    }
    const size_t row = static_cast<size_t>(layout.width) * ch * (layout.bits / 8);
    std::vector<png_bytep> rows(layout.height);
    for (int y = 0; y < layout.height; ++y) rows[y] = bytes.data() + row * y;
    return write_png_file(path, layout, error,
                          [&](FILE *f, png_structp png, png_infop info, png_text *text, int texts) {
                              return write_from(f, png, info, layout, rows, text, texts);
                          });
}

bool write_png_bytes(const std::string &path, const ImageLayout &layout, const uint8_t *bytes,
                     int threads, std::string &error) {
    if (png_layout_problem(path, layout, error)) return false;
    if (layout.bits != 8) {
        error = "cannot write image " + path + ": codes of 8 bits for a file of 16";
        return false;
    }
    // Bands of at least 64 rows, one per thread, deflated side by side.
    const int ch = static_cast<int>(layout.names.size());
    const size_t row = static_cast<size_t>(layout.width) * ch;
    const int bands = row_band_count(layout.height, threads);
    std::vector<DeflatedBand> band(bands);
    run_row_bands(layout.height, bands, [&](int b, int y0, int y1) {
        deflate_band(bytes + row * y0, row, ch, y1 - y0, b + 1 == bands, band[b]);
    });
    // One zlib stream: its header (deflate, 32 KB window, a fast level),
    // the bands, the Adler-32 of all filtered rows.
    size_t size = 6;
    for (const DeflatedBand &b : band) {
        if (!b.ok) {
            error = "cannot write image " + path + ": compression failed";
            return false;
        }
        size += b.data.size();
    }
    std::vector<uint8_t> stream = {0x78, 0x5e};
    stream.reserve(size);
    uLong adler = adler32(0L, Z_NULL, 0);
    for (const DeflatedBand &b : band) {
        stream.insert(stream.end(), b.data.begin(), b.data.end());
        adler = adler32_combine(adler, b.adler, static_cast<z_off_t>(b.length));
    }
    for (int k = 3; k >= 0; --k) stream.push_back(static_cast<uint8_t>(adler >> (8 * k)));
    return write_png_file(path, layout, error,
                          [&](FILE *f, png_structp png, png_infop info, png_text *text, int texts) {
                              return write_deflated(f, png, info, layout, stream, text, texts);
                          });
}

}  // namespace korhost
