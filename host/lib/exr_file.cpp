// EXR files through OpenEXR: half and float channels of any names (the
// beauty image's R G B A, render elements as layer.R ... of one file), the
// data window a crop's region of the display window; read as floats in the
// usual channel order (per layer R G B, then alpha, then the rest).
#include <ImathBox.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>
#include <ImfRgbaFile.h>
#include <ImfStandardAttributes.h>
#include <ImfStringAttribute.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "image_file.h"
#include "scene_load.h"

namespace korhost {

namespace {

// Where a channel comes in its layer: colour, then alpha, then depth, then
// every other name by name; in a layer of positions or normals (X with Y
// or Z) X Y Z come after the colour.
int channel_rank(const std::string &suffix, bool xyz) {
    static const char *order[] = {"R",    "Red",  "G",  "Green", "B",     "Blue", "Y",
                                  "real", "imag", "A",  "Alpha", "AR",    "RA",   "AG",
                                  "GA",   "AB",   "BA", "Z",     "Depth", "Zback"};
    static const char *order_xyz[] = {"R",  "Red", "G",    "Green", "B",  "Blue",  "X",
                                      "Y",  "Z",   "real", "imag",  "A",  "Alpha", "AR",
                                      "RA", "AG",  "GA",   "AB",    "BA", "Depth", "Zback"};
    const char *const *names = xyz ? order_xyz : order;
    const size_t n = xyz ? sizeof order_xyz / sizeof *order_xyz : sizeof order / sizeof *order;
    for (size_t k = 0; k < n; ++k)
        if (strcasecmp(suffix.c_str(), names[k]) == 0) return static_cast<int>(k);
    return 10000;
}

struct ChannelName {
    std::string full, layer, suffix;  // layer with its dot ("depth."), "" for none
    int rank = 0;
};

std::vector<std::string> ordered_channels(const Imf::ChannelList &list) {
    std::vector<ChannelName> names;
    for (auto it = list.begin(); it != list.end(); ++it) {
        ChannelName n;
        n.full = it.name();
        const size_t dot = n.full.rfind('.');
        n.layer = dot == std::string::npos ? "" : n.full.substr(0, dot + 1);
        n.suffix = dot == std::string::npos ? n.full : n.full.substr(dot + 1);
        names.push_back(n);
    }
    auto has = [&](const std::string &layer, const char *suffix) {
        for (const ChannelName &n : names)
            if (n.layer == layer && strcasecmp(n.suffix.c_str(), suffix) == 0) return true;
        return false;
    };
    for (ChannelName &n : names)
        n.rank =
            channel_rank(n.suffix, has(n.layer, "X") && (has(n.layer, "Y") || has(n.layer, "Z")));
    std::stable_sort(names.begin(), names.end(), [](const ChannelName &a, const ChannelName &b) {
        if (a.layer != b.layer) return a.layer < b.layer;
        if (a.rank != b.rank) return a.rank < b.rank;
        return a.suffix < b.suffix;
    });
    std::vector<std::string> out;
    for (const ChannelName &n : names) out.push_back(n.full);
    return out;
}

// Luminance and subsampled chroma (Y RY BY, and A) as RGB(A), converted
// by OpenEXR.
bool read_luminance_chroma(const std::string &path, const Imath::Box2i &dw, bool alpha,
                           int max_channels, ImagePixels &out) {
    Imf::RgbaInputFile file(path.c_str());
    const int w = dw.max.x - dw.min.x + 1, h = dw.max.y - dw.min.y + 1;
    std::vector<Imf::Rgba> pixels(static_cast<size_t>(w) * h);
    file.setFrameBuffer(pixels.data() - dw.min.x - static_cast<ptrdiff_t>(dw.min.y) * w, 1, w);
    file.readPixels(dw.min.y, dw.max.y);
    out.width = w;
    out.height = h;
    out.file_channels = alpha ? 4 : 3;
    out.channels = std::min(out.file_channels, max_channels);
    out.bits = 32;
    out.colorspace = "linear";
    out.bytes.resize(pixels.size() * out.channels * sizeof(float));
    float *dst = reinterpret_cast<float *>(out.bytes.data());
    for (const Imf::Rgba &p : pixels) {
        const float v[4] = {p.r, p.g, p.b, p.a};
        for (int c = 0; c < out.channels; ++c) *dst++ = v[c];
    }
    return true;
}

}  // namespace

bool read_exr(const std::string &path, int max_channels, ImagePixels &out, std::string &error) {
    try {
        Imf::InputFile file(path.c_str());
        const Imf::Header &header = file.header();
        const Imath::Box2i dw = header.dataWindow();
        const long long w = static_cast<long long>(dw.max.x) - dw.min.x + 1;
        const long long h = static_cast<long long>(dw.max.y) - dw.min.y + 1;
        if (w < 1 || h < 1) {
            error = "cannot read image " + path + ": the file holds no pixels";
            return false;
        }
        const std::string too_large = image_size_problem(w, h, kMaxImageSide, kMaxImagePixels);
        if (!too_large.empty()) {
            error = "cannot read image " + path + ": " + too_large;
            return false;
        }
        const std::vector<std::string> names = ordered_channels(header.channels());
        if (names.empty()) {
            error = "cannot read image " + path + ": the file holds no channels";
            return false;
        }
        const Imf::ChannelList &list = header.channels();
        if (list.findChannel("Y") && list.findChannel("RY") && list.findChannel("BY") &&
            (names.size() == 3 || (names.size() == 4 && list.findChannel("A"))))
            return read_luminance_chroma(path, dw, names.size() == 4, max_channels, out);
        for (const std::string &name : names) {
            const Imf::Channel &c = header.channels()[name];
            if (c.xSampling != 1 || c.ySampling != 1) {
                error = "cannot read image " + path + ": channel " + name +
                        " is subsampled, which is not supported";
                return false;
            }
        }
        const int ch = static_cast<int>(std::min<size_t>(names.size(), max_channels));
        out.width = static_cast<int>(w);
        out.height = static_cast<int>(h);
        out.file_channels = static_cast<int>(names.size());
        out.channels = ch;
        out.bits = 32;
        out.colorspace = "linear";
        out.bytes.assign(static_cast<size_t>(w) * h * ch * sizeof(float), 0);
        Imf::FrameBuffer fb;
        const size_t xstride = ch * sizeof(float);
        for (int c = 0; c < ch; ++c)
            fb.insert(names[c], Imf::Slice::Make(Imf::FLOAT, out.bytes.data() + c * sizeof(float),
                                                 dw, xstride, xstride * w));
        file.setFrameBuffer(fb);
        file.readPixels(dw.min.y, dw.max.y);
        return true;
    } catch (const std::exception &e) {
        error = "cannot read image " + path + ": " + e.what();
    } catch (...) {
        error = "cannot read image " + path + ": broken EXR file";
    }
    out = ImagePixels{};
    return false;
}

bool write_exr(const std::string &path, const ImageLayout &layout, const float *values,
               std::string &error) {
    const int ch = static_cast<int>(layout.names.size());
    if (ch < 1 || layout.width < 1 || layout.height < 1 || (layout.bits != 32 && !layout.half)) {
        error = "cannot write image " + path + ": EXR files hold half or float channels";
        return false;
    }
    try {
        const Imath::Box2i display(Imath::V2i(0, 0),
                                   Imath::V2i(layout.full_width - 1, layout.full_height - 1));
        const Imath::Box2i data(
            Imath::V2i(layout.x, layout.y),
            Imath::V2i(layout.x + layout.width - 1, layout.y + layout.height - 1));
        Imf::Header header(display, data, 1, Imath::V2f(0, 0), 1, Imf::INCREASING_Y,
                           Imf::ZIP_COMPRESSION);
        if (!layout.software.empty())
            header.insert("Software", Imf::StringAttribute(layout.software));
        // The time of writing, as "YYYY:MM:DD HH:MM:SS".
        const time_t now = time(nullptr);
        struct tm local;
        char date[32];
        if (localtime_r(&now, &local) && strftime(date, sizeof date, "%Y:%m:%d %H:%M:%S", &local))
            Imf::addCapDate(header, date);
        const Imf::PixelType type = layout.half ? Imf::HALF : Imf::FLOAT;
        for (const std::string &name : layout.names)
            header.channels().insert(name, Imf::Channel(type));
        // Halves converted here, floats read where they are.
        const size_t count = static_cast<size_t>(layout.width) * layout.height * ch;
        std::vector<Imath::half> halves(layout.half ? count : 0);
        for (size_t i = 0; i < halves.size(); ++i) halves[i] = Imath::half(values[i]);
        const char *base = layout.half ? reinterpret_cast<const char *>(halves.data())
                                       : reinterpret_cast<const char *>(values);
        const size_t size = layout.half ? sizeof(Imath::half) : sizeof(float);
        Imf::FrameBuffer fb;
        for (int c = 0; c < ch; ++c)
            fb.insert(layout.names[c],
                      Imf::Slice::Make(type, base + c * size, data, ch * size,
                                       ch * size * static_cast<size_t>(layout.width)));
        Imf::OutputFile file(path.c_str(), header);
        file.setFrameBuffer(fb);
        file.writePixels(layout.height);
        return true;
    } catch (const std::exception &e) {
        error = "cannot write image " + path + ": " + e.what();
    }
    return false;
}

}  // namespace korhost
