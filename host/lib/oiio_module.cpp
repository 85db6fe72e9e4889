// The image module (libkorhost_oiio.so): every image format other than PNG
// and EXR (TIFF, JPEG, TGA, HDR, PFM ...) and the colour spaces of an
// OpenColorIO configuration, through OpenImageIO. libkorhost loads it on
// first need only, so that renders that do not need it never load the
// many libraries it brings.
#include <OpenImageIO/color.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <OpenImageIO/strutil.h>

#include <mutex>

#include "image_file.h"

namespace korhost {

namespace {

// The configuration of $OCIO (or OpenImageIO's own), asked one at a time.
std::mutex config_mutex;
OIIO::ColorConfig &colour_config() {
    static OIIO::ColorConfig config;
    return config;
}

bool read(const std::string &path, int max_channels, int max_side, long long max_pixels,
          ImagePixels &out, std::string &error) {
    out = ImagePixels{};
    auto in = OIIO::ImageInput::open(path);
    if (!in) {
        error = "cannot read image " + path + ": " + OIIO::geterror();
        if (error.back() == ' ') error += "no such file or unknown format";
        return false;
    }
    const OIIO::ImageSpec &spec = in->spec();
    const int w = spec.width, h = spec.height, ch = spec.nchannels;
    if (w < 1 || h < 1 || ch < 1) {
        error = "cannot read image " + path + ": the file holds no pixels";
        return false;
    }
    const std::string too_large = image_size_problem(w, h, max_side, max_pixels);
    if (!too_large.empty()) {
        error = "cannot read image " + path + ": " + too_large;
        return false;
    }
    const int comp = std::min(ch, max_channels);
    OIIO::TypeDesc type = OIIO::TypeDesc::FLOAT;
    out.bits = 32;
    if (spec.format == OIIO::TypeDesc::UINT8) {
        out.bits = 8;
        type = OIIO::TypeDesc::UINT8;
    } else if (spec.format == OIIO::TypeDesc::UINT16) {
        out.bits = 16;
        type = OIIO::TypeDesc::UINT16;
    }
    out.bytes.resize(static_cast<size_t>(w) * h * comp * (out.bits / 8));
    if (!in->read_image(0, 0, 0, comp, type, out.bytes.data())) {
        error = "cannot read image " + path + ": " + in->geterror();
        out = ImagePixels{};
        return false;
    }
    in->close();
    out.width = w;
    out.height = h;
    out.channels = comp;
    out.file_channels = ch;
    out.colorspace = spec.get_string_attribute("oiio:ColorSpace");
    return true;
}

bool write(const std::string &path, const ImageLayout &layout, const float *values,
           std::string &error) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) {
        error = "cannot write image " + path + ": unknown image format (use .exr, .png or .tif)";
        return false;
    }
    const OIIO::TypeDesc type = layout.half         ? OIIO::TypeDesc::HALF
                                : layout.bits == 8  ? OIIO::TypeDesc::UINT8
                                : layout.bits == 16 ? OIIO::TypeDesc::UINT16
                                                    : OIIO::TypeDesc::FLOAT;
    const int nch = static_cast<int>(layout.names.size());
    OIIO::ImageSpec spec(layout.width, layout.height, nch, type);
    spec.x = layout.x;
    spec.y = layout.y;
    spec.full_x = spec.full_y = 0;
    spec.full_width = layout.full_width;
    spec.full_height = layout.full_height;
    spec.channelnames = layout.names;
    spec.alpha_channel = layout.alpha_channel;
    if (!layout.software.empty()) spec.attribute("Software", layout.software);
    if (!layout.colorspace.empty()) {
        spec.attribute("oiio:ColorSpace", layout.colorspace);
        // Integer files hold colour unpremultiplied.
        if (layout.bits < 32 && !layout.half && layout.alpha_channel >= 0)
            spec.attribute("oiio:UnassociatedAlpha", 1);
    }
    if (!out->open(path, spec)) {
        error = "cannot write image " + path + ": " + out->geterror();
        return false;
    }
    if (!out->write_image(OIIO::TypeDesc::FLOAT, values)) {
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

bool writable(const std::string &path, bool &keeps_alpha) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) return false;
    keeps_alpha = out->supports("alpha");
    return true;
}

bool convert(const std::string &from, const std::string &to, float *values, size_t count,
             int stride, int channels, std::string &error) {
    if (count == 0) return true;
    OIIO::ImageBuf buf(OIIO::ImageSpec(static_cast<int>(count), 1, stride, OIIO::TypeDesc::FLOAT),
                       values);
    OIIO::ROI roi = OIIO::get_roi(buf.spec());
    roi.chend = std::min(stride, channels);
    if (!OIIO::ImageBufAlgo::colorconvert(buf, buf, from, to, false, "", "", nullptr, roi)) {
        error = buf.geterror();
        if (error.empty()) error = "cannot convert from " + from + " to " + to;
        return false;
    }
    return true;
}

bool known_space(const std::string &space) {
    std::lock_guard<std::mutex> lock(config_mutex);
    return colour_config().createColorProcessor("linear", space) != nullptr;
}

std::string space_names() {
    std::lock_guard<std::mutex> lock(config_mutex);
    return OIIO::Strutil::join(colour_config().getColorSpaceNames(), ", ");
}

std::string versions() {
    const int v = OIIO::openimageio_version();  // 20407 -> 2.4.7
    std::string text = "OpenImageIO " + std::to_string(v / 10000) + "." +
                       std::to_string(v / 100 % 100) + "." + std::to_string(v % 100);
    const int ocio = OIIO::ColorConfig::OpenColorIO_version_hex();
    if (ocio)
        text += ", OpenColorIO " + std::to_string(ocio >> 24) + "." +
                std::to_string((ocio >> 16) & 0xff) + "." + std::to_string((ocio >> 8) & 0xff);
    return text;
}

const ImageModule kModule = {kImageModuleAbi, read,        write,       writable,
                             convert,         known_space, space_names, versions};

}  // namespace

}  // namespace korhost

extern "C" __attribute__((visibility("default"))) const korhost::ImageModule *
korhost_image_module() {
    return &korhost::kModule;
}
