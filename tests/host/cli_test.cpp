// korrender as a command for production work: how 8-, 16-bit and float
// files are encoded, regions that paste into the whole image, render
// elements as EXR layers, frames, interrupts, and output problems found
// before anything is loaded.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "quadscene.h"
#include "session.h"

using korhost::json;

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A scratch folder, removed with its files.
struct Scratch {
    std::string dir;
    Scratch() {
        char tmpl[] = "/tmp/korcli_XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    std::string operator/(const std::string &name) const { return dir + "/" + name; }

    // korrender on a scene file (or `scene` written out); stderr in `err`.
    int run(const std::string &scene, const std::string &args) {
        const std::string command = std::string(KORRENDER) + " " + scene +
                                    " --threads 2 --no-progress " + args + " 2>" + dir + "/err";
        const int raw = std::system(command.c_str());
        err = slurp(dir + "/err");
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    int run(const json &scene, const std::string &args) {
        std::ofstream(dir + "/scene.json") << scene.dump();
        return run(dir + "/scene.json", args);
    }
    std::string err;
};

// A file's pixels as floats (integer files: value / maximum; colour as
// stored, not multiplied by alpha) and its spec.
struct Image {
    OIIO::ImageSpec spec;
    std::vector<float> px;
    bool ok = false;
    explicit Image(const std::string &path) {
        OIIO::ImageSpec config;
        config.attribute("oiio:UnassociatedAlpha", 1);
        auto in = OIIO::ImageInput::open(path, &config);
        if (!in) return;
        spec = in->spec();
        px.resize(spec.image_pixels() * spec.nchannels);
        ok = in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, px.data());
    }
};

double srgb(double v) {
    return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}

}  // namespace

// Linear 0.2 as stored by each kind of file: 8- and 16-bit files encoded
// (sRGB by default, the scene's gamma, or linear on request), floats as
// they are; colour under zero alpha is kept.
TEST(CommandLine, OutputEncodingOfALinearValue) {
    struct Row {
        const char *file, *args;
        float alpha;
        double scale, stored;
        const char *space;
    } rows[] = {
        {"a.png", "", 1, 255, std::round(255 * srgb(0.2)), "sRGB"},
        {"b.png", "", 0, 255, std::round(255 * srgb(0.2)), "sRGB"},
        {"c.png", "--bit-depth 16", 1, 65535, std::round(65535 * srgb(0.2)), "sRGB"},
        {"d.tif", "--bit-depth 16", 1, 65535, std::round(65535 * srgb(0.2)), "sRGB"},
        {"e.png", R"(--set '/options={"gamma": 2.2}')", 1, 255,
         std::round(255 * std::pow(0.2, 1 / 2.2)), "Gamma2.2"},
        {"f.png", "--colorspace linear", 1, 255, 51, "linear"},
        {"g.exr", "--bit-depth half", 1, 1, 0.199951171875, "Linear"},  // 0x3266
        {"h.exr", "", 1, 1, 0.2f, "Linear"},
    };
    Scratch tmp;
    for (const Row &row : rows) {
        json scene = quad_scene(
            {{"s", {{"shader", "kor_color"}, {"params", {{"color", {0.2, 0.2, 0.2, row.alpha}}}}}}},
            "s");
        ASSERT_EQ(tmp.run(scene, "-o " + (tmp / row.file) + " " + row.args), 0) << tmp.err;
        Image img(tmp / row.file);
        ASSERT_TRUE(img.ok) << row.file;
        EXPECT_EQ(row.scale == 1 ? img.px[0] : std::round(img.px[0] * row.scale), row.stored)
            << row.file;
        if (img.spec.nchannels == 4) {
            EXPECT_EQ(img.px[3], row.alpha) << row.file;
        }
        EXPECT_EQ(img.spec.get_string_attribute("oiio:ColorSpace"), row.space) << row.file;
    }
}

// A tall 8-bit PNG is compressed in bands of rows, one per thread: on three
// threads it decodes to the pixels it has on one, and those are the float
// render's values through the sRGB curve (alpha linear, colour over alpha).
TEST(CommandLine, PngBandsDecodeToTheEncodedRender) {
    Scratch tmp;
    const std::string scene = std::string(KOR_SCENES) + "/bump.json",
                      common = " --resolution 24x200 -o ";
    ASSERT_EQ(tmp.run(scene, common + (tmp / "f.exr")), 0) << tmp.err;
    ASSERT_EQ(tmp.run(scene, common + (tmp / "one.png") + " --threads 1"), 0) << tmp.err;
    ASSERT_EQ(tmp.run(scene, common + (tmp / "three.png") + " --threads 3"), 0) << tmp.err;
    Image f(tmp / "f.exr"), one(tmp / "one.png"), three(tmp / "three.png");
    ASSERT_TRUE(f.ok && one.ok && three.ok);
    ASSERT_EQ(one.px.size(), f.px.size());
    EXPECT_EQ(one.px, three.px);
    for (size_t i = 0; i < f.px.size(); i += 4) {
        const double a = f.px[i + 3];
        EXPECT_EQ(std::round(one.px[i + 3] * 255), std::round(std::clamp(a, 0.0, 1.0) * 255));
        for (int c = 0; c < 3; ++c) {
            const double v = std::clamp(a > 0 ? f.px[i + c] / a : f.px[i + c], 0.0, 1.0);
            ASSERT_NEAR(one.px[i + c] * 255, std::round(255 * srgb(v)), 1.01) << i;
        }
    }
}

// Regions rendered on their own and pasted together give the whole
// render bit for bit; an EXR region keeps the whole image as its display
// window and the region as its data window.
TEST(CommandLine, CropsPasteIntoTheFullRender) {
    Scratch tmp;
    const std::string scene = std::string(KOR_SCENES) + "/bump.json",
                      common = " --resolution 24x16 --samples 4 -o ";
    ASSERT_EQ(tmp.run(scene, common + (tmp / "full.exr")), 0) << tmp.err;
    Image full(tmp / "full.exr");
    std::vector<float> pasted(full.px.size(), -1.0f);
    for (const char *crop : {"10x16+0+0", "14x7+10+0", "14x9+10+7"}) {
        ASSERT_EQ(tmp.run(scene, common + (tmp / "part.exr") + " --crop " + crop), 0) << tmp.err;
        Image part(tmp / "part.exr");
        int w, h, x, y;
        sscanf(crop, "%dx%d+%d+%d", &w, &h, &x, &y);
        EXPECT_EQ(std::vector<int>({part.spec.x, part.spec.y, part.spec.width, part.spec.height,
                                    part.spec.full_width, part.spec.full_height}),
                  std::vector<int>({x, y, w, h, 24, 16}));
        for (int row = 0; row < h; ++row)
            memcpy(&pasted[((y + row) * 24 + x) * 4], &part.px[row * w * 4], w * 4 * sizeof(float));
    }
    EXPECT_EQ(memcmp(pasted.data(), full.px.data(), full.px.size() * sizeof(float)), 0);
}

// The render elements as layers of the output EXR, named after the
// elements, hold what the separate files hold.
TEST(CommandLine, ElementsAsLayersOfOneExr) {
    Scratch tmp;
    const std::string scene = std::string(KOR_SCENES) + "/elements.json";
    std::string args = " --resolution 24x16 --samples 1 ";
    const char *elements[] = {"diffuse", "specular", "shadow", "depth", "alpha"};
    for (int i = 0; i < 5; ++i)
        args += std::string("--set '/framebuffers/") + std::to_string(i) + "/file=\"elements_" +
                elements[i] + ".exr\"' ";
    ASSERT_EQ(tmp.run(scene, args + "-o " + (tmp / "beauty.exr")), 0) << tmp.err;
    ASSERT_EQ(tmp.run(scene, args + "-o " + (tmp / "layers.exr") + " --elements-into-exr"), 0)
        << tmp.err;
    const int status =
        std::system(("oiiotool --info -v " + (tmp / "layers.exr") + " >" + (tmp / "info")).c_str());
    ASSERT_EQ(status, 0);
    EXPECT_NE(slurp(tmp / "info")
                  .find("channel list: R, G, B, A, alpha.R, alpha.G, alpha.B, alpha.A, depth.R, "
                        "depth.G, depth.B, depth.A, diffuse.R, diffuse.G, diffuse.B, diffuse.A, "
                        "shadow.R, shadow.G, shadow.B, shadow.A, specular.R, specular.G, "
                        "specular.B, specular.A\n"),
              std::string::npos)
        << slurp(tmp / "info");
    Image layers(tmp / "layers.exr");
    const auto &names = layers.spec.channelnames;
    ASSERT_EQ(names.size(), 24u);
    for (int part = 0; part < 6; ++part) {
        const std::string layer = part ? std::string(elements[part - 1]) + "." : "";
        Image single(part ? tmp / ("elements_" + std::string(elements[part - 1]) + ".exr")
                          : tmp / "beauty.exr");
        ASSERT_TRUE(single.ok) << layer;
        for (int c = 0; c < 4; ++c) {
            const int at = std::find(names.begin(), names.end(), layer + "RGBA"[c]) - names.begin();
            ASSERT_LT(at, 24) << layer << "RGBA"[c];
            for (size_t p = 0; p < single.px.size() / 4; ++p)
                ASSERT_EQ(layers.px[p * 24 + at], single.px[p * 4 + c]) << layer << "RGBA"[c];
        }
    }
}

// --frame reaches the shaders; --frames renders each frame into the file
// its number names.
TEST(CommandLine, FramesReachTheShaders) {
    Scratch tmp;
    const json scene = quad_scene({{"s", {{"shader", "test_frame"}}}}, "s");
    ASSERT_EQ(tmp.run(scene, "--frame 7 -o " + (tmp / "one.exr")), 0) << tmp.err;
    EXPECT_EQ(Image(tmp / "one.exr").px[0], 7);
    ASSERT_EQ(tmp.run(scene, "--frames 2-3 -o " + (tmp / "seq.##.exr")), 0) << tmp.err;
    EXPECT_EQ(Image(tmp / "seq.02.exr").px[0], 2);
    EXPECT_EQ(Image(tmp / "seq.03.exr").px[0], 3);
}

// Every output problem is reported before the textures are read (the
// scene's texture is missing too) and nothing is rendered.
TEST(CommandLine, OutputProblemsComeBeforeLoading) {
    Scratch tmp;
    const std::string d = tmp.dir;
    const std::string scene =
        std::string(KOR_SCENES) + "/bump.json --set " + "'/textures/cobbles/file=\"missing.png\"' ";
    const std::pair<std::string, std::string> rows[] = {
        {"-o " + d + "/none/a.png", d + "/none/a.png: the folder " + d + "/none does not exist"},
        {"-o " + d + "/a.xyz", "cannot write images of this kind (.xyz)"},
        {"-o " + d + "/a.exr --bit-depth 8", ".exr files cannot hold 8-bit values"},
        {"-o " + d + "/a.png --bit-depth half", ".png files cannot hold half floats"},
        {"-o " + d + "/a.png --elements-into-exr", "layers of .exr files only, not .png"},
        {"-o " + d + "/a.png --colorspace nosuch", "colour space \"nosuch\" is unknown"},
        {"-o " + d + "/a.exr --frames 1-2", "--frames needs a # in the output name"},
        {"-o " + d +
             "/a.exr --set '/framebuffers=[{\"index\": 1, \"type\": \"color\", "
             "\"file\": \"no/d.png\"}]'",
         "frame buffer: " + d + "/no/d.png: the folder " + d + "/no does not exist"},
    };
    for (const auto &[args, message] : rows) {
        EXPECT_EQ(tmp.run(scene, args), 1) << args;
        EXPECT_NE(tmp.err.find(message), std::string::npos) << tmp.err;
        EXPECT_EQ(tmp.err.find("missing.png"), std::string::npos) << tmp.err;
    }
    EXPECT_EQ(std::filesystem::directory_iterator(d)->path().filename(), "err");
}

// Without the image module ($KORHOST_IMAGE_MODULE points nowhere) PNG and
// EXR are read and written all the same; other formats and OpenColorIO
// names say why they cannot be. Without the import module
// ($KORHOST_IMPORT_MODULE) scenes without models render, and a model is
// refused with the reason.
TEST(CommandLine, MissingModulesAreNamed) {
    Scratch tmp;
    const std::string scene = std::string(KOR_SCENES) + "/bump.json --resolution 8x6 ";
    const std::string checks = std::string(KOR_SCENES) + "/../tests/render/scenes/";
    const std::string tif = checks + "images_rgb.tif";
    const std::string why =
        "the image module libkorhost_oiio.so could not be loaded: " + (tmp / "none.so") +
        ": cannot open shared object file";
    const std::pair<std::string, std::string> rows[] = {
        {scene + "-o " + (tmp / "a.png"), ""},
        {scene + "-o " + (tmp / "a.exr"), ""},
        {scene + "-o " + (tmp / "a.tif"),
         (tmp / "a.tif") + ": cannot write images of this kind (.tif): " + why},
        {scene + "-o " + (tmp / "b.exr") + " --set '/textures/cobbles/file=\"" + tif + "\"'",
         "cannot read image " + tif + ": " + why},
        {scene + "-o " + (tmp / "b.png") + " --colorspace ACEScg",
         "colour space \"ACEScg\" is not one of linear, sRGB, Rec709, GammaN (Gamma2.2), and " +
             why},
        {checks + "import_tiles.json --resolution 8x6 -o " + (tmp / "c.png"),
         "object 'leaves': import_tiles.obj: cannot import the model: the import module "
         "libkorhost_import.so could not be loaded: " +
             (tmp / "none.so") + ": cannot open shared object file"},
    };
    setenv("KORHOST_IMAGE_MODULE", (tmp / "none.so").c_str(), 1);
    setenv("KORHOST_IMPORT_MODULE", (tmp / "none.so").c_str(), 1);
    for (const auto &[args, message] : rows) {
        EXPECT_EQ(tmp.run(args, ""), message.empty() ? 0 : 1) << args << tmp.err;
        EXPECT_NE(tmp.err.find(message), std::string::npos) << tmp.err;
    }
    unsetenv("KORHOST_IMAGE_MODULE");
    unsetenv("KORHOST_IMPORT_MODULE");
}

// Ctrl-C: the render stops, the image holds what was rendered (the rest
// transparent) and the exit status tells; a second Ctrl-C quits at once
// without writing.
TEST(CommandLine, InterruptWritesWhatIsRendered) {
    for (int signals : {1, 2}) {
        Scratch tmp;
        const std::string image = tmp / "part.exr", log = tmp / "err";
        const pid_t pid = fork();
        if (pid == 0) {
            freopen(log.c_str(), "w", stderr);
            execl(KORRENDER, KORRENDER, (std::string(KOR_SCENES) + "/atmosphere.json").c_str(),
                  "-o", image.c_str(), "--threads", "1", "--resolution", "320x240", "--samples",
                  "16", nullptr);
            _exit(127);
        }
        // Waits for the first progress line (at most a minute).
        for (int i = 0; i < 600 && slurp(log).find("rendering 10%") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(pid, SIGINT);
        // Signals of one kind do not queue: the second waits for the first.
        for (int i = 0;
             signals == 2 && i < 600 && slurp(log).find("interrupted:") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (signals == 2) kill(pid, SIGINT);
        int raw = 0;
        waitpid(pid, &raw, 0);
        EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 128 + SIGINT);
        const std::string err = slurp(log);
        if (signals == 2) {
            EXPECT_NE(err.find("quitting without writing"), std::string::npos) << err;
            continue;
        }
        EXPECT_NE(err.find("the render was stopped after"), std::string::npos) << err;
        Image img(image);
        ASSERT_TRUE(img.ok);
        int blank = 0, shaded = 0;
        for (size_t p = 0; p < img.px.size(); p += 4)
            (img.px[p] == 0 && img.px[p + 1] == 0 && img.px[p + 2] == 0 && img.px[p + 3] == 0
                 ? blank
                 : shaded)++;
        EXPECT_GT(blank, 320 * 240 / 20);
        EXPECT_GT(shaded, 320 * 240 / 20);
    }
}
