// Reading textures and writing images and frame buffers, by file extension.
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstring>

#include "session.h"

namespace korhost {

namespace {

std::string extension(const std::string &path) {
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return "";
    std::string e = path.substr(dot + 1);
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return std::tolower(c); });
    return e;
}

}  // namespace

bool read_image(const std::string &path, ImageEntry &out, std::string &error) {
    auto in = OIIO::ImageInput::open(path);
    if (!in) {
        error = "cannot read image " + path + ": " + OIIO::geterror();
        if (error.back() == ' ') error += "no such file or unknown format";
        return false;
    }
    const OIIO::ImageSpec &spec = in->spec();
    const int w = spec.width, h = spec.height, ch = spec.nchannels;
    std::vector<float> raw(static_cast<size_t>(w) * h * ch);
    if (!in->read_image(0, 0, 0, ch, OIIO::TypeDesc::FLOAT, raw.data())) {
        error = "cannot read image " + path + ": " + in->geterror();
        return false;
    }
    in->close();
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

bool write_image(const std::string &path, int width, int height, int channels, const float *pixels,
                 bool integer, std::string &error) {
    const std::string ext = extension(path);
    auto out = OIIO::ImageOutput::create(path);
    if (!out) {
        error = "cannot write image " + path + ": unknown image format (use .png, .exr or .tif)";
        return false;
    }
    int file_channels = channels;
    if ((ext == "jpg" || ext == "jpeg") && channels == 4) file_channels = 3;
    OIIO::TypeDesc format = OIIO::TypeDesc::FLOAT;
    if (ext == "png" || ext == "jpg" || ext == "jpeg" || ext == "bmp" || ext == "ppm")
        format = integer ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
    OIIO::ImageSpec spec(width, height, file_channels, format);
    if (file_channels == 4) spec.alpha_channel = 3;
    std::vector<float> rows(static_cast<size_t>(width) * height * file_channels);
    for (int y = 0; y < height; ++y) {
        const float *src = pixels + static_cast<size_t>(height - 1 - y) * width * channels;
        float *dst = &rows[static_cast<size_t>(y) * width * file_channels];
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < file_channels; ++c) {
                float v = src[x * channels + c];
                // Integer buffers go to 16-bit files as their values.
                if (integer && format == OIIO::TypeDesc::UINT16) v /= 65535.0f;
                dst[x * file_channels + c] = v;
            }
    }
    if (!out->open(path, spec)) {
        error = "cannot write image " + path + ": " + out->geterror();
        return false;
    }
    if (!out->write_image(OIIO::TypeDesc::FLOAT, rows.data())) {
        error = "cannot write image " + path + ": " + out->geterror();
        out->close();
        return false;
    }
    if (!out->close()) {
        error = "cannot write image " + path + ": " + out->geterror();
        return false;
    }
    return true;
}

}  // namespace korhost
