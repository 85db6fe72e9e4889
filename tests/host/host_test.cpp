// The reference host renderer: record layout of declarations, and korrender
// runs on small scenes checked on pixel values, messages and exit status.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "decl.h"
#include "image_file.h"
#include "quadscene.h"
#include "session.h"
#include "tempdir.h"
#include "testshaders.h"

using korhost::json;

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string temp_dir() {
    return kortest::temp_dir("korhost_test_");
}

// A scene file and its run through korrender.
struct Rendered {
    int status = -1;
    std::string out, err;
    korhost::ImageEntry image;
    bool has_image = false;

    Color pixel(int x, int y) const {  // raster position: y = 0 is the bottom row
        const float *p = &image.pixels[(static_cast<size_t>(y) * image.image.width + x) * 4];
        return Color{p[0], p[1], p[2], p[3]};
    }
    Color centre() const { return pixel(image.image.width / 2, image.image.height / 2); }
};

std::string test_name() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "_" + info->name();
}

Rendered korrender(const std::string &scene_text, const std::string &args = "",
                   const std::string &ext = "exr") {
    const std::string base = temp_dir() + "/" + test_name();
    const std::string scene = base + ".json", image = base + "." + ext;
    {
        std::ofstream out(scene);
        out << scene_text;
    }
    unlink(image.c_str());
    std::string command = std::string(KORRENDER) + " " + scene + " -o " + image +
                          " --threads 2 --no-progress " + args + " >" + base + ".out 2>" + base +
                          ".err";
    Rendered r;
    int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    r.out = read_file(base + ".out");
    r.err = read_file(base + ".err");
    std::string error;
    r.has_image = access(image.c_str(), R_OK) == 0 && korhost::read_image(image, r.image, error);
    return r;
}

Rendered korrender(const json &scene, const std::string &args = "",
                   const std::string &ext = "exr") {
    return korrender(scene.dump(2), args, ext);
}

json color_shader(float r, float g, float b) {
    return json{{"shader", "kor_color"}, {"params", {{"color", {r, g, b}}}}};
}

void expect_everywhere(const Rendered &r, Color c, float tolerance = 0) {
    ASSERT_TRUE(r.has_image) << r.err;
    for (int y = 0; y < r.image.image.height; ++y)
        for (int x = 0; x < r.image.image.width; ++x) {
            Color p = r.pixel(x, y);
            ASSERT_NEAR(p.r, c.r, tolerance) << x << "," << y;
            ASSERT_NEAR(p.g, c.g, tolerance) << x << "," << y;
            ASSERT_NEAR(p.b, c.b, tolerance) << x << "," << y;
            ASSERT_NEAR(p.a, c.a, tolerance) << x << "," << y;
        }
}

int count_of(const std::string &text, const std::string &part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

// ---------------------------------------------------------------------------
// Declarations and record layout.

TEST(DeclarationLayout, FollowsCAlignment) {
    korhost::Declarations d;
    d.load_file(std::string(KOR_TEST_DECLARATIONS) + "/test.json");
    const korhost::Declaration *decl = d.find("test_layout");
    ASSERT_NE(decl, nullptr);
    const korhost::Type &t = *decl->params;
    // Worked out by hand: int, float, 3 floats, 4 floats, then a struct of
    // an int and a pointer (8-aligned, 16 bytes), an array (start, count,
    // one float slot) and a tag; the record is 8-aligned.
    EXPECT_EQ(t.field("flag")->offset, 0u);
    EXPECT_EQ(t.field("scale")->offset, 4u);
    EXPECT_EQ(t.field("v")->offset, 8u);
    EXPECT_EQ(t.field("c")->offset, 20u);
    EXPECT_EQ(t.field("inner")->offset, 40u);
    EXPECT_EQ(t.field("inner")->type->size, 16u);
    EXPECT_EQ(t.field("values")->offset, 56u);
    EXPECT_EQ(t.field("values")->type->slot_offset, 8u);
    EXPECT_EQ(t.field("shader")->offset, 68u);
    EXPECT_EQ(t.size, 72u);
    EXPECT_EQ(t.align, 8u);
    // The same as the compiler's layout of the shader's own record.
    EXPECT_EQ(t.field("inner")->offset, offsetof(LayoutParams, inner));
    EXPECT_EQ(t.field("values")->offset, offsetof(LayoutParams, values));
    EXPECT_EQ(t.field("shader")->offset, offsetof(LayoutParams, shader));
    EXPECT_EQ(t.size, sizeof(LayoutParams));
}

TEST(DeclarationLayout, BadDeclarationsNameFileAndDeclaration) {
    auto problem = [](const json &doc) -> std::string {
        korhost::Declarations d;
        try {
            d.load_json(doc, "decls.json");
        } catch (const korhost::DeclarationError &e) {
            return e.what();
        }
        return "";
    };
    auto shader = [](const json &params) {
        return json{{"shaders", {{{"name", "s"}, {"parameters", params}}}}};
    };
    std::string e = problem(shader({{{"name", "x"}, {"type", "colour"}}}));
    EXPECT_NE(e.find("decls.json: shader 's', field 'x': unknown type 'colour'"), std::string::npos)
        << e;
    e = problem(shader({{{"name", "x"},
                         {"type", "array"},
                         {"element", {{"type", "array"}, {"element", "integer"}}}}}));
    EXPECT_NE(e.find("arrays of arrays"), std::string::npos) << e;
    e = problem(shader(
        {{{"name", "a"}, {"type", "color"}}, {{"name", "b"}, {"type", "integer"}, {"offset", 8}}}));
    EXPECT_NE(e.find("field 'b': offset 8 overlaps"), std::string::npos) << e;
    e = problem(json{{"shaders", {{{"name", "s"}}, {{"name", "s"}}}}});
    EXPECT_NE(e.find("shader 's': already declared in decls.json"), std::string::npos) << e;
}

// ---------------------------------------------------------------------------
// The runtime, through the test shaders.

// Keys of any length find their own values, also keys that share their
// first eight characters, and cleared keys are gone.
TEST(HostRuntime, ShaderStateKeysOfAnyLength) {
    korhost::ThreadContext ctx;
    korhost::set_thread_context(&ctx);
    const char *keys[] = {"K", "KEY_9", "KEY_10", "SEVEN_7", "EIGHT_88", "krE:layer", "krE:layer2"};
    int value = 0;
    for (const char *k : keys) {
        ++value;
        ASSERT_TRUE(zo_shaderstate_set(nullptr, k, &value, sizeof value, ZO_SHADERSTATE_SAMPLE));
    }
    value = 0;
    for (const char *k : keys) {
        ++value;
        std::string copy = k;  // another pointer to the same text
        int size = 0;
        const int *got = static_cast<const int *>(zo_shaderstate_get(nullptr, copy.c_str(), &size));
        ASSERT_NE(got, nullptr) << k;
        EXPECT_EQ(*got, value) << k;
        EXPECT_EQ(size, static_cast<int>(sizeof(int)));
    }
    EXPECT_EQ(zo_shaderstate_get(nullptr, "krE:layer3", nullptr), nullptr);
    EXPECT_EQ(zo_shaderstate_get(nullptr, "KEY_", nullptr), nullptr);
    zo_shaderstate_set(nullptr, "krE:layer", nullptr, 0, ZO_SHADERSTATE_SAMPLE);
    EXPECT_EQ(zo_shaderstate_get(nullptr, "krE:layer", nullptr), nullptr);
    EXPECT_EQ(*static_cast<const int *>(zo_shaderstate_get(nullptr, "krE:layer2", nullptr)), 7);
    // Keys that end their page, an unreadable page after them, find the same entries.
    const long page = sysconf(_SC_PAGESIZE);
    auto *pages = static_cast<char *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    for (const char *k : {"K", "KEY_10", "SEVEN_7", "EIGHT_88"}) {
        char *at = strcpy(pages + page - strlen(k) - 1, k);
        EXPECT_EQ(zo_shaderstate_get(nullptr, at, nullptr),
                  zo_shaderstate_get(nullptr, k, nullptr));
        value = 40 + k[1];
        ASSERT_TRUE(zo_shaderstate_set(nullptr, at, &value, sizeof value, ZO_SHADERSTATE_SAMPLE));
        EXPECT_EQ(*static_cast<const int *>(zo_shaderstate_get(nullptr, k, nullptr)), value) << k;
    }
    munmap(pages, 2 * page);
    korhost::set_thread_context(nullptr);
}

TEST(HostRuntime, TextureSpaceIsInterpolatedAtTheHit) {
    Rendered r = korrender(quad_scene({{"uv", {{"shader", "test_uv"}}}}, "uv"));
    ASSERT_EQ(r.status, 0) << r.err;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            Color p = r.pixel(x, y);
            EXPECT_NEAR(p.r, (x + 0.5f) / 8, 1e-5f);
            EXPECT_NEAR(p.g, (y + 0.5f) / 8, 1e-5f);
            EXPECT_EQ(p.b, 1.0f);  // one texture space
        }
}

// Vertex normals come in object space, like the positions: a quad turned
// over keeps its +z normal.
TEST(HostRuntime, VertexNormalsAreInObjectSpace) {
    json scene = quad_scene({{"n", {{"shader", "test_vertex_normal"}}}}, "n");
    scene["instances"]["quad"]["transform"] = {1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1};
    Rendered r = korrender(scene);
    ASSERT_EQ(r.status, 0) << r.err;
    expect_everywhere(r, Color{0, 0, 1, 1}, 1e-6f);
}

TEST(HostRuntime, FrameBuffersAndOutputShaders) {
    json scene = quad_scene(
        {{"fb", {{"shader", "test_fb"}, {"params", {{"id", 7}, {"color", {0.25, 0.5, 0.75}}}}}},
         {"invert", {{"shader", "test_invert"}}}},
        "fb");
    const std::string base = temp_dir() + "/fb_";
    scene["framebuffers"] = {{{"index", 0}, {"type", "integer"}, {"file", base + "ids.exr"}},
                             {{"index", 1}, {"type", "color"}, {"file", base + "colour.exr"}}};
    scene["camera"]["output"] = {"invert"};
    Rendered r = korrender(scene, "--samples 4");
    ASSERT_EQ(r.status, 0) << r.err;
    expect_everywhere(r, Color{0.75f, 0.5f, 0.25f, 1});  // inverted by the output shader
    korhost::ImageEntry ids, colour;
    std::string error;
    ASSERT_TRUE(korhost::read_image(base + "ids.exr", ids, error)) << error;
    ASSERT_TRUE(korhost::read_image(base + "colour.exr", colour, error)) << error;
    EXPECT_EQ(ids.pixels[0], 7.0f);
    EXPECT_EQ(ids.pixels[4 * 63], 7.0f);
    EXPECT_EQ(colour.pixels[0], 0.25f);
    EXPECT_EQ(colour.pixels[2], 0.75f);
}

// 8-bit PNG codes come from a table of the curve's steps: each must be the
// standard curve's value times 255 plus a half, cut to [0, 255], as the
// float path rounds it.
TEST(ImageOutput, EightBitCodesAreTheCurveRounded) {
    using korhost::ColourCurve;
    struct Case {
        ColourCurve curve;
        float gamma;
        float (*formula)(float);
        int code_of_half;  // worked out by hand
    } cases[] = {
        {ColourCurve::kSrgb, 1,  // 1.055 * 0.5^(1/2.4) - 0.055 = 0.73536 -> 187.52
         [](float v) {
             return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1 / 2.4f) - 0.055f;
         },
         188},
        {ColourCurve::kRec709, 1,  // 1.099 * 0.5^0.45 - 0.099 = 0.70551 -> 179.91
         [](float v) { return v < 0.018f ? 4.5f * v : 1.099f * std::pow(v, 0.45f) - 0.099f; }, 180},
        {ColourCurve::kGamma, 2.2f,  // 0.5^(1/2.2) = 0.72974 -> 186.08
         [](float v) { return std::pow(v, 1 / 2.2f); }, 186},
    };
    for (const Case &c : cases) {
        const korhost::ByteEncoder enc(c.curve, c.gamma);
        EXPECT_EQ(enc.code(0.5f), c.code_of_half);
        for (float v : {-1.0f, 0.0f, NAN}) EXPECT_EQ(enc.code(v), 0) << v;
        for (float v : {1.0f, 7.5f, INFINITY}) EXPECT_EQ(enc.code(v), 255) << v;
        // 1000 values in each octave from 2^-24 to 2.
        for (int i = 0; i < 25000; ++i) {
            const float v = std::ldexp(static_cast<float>(i % 1000 + 1000), i / 1000 - 34);
            const int want = static_cast<int>(std::min(c.formula(v) * 255.0f + 0.5f, 255.0f));
            ASSERT_EQ(enc.code(v), want) << "value " << v;
        }
    }
}

TEST(HostRuntime, RasterSpaceRoundTripsThroughAPerspectiveCamera) {
    json scene = quad_scene({{"r", {{"shader", "test_raster"}}}}, "r");
    scene["camera"] = {{"resolution", {16, 12}},
                       {"focal", 1.5},
                       {"aperture", 1},
                       {"position", {0.3, 0.2, 5}},
                       {"look_at", {0, 0, 0}}};
    scene["instances"]["quad"]["object"]["size"] = 40;
    Rendered r = korrender(scene);
    ASSERT_EQ(r.status, 0) << r.err;
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x) {
            EXPECT_NEAR(r.pixel(x, y).r, 0, 1e-3f);
            EXPECT_NEAR(r.pixel(x, y).g, 0, 1e-3f);
            EXPECT_EQ(r.pixel(x, y).b, y + 0.5f);  // raster y grows upwards
        }
}

TEST(HostRuntime, TextureLookupAtTexelCentresGivesTheTexels) {
    // A 4x4 file of distinct texels, top row first as files keep them.
    const std::string file = temp_dir() + "/texels.exr";
    float texels[4 * 4 * 4];
    for (int i = 0; i < 16; ++i) {
        texels[4 * i] = i / 16.0f;
        texels[4 * i + 1] = 1 - i / 16.0f;
        texels[4 * i + 2] = 0.5f;
        texels[4 * i + 3] = 1;
    }
    std::string error;
    ASSERT_TRUE(korhost::write_image(file, 4, 4, 4, texels, false, error)) << error;
    json scene =
        quad_scene({{"t", {{"shader", "test_texture"}, {"params", {{"texture", "texels"}}}}}}, "t");
    scene["textures"] = {{"texels", {{"file", file}}}};
    scene["camera"]["resolution"] = {4, 4};  // one pixel per texel, sampled at its centre
    for (const char *filter : {"nearest", "bilinear"}) {
        scene["options"] = {{"filter", filter}};
        Rendered r = korrender(scene);
        ASSERT_EQ(r.status, 0) << r.err;
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                const int i = y * 4 + x;  // write_image takes the bottom row first
                EXPECT_NEAR(r.pixel(x, y).r, i / 16.0f, 1e-6f) << filter << " " << x << "," << y;
                EXPECT_NEAR(r.pixel(x, y).g, 1 - i / 16.0f, 1e-6f) << filter;
            }
    }
}

// ---------------------------------------------------------------------------
// Errors: one clear message naming the file, the object and the problem.

namespace {
void expect_error(const Rendered &r, std::initializer_list<const char *> parts) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_FALSE(r.has_image);
    for (const char *part : parts)
        EXPECT_NE(r.err.find(part), std::string::npos) << part << "\n" << r.err;
    EXPECT_EQ(count_of(r.err, "korrender: error:"), 1) << r.err;
}
}  // namespace

TEST(SceneErrors, MalformedJsonGivesLineAndColumn) {
    Rendered r =
        korrender(std::string("{\n  \"camera\": {\n    \"resolution\": [8, 8,]\n  }\n}\n"));
    expect_error(r, {"SceneErrors_MalformedJsonGivesLineAndColumn.json:3:", "malformed scene"});
}

// Each broken scene is refused with one error naming the place and the
// problem, and no image.
TEST(SceneErrors, BrokenScenesAreRefusedWithTheirPlaceAndProblem) {
    const json white = {{"c", color_shader(1, 1, 1)}};
    // The rest of the broken scenes are rows of the render checks (tests.json);
    // these two need the test shader library and its declarations.
    const struct {
        std::function<void(json &)> breakIt;
        std::vector<const char *> parts;
    } cases[] = {
        {[](json &s) { s["library"] = KOR_TEST_DECLARATIONS "/test.json"; },  // not a library
         {"shader library", "test.json: cannot be loaded"}},
        {[](json &s) {
             s["shaders"]["c"] = {{"shader", "test_versioned"}};
         },
         {"shader 'c' (test_versioned): version mismatch for 'test_versioned': the shader "
          "library ",
          "has version 7, the declaration in ", "test.json says version 3"}},
    };
    for (const auto &c : cases) {
        json scene = quad_scene(white, "c");
        c.breakIt(scene);
        const Rendered r = korrender(scene);
        SCOPED_TRACE(c.parts.front());
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_FALSE(r.has_image);
        for (const char *part : c.parts)
            EXPECT_NE(r.err.find(part), std::string::npos) << part << "\n" << r.err;
        EXPECT_EQ(count_of(r.err, "korrender: error:"), 1) << r.err;
    }
}

TEST(SceneWarnings, UnknownKeysAreReportedWithTheirPlace) {
    json scene = quad_scene({{"c", color_shader(1, 1, 1)}}, "c");
    scene["camera"]["bogus"] = 1;
    Rendered r = korrender(scene.dump(2));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_search(
        r.err, std::regex("warning: [^\n]*\\.json:[0-9]+:[0-9]+: camera: unknown key "
                          "'bogus' \\(ignored\\)")))
        << r.err;
    expect_everywhere(r, Color{1, 1, 1, 1});
}

// ---------------------------------------------------------------------------
// Ray, light, texture, sampling and indirect-light services.

namespace {

json test_shader(const std::string &name, const json &params = json::object()) {
    return json{{"shader", name}, {"params", params}};
}

// An orthographic camera 8x8 pixels over a 4x4 view looking down -Z, the
// direction-coded environment, and the given instances.
json services_scene(const json &shaders, const json &materials, const json &instances) {
    json scene = json{{"library", {KOR_LIBRARY, KOR_TESTSHADERS}},
                      {"declarations", {KOR_TEST_DECLARATIONS}},
                      {"camera",
                       {{"type", "orthographic"},
                        {"resolution", {8, 8}},
                        {"aperture", 4},
                        {"position", {0, 0, 5}},
                        {"look_at", {0, 0, 0}},
                        {"environment", "env"}}},
                      {"shaders", shaders},
                      {"materials", materials},
                      {"instances", instances}};
    if (!scene["shaders"].contains("env")) scene["shaders"]["env"] = test_shader("test_env");
    return scene;
}

// World position of pixel (x, y) on the plane z = 0 of services_scene.
float pixel_world(int i) {
    return -2.0f + 0.5f * (i + 0.5f);
}

json quad_instance(const std::string &material, float size, const json &placement = {}) {
    json inst = {{"object", {{"primitive", "quad"}, {"size", size}}}, {"material", material}};
    for (auto &[k, v] : placement.items()) inst[k] = v;
    return inst;
}

}  // namespace

TEST(RayServices, MirrorSphereReflectsTheEnvironmentInTheMirrorDirection) {
    json scene =
        services_scene({{"mirror", test_shader("test_mirror")}}, {{"m", {{"shader", "mirror"}}}},
                       {{"ball",
                         {{"object", {{"primitive", "sphere"}, {"radius", 1.5}, {"segments", 256}}},
                          {"material", "m"}}}});
    Rendered r = korrender(scene);
    ASSERT_EQ(r.status, 0) << r.err;
    int checked = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const float px = pixel_world(x) / 1.5f, py = pixel_world(y) / 1.5f;
            const float q = 1 - px * px - py * py;
            if (q < 0.3f) continue;  // grazing and outside
            const float nz = std::sqrt(q);
            // d = (0, 0, -1) mirrored about n: d - 2 (d.n) n.
            const float rx = 2 * nz * px, ry = 2 * nz * py, rz = -1 + 2 * nz * nz;
            Color p = r.pixel(x, y);
            EXPECT_NEAR(p.r, 0.5f + 0.5f * rx, 0.01f) << x << "," << y;
            EXPECT_NEAR(p.g, 0.5f + 0.5f * ry, 0.01f) << x << "," << y;
            EXPECT_NEAR(p.b, 0.5f + 0.5f * rz, 0.01f) << x << "," << y;
            ++checked;
        }
    EXPECT_GE(checked, 16);
    // Outside the ball the eye rays see the environment straight on.
    EXPECT_NEAR(r.pixel(0, 0).b, 0.0f, 1e-6f);
}

TEST(RayServices, RefractionBendsByTheIndexRatio) {
    // A quad tilted by 45 degrees: the eye ray enters glass of index 1.5
    // and leaves into the environment along Snell's direction.
    json scene = services_scene({{"glass", test_shader("test_glass", {{"ior", 1.5}})}},
                                {{"g", {{"shader", "glass"}}}},
                                {{"q", quad_instance("g", 20, {{"rotate", {-45, 0, 0}}})}});
    Rendered r = korrender(scene);
    ASSERT_EQ(r.status, 0) << r.err;
    // Normal n = (0, sin 45, cos 45) after the rotation; cos i = 0.70711,
    // eta = 1 / 1.5, cos t = sqrt(1 - eta^2 (1 - cos^2 i)) = 0.88192.
    const float s = std::sqrt(0.5f), eta = 1 / 1.5f, cos_t = 0.881917f;
    const float ty = -eta * 0 + (eta * s - cos_t) * s, tz = -eta + (eta * s - cos_t) * s;
    expect_everywhere(r, Color{0.5f, 0.5f + 0.5f * ty, 0.5f + 0.5f * tz, 1}, 2e-4f);
    // No refraction allowed: the fallback.
    scene["options"] = {{"refraction_depth", 0}};
    scene["shaders"]["glass"]["params"]["fallback"] = {0.25, 0.5, 0.75};
    Rendered none = korrender(scene);
    expect_everywhere(none, Color{0.25f, 0.5f, 0.75f, 1}, 0);
}

namespace {
// A floor lit by a point light at (0, 0, 4), under an invisible blocker
// quad (1 x 1) at z = 2 with the given shadow shader (none: opaque).
json shadow_scene(const json &shadow_shader, int blockers = 1) {
    json shaders = {{"lambert", test_shader("test_lambert")},
                    {"through", test_shader("test_continue")},
                    {"lamp", test_shader("test_light")}};
    json blocker = {{"shader", "through"}};
    if (!shadow_shader.is_null()) {
        shaders["filter"] = shadow_shader;
        blocker["shadow"] = "filter";
    }
    json instances = {{"floor", quad_instance("floor", 8)}};
    for (int k = 0; k < blockers; ++k)
        instances["blocker" + std::to_string(k)] =
            quad_instance("blocker", 1, {{"translate", {0, 0, 2 + 0.25 * k}}});
    json scene = services_scene(shaders, {{"floor", {{"shader", "lambert"}}}, {"blocker", blocker}},
                                instances);
    scene["lights"] = {{"lamp", {{"shader", "lamp"}, {"origin", {0, 0, 4}}}}};
    return scene;
}

// N.L of the floor under pixel (x, y) for the light at (0, 0, 4).
float floor_lit(int x, int y) {
    const float px = pixel_world(x), py = pixel_world(y);
    return 4 / std::sqrt(px * px + py * py + 16);
}

// In the shadow of the 1 x 1 blocker at height h: the line to the light
// crosses it at (p * (4 - h) / 4).
bool in_shadow(int x, int y, float h = 2) {
    const float k = (4 - h) / 4;
    return std::fabs(pixel_world(x) * k) < 0.5f && std::fabs(pixel_world(y) * k) < 0.5f;
}
}  // namespace

TEST(LightServices, PointLightLightsTheFloorAndAQuadBlocksIt) {
    Rendered r = korrender(shadow_scene(nullptr));
    ASSERT_EQ(r.status, 0) << r.err;
    int shadowed = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const float expected = in_shadow(x, y) ? 0.0f : floor_lit(x, y);
            shadowed += in_shadow(x, y);
            EXPECT_NEAR(r.pixel(x, y).r, expected, 1e-5f) << x << "," << y;
        }
    EXPECT_EQ(shadowed, 16);
    json off = shadow_scene(nullptr);
    off["options"] = {{"shadow", "off"}};
    Rendered unshadowed = korrender(off);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_NEAR(unshadowed.pixel(x, y).r, floor_lit(x, y), 1e-5f) << x << "," << y;
}

// A coarse smooth-shaded sphere lit from the side: every point whose
// smooth normal faces the light is lit, also where its flat facet turns
// away (shadow rays leave from the curved surface, not the facet).
TEST(LightServices, SmoothSpheresHaveNoSawToothTerminator) {
    const float R = 1.8f;
    json scene =
        services_scene({{"lambert", test_shader("test_lambert")},
                        {"lamp", test_shader("test_light", {{"shadow", true}})}},
                       {{"m", {{"shader", "lambert"}}}},
                       {{"ball",
                         {{"object", {{"primitive", "sphere"}, {"radius", R}, {"segments", 10}}},
                          {"material", "m"}}}});
    scene["camera"]["resolution"] = {48, 48};
    scene["lights"] = {{"lamp", {{"shader", "lamp"}, {"origin", {1000, 0, 0}}}}};
    Rendered r = korrender(scene);
    ASSERT_EQ(r.status, 0) << r.err;
    int near_terminator = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x) {
            const float px = -2.0f + 4.0f * (x + 0.5f) / 48, py = -2.0f + 4.0f * (y + 0.5f) / 48;
            const float rr = px * px + py * py;
            if (rr > 0.8f * R * R) continue;  // the rim: facets differ most from the sphere
            const float nl = px / R;          // smooth normal . light direction (+x)
            if (nl < 0.02f) continue;
            near_terminator += nl < 0.2f;
            EXPECT_GT(r.pixel(x, y).r, 0.0f) << x << "," << y << " n.l " << nl;
        }
    EXPECT_GT(near_terminator, 10);
}

TEST(LightServices, LightShaderSeesTheLightStateOfThePoint) {
    json scene = services_scene({{"probe", test_shader("test_light_probe")},
                                 {"lamp", test_shader("test_light", {{"report", true}})}},
                                {{"p", {{"shader", "probe"}}}}, {{"floor", quad_instance("p", 8)}});
    scene["lights"] = {{"lamp", {{"shader", "lamp"}, {"origin", {0, 0, 4}}}}};
    Rendered r = korrender(scene);
    ASSERT_EQ(r.status, 0) << r.err;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const float px = pixel_world(x), py = pixel_world(y);
            const float dist = std::sqrt(px * px + py * py + 16);
            Color p = r.pixel(x, y);
            EXPECT_NEAR(p.r, dist, 1e-5f);
            EXPECT_NEAR(p.g, 4 / dist, 1e-5f);
            EXPECT_EQ(p.b, 1.0f);
            EXPECT_EQ(p.a, 1.0f);
        }
    // A 3 x 2 sampled rectangle: six samples, each from a point on it.
    scene["lights"]["lamp"]["area"] = {
        {"shape", "rectangle"}, {"edge_u", {1, 0, 0}}, {"edge_v", {0, 1, 0}}};
    scene["lights"]["lamp"]["samples"] = {3, 2};
    Rendered area = korrender(scene);
    ASSERT_EQ(area.status, 0) << area.err;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const float px = std::fabs(pixel_world(x)), py = std::fabs(pixel_world(y));
            const float nx = std::max(0.0f, px - 0.5f), ny = std::max(0.0f, py - 0.5f);
            Color p = area.pixel(x, y);
            EXPECT_EQ(p.a, 6.0f);
            EXPECT_GE(p.r, std::sqrt(nx * nx + ny * ny + 16) - 1e-4f);
            EXPECT_LE(
                p.r, std::sqrt((px + 0.5f) * (px + 0.5f) + (py + 0.5f) * (py + 0.5f) + 16) + 1e-4f);
        }
}

TEST(LightServices, InclusiveAndExclusiveLightLists) {
    json scene = services_scene(
        {{"list", test_shader("test_lightlist")}, {"lamp", test_shader("test_light")}},
        {{"l", {{"shader", "list"}}}}, {{"q", quad_instance("l", 4)}});
    scene["lights"] = {{"a", {{"shader", "lamp"}, {"origin", {0, 0, 4}}}},
                       {"b", {{"shader", "lamp"}, {"origin", {1, 0, 4}}}},
                       {"c", {{"shader", "lamp"}, {"origin", {2, 0, 4}}}}};
    Rendered all = korrender(scene);
    ASSERT_EQ(all.status, 0) << all.err;
    expect_everywhere(all, Color{0, 1, 3, 0}, 0);  // the global lights
    scene["instances"]["q"]["lights"] = {"a", "c"};
    Rendered only = korrender(scene);
    ASSERT_EQ(only.status, 0) << only.err;
    expect_everywhere(only, Color{2, 0, 2, 12}, 0);
    scene["instances"]["q"].erase("lights");
    scene["instances"]["q"]["exclude_lights"] = {"b"};
    Rendered but = korrender(scene);
    ASSERT_EQ(but.status, 0) << but.err;
    expect_everywhere(but, Color{2, 0, 2, 21}, 0);
    scene["instances"]["q"]["exclude_lights"] = {"nope"};
    expect_error(korrender(scene), {"instance 'q'", "unknown light 'nope'"});
}

TEST(IndirectLight, IrradianceUnderAUniformWhiteSkyIsPi) {
    json scene = services_scene(
        {{"irr", test_shader("test_irradiance")},
         {"env", test_shader("test_env", {{"constant", true}, {"color", {1, 1, 1}}})}},
        {{"i", {{"shader", "irr"}}}}, {{"floor", quad_instance("i", 4)}});
    scene["options"] = {{"finalgather_rays", 16}};
    Rendered r = korrender(scene);
    ASSERT_EQ(r.status, 0) << r.err;
    const float pi = 3.14159265f;
    expect_everywhere(r, Color{pi, pi, pi, 1}, 1e-5f);
    scene["options"] = {{"finalgather_rays", 0}};
    Rendered off = korrender(scene);
    expect_everywhere(off, Color{0, 0, 0, 0}, 0);
}

TEST(IndirectLight, AmbientOcclusionUnderAnOpenSkyAndUnderARoof) {
    json scene = services_scene(
        {{"ao", test_shader("test_occlusion")}, {"through", test_shader("test_continue")}},
        {{"a", {{"shader", "ao"}}}, {"t", {{"shader", "through"}}}},
        {{"floor", quad_instance("a", 4)}});
    Rendered open = korrender(scene);
    ASSERT_EQ(open.status, 0) << open.err;
    expect_everywhere(open, Color{1, 1, 1, 1}, 0);
    scene["instances"]["roof"] = quad_instance("t", 1000, {{"translate", {0, 0, 1}}});
    Rendered roofed = korrender(scene);
    expect_everywhere(roofed, Color{0, 0, 0, 1}, 0);
}

TEST(TextureServices, EightAndSixteenBitFilesKeepTheirTexels) {
    float texels[4 * 4 * 4];
    for (int i = 0; i < 16; ++i) {
        texels[4 * i] = (17 * i) / 255.0f;
        texels[4 * i + 1] = (255 - 17 * i) / 255.0f;
        texels[4 * i + 2] = 0;
        texels[4 * i + 3] = 1;
    }
    for (const char *ext : {"png", "tif"}) {
        const std::string file = temp_dir() + "/texels8." + ext;
        std::string error;
        ASSERT_TRUE(korhost::write_image(file, 4, 4, 4, texels, false, error)) << error;
        korhost::ImageEntry e;
        ASSERT_TRUE(korhost::read_texture(file, 0, e, error)) << error;
        EXPECT_EQ(e.image.bits, std::string(ext) == "png" ? 8 : 32);
        EXPECT_EQ(e.image.comp, 4);
        json scene = quad_scene(
            {{"t", {{"shader", "test_texture"}, {"params", {{"texture", "texels"}}}}}}, "t");
        scene["textures"] = {{"texels", {{"file", file}}}};
        scene["camera"]["resolution"] = {4, 4};
        scene["options"] = {{"filter", "bilinear"}};
        Rendered r = korrender(scene);
        ASSERT_EQ(r.status, 0) << r.err;
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                const int i = y * 4 + x;
                EXPECT_NEAR(r.pixel(x, y).r, (17 * i) / 255.0f, 1e-6f) << ext;
                EXPECT_NEAR(r.pixel(x, y).g, (255 - 17 * i) / 255.0f, 1e-6f) << ext;
            }
    }
}

TEST(TextureServices, PyramidLevelsAreBoxMeansOfTheLevelAbove) {
    const int w = 5, h = 4;
    std::vector<float> px(w * h);
    for (int i = 0; i < w * h; ++i) px[i] = static_cast<float>(i) / (w * h);
    const std::string file = temp_dir() + "/gray.exr";
    std::string error;
    ASSERT_TRUE(korhost::write_image(file, w, h, 1, px.data(), false, error)) << error;
    korhost::ImageEntry e;
    ASSERT_TRUE(korhost::read_texture(file, 1.0f, e, error)) << error;
    zoImage *img = &e.image;
    EXPECT_EQ(img->type, ZO_IMG_TYPE_S_FP);
    EXPECT_EQ(img->levels, 3);  // 5x4, 2x2, 1x1
    zoImage *l1 = zo_img_pyramid_get_level(img, 1);
    ASSERT_NE(l1, nullptr);
    EXPECT_EQ(zo_img_get_width(l1), 2);
    EXPECT_EQ(zo_img_get_height(l1), 2);
    auto at = [&](int x, int y) { return px[y * w + x]; };  // bottom row first
    float v;
    zo_img_get_scalar(l1, &v, 0, 0);
    EXPECT_NEAR(v, (at(0, 0) + at(1, 0) + at(0, 1) + at(1, 1)) / 4, 1e-6f);
    zo_img_get_scalar(l1, &v, 1, 1);  // the odd last column folds in
    EXPECT_NEAR(v, (at(2, 2) + at(3, 2) + at(4, 2) + at(2, 3) + at(3, 3) + at(4, 3)) / 6, 1e-6f);
    zoImage *l2 = zo_img_pyramid_get_level(img, 2);
    ASSERT_NE(l2, nullptr);
    EXPECT_EQ(zo_img_get_width(l2), 1);
    EXPECT_EQ(zo_img_pyramid_get_level(img, 3), nullptr);
    Color c;
    zo_img_get_color(img, &c, 4, 3);
    EXPECT_NEAR(c.r, at(4, 3), 1e-6f);
    EXPECT_EQ(c.g, c.r);
    Color put{0.25f, 0, 0, 1};
    zo_img_put_color(img, &put, 4, 3);
    zo_img_get_scalar(img, &v, 4, 3);
    EXPECT_EQ(v, 0.25f);
}

TEST(TextureServices, FilteredLookupPicksTheLevelOfTheFootprint) {
    // A 4x4 checker of 0 and 1: level 0 keeps the texels, level 2 is the
    // mean 0.5.
    float px[16];
    for (int i = 0; i < 16; ++i) px[i] = ((i % 4) + (i / 4)) % 2;
    const std::string file = temp_dir() + "/checker.exr";
    std::string error;
    ASSERT_TRUE(korhost::write_image(file, 4, 4, 1, px, false, error)) << error;
    korhost::Session s;
    korhost::set_session(&s);
    s.images.emplace_back();
    korhost::ImageEntry &e = s.images.back();
    ASSERT_TRUE(korhost::read_texture(file, 1.0f, e, error)) << error;
    const Tag tag = s.add_db(ZO_DB_TEXTURE, &e.image, sizeof(zoImage), "checker");
    zoMatrix st = {0.01f, 0, 0, 0, 0, 0.01f, 0, 0, 0, 0, 1, 0, 0.125f, 0.125f, 0, 1};
    Color c;
    ASSERT_TRUE(zo_lookup_filter_color_texture(&c, nullptr, tag, 8, 1, st));
    EXPECT_NEAR(c.r, 0.0f, 1e-6f);  // texel (0, 0)
    st[0] = st[5] = 1.0f;           // the footprint covers the whole image
    ASSERT_TRUE(zo_lookup_filter_color_texture(&c, nullptr, tag, 8, 1, st));
    EXPECT_NEAR(c.r, 0.5f, 1e-6f);
    korhost::set_session(nullptr);
}

TEST(Sampling, SetsAreStratifiedAndDeterministic) {
    RenderState state{};
    state.raster_x = 3.5f;
    state.raster_y = 1.5f;
    for (int n : {4, 16, 64}) {
        std::vector<int> x_strata(n, 0), y_strata(n, 0);
        std::vector<double> first;
        int counter = 0;
        double s[2];
        while (zo_sample(s, &counter, &state, 2, &n)) {
            ASSERT_GE(s[0], 0.0);
            ASSERT_LT(s[0], 1.0);
            ASSERT_GE(s[1], 0.0);
            ASSERT_LT(s[1], 1.0);
            ++x_strata[static_cast<int>(s[0] * n)];
            ++y_strata[static_cast<int>(s[1] * n)];
            first.push_back(s[0]);
            first.push_back(s[1]);
        }
        EXPECT_EQ(counter, n);
        for (int k = 0; k < n; ++k) {
            EXPECT_EQ(x_strata[k], 1) << n << " x " << k;
            EXPECT_EQ(y_strata[k], 1) << n << " y " << k;
        }
        // The same pixel and sample draw the same set; another pixel not.
        counter = 0;
        for (size_t k = 0; zo_sample(s, &counter, &state, 2, &n); k += 2) {
            EXPECT_EQ(s[0], first[k]);
            EXPECT_EQ(s[1], first[k + 1]);
        }
        RenderState other = state;
        other.raster_x = 4.5f;
        counter = 0;
        zo_sample(s, &counter, &other, 2, &n);
        EXPECT_NE(s[0], first[0]);
    }
    // The third dimension is the base-5 radical inverse, rotated: 25
    // samples are the 25 multiples of 1/25 shifted alike, one in each
    // twenty-fifth.
    {
        const int n = 25;
        std::vector<int> z_strata(n, 0);
        int counter = 0;
        double s[3];
        while (zo_sample(s, &counter, &state, 3, &n)) ++z_strata[static_cast<int>(s[2] * n)];
        EXPECT_EQ(z_strata, std::vector<int>(n, 1));
    }
    // One sample at a time: fresh values, each call.
    int counter = 0;
    double a, b;
    ASSERT_TRUE(zo_sample(&a, &counter, &state, 1, nullptr));
    ASSERT_TRUE(zo_sample(&b, &counter, &state, 1, nullptr));
    EXPECT_NE(a, b);
    EXPECT_EQ(counter, 2);
}

TEST(Noise, ValuesInRangeAtLatticeHalfAndGradientsMatchDifferences) {
    // Gradient noise is 0.5 at every lattice point.
    EXPECT_NEAR(zo_noise_1d(3), 0.5f, 1e-6f);
    EXPECT_NEAR(zo_noise_2d(2, -5), 0.5f, 1e-6f);
    Vector3 lattice{1, 2, 3};
    EXPECT_NEAR(zo_noise_3d(&lattice), 0.5f, 1e-6f);
    EXPECT_NEAR(zo_unoise_3d(&lattice), 0.5f, 1e-6f);
    float lo = 1, hi = 0;
    const float h = 1e-3f;
    for (int i = 0; i < 400; ++i) {
        Vector3 p{i * 0.173f, i * 0.0931f - 3, i * 0.0517f + 1};
        const float n = zo_noise_3d(&p);
        lo = std::min(lo, n);
        hi = std::max(hi, n);
        EXPECT_GE(zo_unoise_3d(&p), 0.0f);
        EXPECT_LE(zo_unoise_3d(&p), 1.0f);
        Vector3 g;
        EXPECT_EQ(zo_noise_3d_grad(&p, &g), n);
        Vector3 px{p.x + h, p.y, p.z}, mx{p.x - h, p.y, p.z};
        Vector3 pz{p.x, p.y, p.z + h}, mz{p.x, p.y, p.z - h};
        const float dx = (zo_noise_3d(&px) - zo_noise_3d(&mx)) / (2 * h);
        const float dz = (zo_noise_3d(&pz) - zo_noise_3d(&mz)) / (2 * h);
        if (n > 0.02f && n < 0.98f) {  // away from the clamp
            EXPECT_NEAR(g.x, dx, 0.02f) << i;
            EXPECT_NEAR(g.z, dz, 0.02f) << i;
        }
        float g1;
        const float x = i * 0.137f;
        zo_unoise_1d_grad(x, &g1);
        const float d1 = (zo_unoise_1d(x + h) - zo_unoise_1d(x - h)) / (2 * h);
        if (zo_noise_1d(x) > 0.02f && zo_noise_1d(x) < 0.98f) {
            EXPECT_NEAR(g1, d1, 0.02f) << i;
        }
        float gu, gv;
        zo_noise_2d_grad(p.x, p.y, &gu, &gv);
        const float du = (zo_noise_2d(p.x + h, p.y) - zo_noise_2d(p.x - h, p.y)) / (2 * h);
        if (zo_noise_2d(p.x, p.y) > 0.02f && zo_noise_2d(p.x, p.y) < 0.98f) {
            EXPECT_NEAR(gu, du, 0.02f) << i;
        }
    }
    EXPECT_LT(lo, 0.3f);
    EXPECT_GT(hi, 0.7f);
    EXPECT_EQ(zo_noise_2d(0.3f, 0.7f), zo_noise_2d(0.3f, 0.7f));
}

TEST(ScatteringHelpers, DirectionsAndBrdfsAgainstTheirFormulas) {
    RenderState st{};
    st.dir = Vector3{0.6f, 0, -0.8f};
    st.normal = Vector3{0, 0, 1};
    st.dot_nd = -0.8f;
    Vector3 d;
    zo_reflection_dir(&d, &st);
    EXPECT_NEAR(d.x, 0.6f, 1e-6f);
    EXPECT_NEAR(d.z, 0.8f, 1e-6f);
    // Snell: sin t = sin i / 1.5 = 0.4.
    ASSERT_TRUE(zo_refraction_dir(&d, &st, 1.0f, 1.5f));
    EXPECT_NEAR(d.x, 0.4f, 1e-6f);
    EXPECT_NEAR(d.z, -std::sqrt(1 - 0.16f), 1e-6f);
    // Total internal reflection from glass at sin i = 0.8 > 1 / 1.5.
    st.dir = Vector3{0.8f, 0, -0.6f};
    EXPECT_FALSE(zo_refraction_dir(&d, &st, 1.5f, 1.0f));
    // Fresnel at normal incidence: ((n1 - n2) / (n1 + n2))^2.
    st.dot_nd = -1;
    EXPECT_NEAR(zo_fresnel_reflection(&st, 1, 1.5f), 0.04f, 1e-6f);
    double sample[2] = {0, 0.3};
    zo_reflection_dir_diffuse_x(&d, &st, sample);
    EXPECT_NEAR(d.z, 1.0f, 1e-6f);  // the first sample lies on the normal
    double mean_z = 0;
    for (int i = 0; i < 2000; ++i) {
        zo_reflection_dir_diffuse(&d, &st);
        ASSERT_GT(d.z, 0.0f);
        mean_z += d.z;
    }
    EXPECT_NEAR(mean_z / 2000, 2.0 / 3.0, 0.03);  // cosine-distributed: E[cos] = 2/3
    st.dir = Vector3{0, 0, -1};
    Vector3 up{0, 0, 1}, in{0, 0, -1};
    EXPECT_NEAR(zo_phong_specular(10, &st, &up), 1.0f, 1e-6f);
    // Ward at the mirror direction: 1 / (4 pi a^2) with a = 1 / shiny.
    EXPECT_NEAR(zo_ward_glossy(&in, &up, &up, 5), 25 / (4 * 3.14159265f), 1e-4f);
    Vector3 u{1, 0, 0}, v{0, 1, 0};
    EXPECT_NEAR(zo_ward_anisglossy(&in, &up, &up, &u, &v, 5, 5), 25 / (4 * 3.14159265f), 1e-4f);
    // Schlick with g = 0 is isotropic: 1 / (4 pi).
    EXPECT_NEAR(zo_schlick_scatter(&up, &u, 0), 1 / (4 * 3.14159265f), 1e-6f);
    Color grey{0.5f, 0.5f, 0.5f, 1};
    EXPECT_NEAR(zo_luminance(&st, &grey), 0.5f, 1e-6f);
    Color none{0, 0, 0, 0}, all{1, 1, 1, 1};
    EXPECT_EQ(zo_choose_simple_scatter_type(&st, &none, &all, &none, &none),
              ZO_PHOTON_REFLECT_SPECULAR);
    EXPECT_EQ(zo_choose_simple_scatter_type(&st, &none, &none, &none, &none), ZO_PHOTON_ABSORB);
    // The chosen weight comes back divided by its probability: 0.5 of two
    // halves is picked with 1/2 (-> 1); 1 of two whole weights with 1/2 (-> 2).
    for (float w : {0.5f, 1.0f}) {
        Color a{w, w, w, w}, b = a;
        const int kind = zo_choose_simple_scatter_type(&st, &none, &a, &none, &b);
        const Color &chosen = kind == ZO_PHOTON_REFLECT_SPECULAR ? a : b;
        EXPECT_NEAR(chosen.r, 2 * w, 1e-6f);
        EXPECT_NEAR((kind == ZO_PHOTON_REFLECT_SPECULAR ? b : a).r, w, 0.0f);
    }
    Color e;
    EXPECT_FALSE(zo_photon_light(&e, &st));
}

TEST(ServicesScene, ShowsTextureReflectionRefractionAndShadows) {
    json scene =
        json::parse(read_file(std::string(KOR_TEST_DECLARATIONS) + "/../scenes/services.json"));
    scene["library"] = {KOR_LIBRARY, KOR_TESTSHADERS};
    scene["declarations"] = {KOR_TEST_DECLARATIONS};
    scene["textures"]["checker"]["file"] =
        std::string(KOR_TEST_DECLARATIONS) + "/../scenes/checker.ppm";
    const std::string args = "--resolution 64x48 --samples 1";
    Rendered lit = korrender(scene, args);
    ASSERT_EQ(lit.status, 0) << lit.err;
    EXPECT_EQ(lit.err, "");
    scene["options"]["shadow"] = "off";
    scene["shaders"]["chrome"]["params"]["reflect"] = 0;
    scene["shaders"]["glass"]["params"]["refract"] = 0;
    Rendered plain = korrender(scene, args);
    ASSERT_EQ(plain.status, 0) << plain.err;
    int darker = 0, brighter = 0, floor_colours = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const Color a = lit.pixel(x, y), b = plain.pixel(x, y);
            darker += a.r + a.g + a.b < b.r + b.g + b.b - 0.05f;
            brighter += a.r + a.g + a.b > b.r + b.g + b.b + 0.05f;
            // Lit checker texels: the warm one has r > b, the cool one b > r.
            floor_colours += y < 12 && (a.r > 1.5f * a.b || a.b > 1.5f * a.r);
        }
    EXPECT_GT(darker, 40);    // shadows
    EXPECT_GT(brighter, 40);  // the balls show what they reflect and refract
    EXPECT_GT(floor_colours, 100);
}
