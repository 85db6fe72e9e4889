// The reference host renderer: record layout of declarations, and korrender
// runs on small scenes checked on pixel values, messages and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "decl.h"
#include "session.h"
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
    static std::string dir = [] {
        char tmpl[] = "/tmp/korhost_test_XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
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

// An 8x8 orthographic view filled by a 4x4 quad, shaded by `shader`.
json quad_scene(const json &shaders, const std::string &material_shader) {
    return json{
        {"library", {KOR_LIBRARY, KOR_TESTSHADERS}},
        {"declarations", {KOR_TEST_DECLARATIONS}},
        {"camera",
         {{"type", "orthographic"},
          {"resolution", {8, 8}},
          {"aperture", 4},
          {"position", {0, 0, 5}},
          {"look_at", {0, 0, 0}}}},
        {"shaders", shaders},
        {"materials", {{"m", {{"shader", material_shader}}}}},
        {"instances",
         {{"quad", {{"object", {{"primitive", "quad"}, {"size", 4}}}, {"material", "m"}}}}}};
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

TEST(DeclarationLayout, DataRecordsKeepTheirOffsets) {
    korhost::Declarations d;
    d.load_file(std::string(KOR_DECLARATIONS) + "/data.json");
    const korhost::Type &scene = *d.find("kor_SceneData")->params;
    EXPECT_EQ(scene.field("lightTint")->offset, 20u);
    EXPECT_EQ(scene.field("bakeHooks")->offset, 80u);
    EXPECT_EQ(scene.field("rotatedEnvironment")->offset, 96u);
    const korhost::Type &object = *d.find("kor_ObjectData")->params;
    EXPECT_EQ(object.field("channelMap")->offset, 24u);
    EXPECT_EQ(object.field("channelMap")->offset + object.field("channelMap")->type->slot_offset,
              32u);
    EXPECT_EQ(object.field("particleData")->offset, 36u);
    EXPECT_EQ(object.field("faceColumn")->offset, 104u);
    const korhost::Type &node = *d.find("kor_NodeData")->params;
    EXPECT_EQ(node.field("shadowLights")->offset, 36u);
    EXPECT_EQ(node.field("shadowsForAll")->offset, 48u);
    EXPECT_EQ(node.field("nodeIndex")->offset, 64u);
    EXPECT_EQ(*d.find("kor_NodeData")->version, 2);
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

TEST(DeclarationLayout, ReferenceIsGeneratedFromDeclarations) {
    const std::string command = std::string(KORRENDER) + " --describe-shaders";
    FILE *p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string md;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) md.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    EXPECT_NE(md.find("### `kor_color`"), std::string::npos);
    EXPECT_NE(md.find("| `color` | 0 | color | (0, 0, 0, 1) |"), std::string::npos);
    EXPECT_NE(md.find("| `shaders` | 0 | array of shader |"), std::string::npos);
    EXPECT_NE(md.find("### `kor_SceneData` (data record)"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Renders with the utility shaders.

TEST(UtilityShaderRender, ColorOnAQuadIsExactlyThatColour) {
    Rendered r = korrender(quad_scene({{"c", color_shader(0.2f, 0.4f, 0.6f)}}, "c"), "--samples 4");
    ASSERT_EQ(r.status, 0) << r.err;
    expect_everywhere(r, Color{0.2f, 0.4f, 0.6f, 1});
    // 8-bit files hold the nearest of 256 steps.
    Rendered png = korrender(quad_scene({{"c", color_shader(0.2f, 0.4f, 0.6f)}}, "c"), "", "png");
    ASSERT_EQ(png.status, 0) << png.err;
    expect_everywhere(png, Color{51 / 255.0f, 102 / 255.0f, 153 / 255.0f, 1}, 1e-6f);
}

TEST(UtilityShaderRender, EnvironmentShowsWhereNothingIsHit) {
    json scene = quad_scene({{"c", color_shader(1, 0, 0)}, {"sky", color_shader(0, 0, 1)}}, "c");
    scene["camera"]["environment"] = "sky";
    scene["instances"]["quad"]["object"]["size"] = 2;  // the middle half of the view
    Rendered r = korrender(scene);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.pixel(0, 0).b, 1.0f);
    EXPECT_EQ(r.pixel(7, 7).b, 1.0f);
    EXPECT_EQ(r.pixel(3, 4).r, 1.0f);
    EXPECT_EQ(r.pixel(4, 3).r, 1.0f);
}

TEST(UtilityShaderRender, ConnectedParameterIsEvaluated) {
    json shaders = {
        {"outer", {{"shader", "kor_color"}, {"params", {{"color", {{"connect", "inner"}}}}}}},
        {"inner", color_shader(0.125f, 0.25f, 0.5f)}};
    Rendered r = korrender(quad_scene(shaders, "outer"));
    ASSERT_EQ(r.status, 0) << r.err;
    expect_everywhere(r, Color{0.125f, 0.25f, 0.5f, 1});
}

TEST(UtilityShaderRender, ShaderListKeepsWhatTheLastWriterWrote) {
    json shaders = {
        {"red", color_shader(1, 0, 0)},
        {"green", color_shader(0, 1, 0)},
        {"fail", {{"shader", "test_fail"}}},
        {"both", {{"shader", "kor_ShaderList"}, {"params", {{"shaders", {"red", "green"}}}}}},
        {"second_fails",
         {{"shader", "kor_ShaderList"}, {"params", {{"shaders", {"fail", "red", "fail"}}}}}},
        {"empty", {{"shader", "kor_ShaderList"}, {"params", {{"shaders", json::array()}}}}}};
    Rendered both = korrender(quad_scene(shaders, "both"));
    ASSERT_EQ(both.status, 0) << both.err;
    expect_everywhere(both, Color{0, 1, 0, 1});
    Rendered fails = korrender(quad_scene(shaders, "second_fails"));
    expect_everywhere(fails, Color{1, 0, 0, 1});
    Rendered empty = korrender(quad_scene(shaders, "empty"));
    expect_everywhere(empty, Color{0, 0, 0, 0});
}

TEST(UtilityShaderRender, MaterialToShaderRunsMaterialsAndPhenomena) {
    for (bool phenomenon : {false, true}) {
        json scene = quad_scene(
            {{"inner_colour", color_shader(0.5f, 0.25f, 1)},
             {"adapter",
              {{"shader", "kor_MaterialToShader"}, {"params", {{"material", "inner"}}}}}},
            "adapter");
        scene["materials"]["inner"] = {{"shader", "inner_colour"}, {"phenomenon", phenomenon}};
        Rendered r = korrender(scene, "--verbose 3");
        ASSERT_EQ(r.status, 0) << r.err;
        expect_everywhere(r, Color{0.5f, 0.25f, 1, 1});
        // The instance data of the adapter's init is released by its exit.
        EXPECT_NE(r.err.find("memory: 1 blocks allocated by shaders, 1 released"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("not released"), std::string::npos) << r.err;
    }
}

TEST(UtilityShaderRender, UnsupportedCallTypeIsReportedOncePerInstance) {
    json scene = quad_scene(
        {{"c", color_shader(1, 1, 1)},
         {"adapter", {{"shader", "kor_MaterialToShader"}, {"params", {{"material", "m"}}}}}},
        "c");
    scene["camera"]["lens"] = {"adapter"};  // a lens call: no material call type
    Rendered r = korrender(scene, "--samples 2");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        count_of(
            r.err,
            "korrender: error: Shader 'kor_MaterialToShader' called with unsupported call type"),
        1)
        << r.err;
    expect_everywhere(r, Color{0, 0, 0, 0});
}

// ---------------------------------------------------------------------------
// The runtime, through the test shaders.

TEST(HostRuntime, RecordLayoutReachesTheShader) {
    json params = {{"flag", true},        {"v", {0.5, 0, 0}},          {"c", {0, 0.25, 0}},
                   {"inner", {{"a", 2}}}, {"values", {1.0, 2.0, 4.0}}, {"shader", "other"}};
    Rendered r = korrender(quad_scene(
        {{"l", {{"shader", "test_layout"}, {"params", params}}}, {"other", color_shader(0, 0, 0)}},
        "l"));
    ASSERT_EQ(r.status, 0) << r.err;
    // flag + default scale, the array's sum, v.x + c.g + inner.a, tag set.
    expect_everywhere(r, Color{2.5f, 7.0f, 2.75f, 1.0f});
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

TEST(HostRuntime, QueriesFindObjectAndNodeDataAndTheShaderName) {
    json scene = quad_scene({{"q", {{"shader", "test_query"}}}}, "q");
    scene["data"] = {{"od", {{"declaration", "test_values"}, {"values", {{"value", 3.5}}}}},
                     {"nd", {{"declaration", "test_node_values"}, {"values", {{"value", -2.25}}}}}};
    scene["instances"]["quad"]["object"]["data"] = "od";
    scene["instances"]["quad"]["data"] = "nd";
    Rendered r = korrender(scene);
    ASSERT_EQ(r.status, 0) << r.err;
    expect_everywhere(r, Color{3.5f, -2.25f, 10.0f /* "test_query" */, 1});
}

TEST(HostRuntime, ThreadPointersSeeEverySampleAndAreFreedAtExit) {
    Rendered r =
        korrender(quad_scene({{"n", {{"shader", "test_count"}}}}, "n"), "--samples 3 --verbose 3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("test_count calls=192 threads=2 100%"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("test_count shader exit"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("not released"), std::string::npos) << r.err;
    // The instance exit runs before the shader-level exit.
    EXPECT_LT(r.err.find("test_count calls="), r.err.find("test_count shader exit"));
}

TEST(HostRuntime, ShaderStateReachesSubShadersWithTheirCallType) {
    json shaders = {{"write",
                     {{"shader", "test_state_write"},
                      {"params", {{"value", {0.25, 0.5, 0}}, {"sub", "read"}}}}},
                    {"read", {{"shader", "test_state_read"}}}};
    Rendered r = korrender(quad_scene(shaders, "write"));
    ASSERT_EQ(r.status, 0) << r.err;
    expect_everywhere(r, Color{0.25f, 0.5f, static_cast<float>(ZO_CALL_TEXTURE), 16});
    // A new sample starts without the key; the material runs as a material.
    Rendered alone = korrender(quad_scene(shaders, "read"));
    expect_everywhere(alone, Color{-1, -1, static_cast<float>(ZO_CALL_MATERIAL), 0});
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

TEST(HostRuntime, LensShadersWrapTheEyeRayInOrder) {
    json shaders = {{"c", color_shader(1, 0.5f, 0.25f)},
                    {"half", {{"shader", "test_lens"}, {"params", {{"scale", 0.5}}}}},
                    {"quarter", {{"shader", "test_lens"}, {"params", {{"scale", 0.25}}}}}};
    json scene = quad_scene(shaders, "c");
    scene["camera"]["lens"] = {"half", "quarter"};
    Rendered r = korrender(scene);
    ASSERT_EQ(r.status, 0) << r.err;
    expect_everywhere(r, Color{0.125f, 0.0625f, 0.03125f, 1});
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

TEST(HostRuntime, BenchmarkPrintsOneStableLine) {
    Rendered r =
        korrender(quad_scene({{"c", color_shader(1, 1, 1)}}, "c"), "--benchmark --samples 2");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex("benchmark: rays=128 samples=128 seconds=[0-9.]+ "
                                           "rays_per_second=[0-9]+\n")))
        << r.out;
}

TEST(HostRuntime, HelloSceneRendersAColouredObject) {
    std::string text = read_file(std::string(KOR_SCENES) + "/hello.json");
    json scene = json::parse(text);
    scene["library"] = KOR_LIBRARY;
    Rendered r = korrender(scene, "--resolution 80x60 --samples 1");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.image.image.width, 80);
    Color sky = r.pixel(2, 57);
    EXPECT_NEAR(sky.b, 0.85f, 1e-6f);
    int orange = 0, green = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x) {
            Color p = r.pixel(x, y);
            orange += p.r == 0.95f && p.g == 0.45f;
            green += p.g == 0.75f && p.r == 0.2f;
        }
    EXPECT_GT(orange, 50);
    EXPECT_GT(green, 50);
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

TEST(SceneErrors, UnknownShader) {
    json scene = quad_scene({{"a", {{"shader", "kor_nonesuch"}}}}, "a");
    Rendered r = korrender(scene);
    expect_error(r, {".json:", "shader 'a' (kor_nonesuch): unknown shader 'kor_nonesuch'"});
}

TEST(SceneErrors, UnknownParameterListsTheKnownOnes) {
    json scene =
        quad_scene({{"a", {{"shader", "kor_color"}, {"params", {{"colr", {1, 0, 0}}}}}}}, "a");
    Rendered r = korrender(scene);
    expect_error(r, {"shader 'a' (kor_color): unknown parameter 'colr' (known: color)"});
}

TEST(SceneErrors, TypeMismatchOfAValue) {
    json scene =
        quad_scene({{"a", {{"shader", "kor_color"}, {"params", {{"color", "red"}}}}}}, "a");
    Rendered r = korrender(scene);
    expect_error(
        r,
        {"shader 'a' (kor_color): type mismatch: parameter 'color' is color and takes a list of 3 "
         "or 4 numbers, got a string"});
}

TEST(SceneErrors, TypeMismatchOfAConnection) {
    json shaders = {
        {"a", {{"shader", "kor_color"}, {"params", {{"color", {{"connect", "flag"}}}}}}},
        {"flag", {{"shader", "kor_is_material_editor"}}}};
    Rendered r = korrender(quad_scene(shaders, "a"));
    expect_error(
        r, {"type mismatch: parameter 'color' is color, but 'flag' (kor_is_material_editor) gives "
            "integer"});
}

TEST(SceneErrors, ConnectionToAnUnknownShaderOrInACycle) {
    json shaders = {
        {"a", {{"shader", "kor_color"}, {"params", {{"color", {{"connect", "nobody"}}}}}}}};
    expect_error(korrender(quad_scene(shaders, "a")),
                 {"parameter 'color' connects to unknown shader 'nobody'"});
    shaders = {{"a", {{"shader", "kor_color"}, {"params", {{"color", {{"connect", "b"}}}}}}},
               {"b", {{"shader", "kor_color"}, {"params", {{"color", {{"connect", "a"}}}}}}}};
    expect_error(korrender(quad_scene(shaders, "a")), {"connections form a cycle"});
}

TEST(SceneErrors, UnknownNamesOfMaterialsAndObjects) {
    json scene = quad_scene({{"c", color_shader(1, 1, 1)}}, "c");
    scene["instances"]["quad"]["material"] = "nothing";
    expect_error(korrender(scene),
                 {"instance 'quad': parameter 'material': unknown material 'nothing'"});
    scene = quad_scene({{"c", color_shader(1, 1, 1)}}, "c");
    scene["instances"]["quad"]["object"] = "nothing";
    expect_error(korrender(scene), {"instance 'quad': unknown object 'nothing'"});
}

TEST(SceneErrors, MissingFiles) {
    unlink((temp_dir() + "/missing.json").c_str());
    std::string command = std::string(KORRENDER) + " " + temp_dir() + "/missing.json -o x.png 2>&1";
    FILE *p = popen(command.c_str(), "r");
    char buf[1024] = {0};
    size_t n = fread(buf, 1, sizeof buf - 1, p);
    buf[n] = 0;
    EXPECT_NE(WEXITSTATUS(pclose(p)), 0);
    EXPECT_NE(std::string(buf).find("missing.json: cannot read the scene file"), std::string::npos)
        << buf;

    json scene = quad_scene({{"c", color_shader(1, 1, 1)}}, "c");
    scene["instances"]["quad"]["object"] = {{"file", "/nonexistent/mesh.obj"}};
    expect_error(korrender(scene), {"object 'quad': cannot read mesh file /nonexistent/mesh.obj"});
    scene = quad_scene({{"c", color_shader(1, 1, 1)}}, "c");
    scene["textures"] = {{"wood", {{"file", "/nonexistent/wood.png"}}}};
    expect_error(korrender(scene), {"texture 'wood'", "cannot read image /nonexistent/wood.png"});
}

TEST(SceneErrors, ShaderLibraryThatFailsToLoad) {
    json scene = quad_scene({{"c", color_shader(1, 1, 1)}}, "c");
    scene["library"] = "/nonexistent/libkorshaders.so";
    expect_error(korrender(scene), {"shader library /nonexistent/libkorshaders.so: no such file"});
    scene["library"] = KOR_TEST_DECLARATIONS "/test.json";  // not a library
    expect_error(korrender(scene), {"shader library", "test.json: cannot be loaded"});
}

TEST(SceneErrors, VersionMismatchNamesShaderFileAndBothVersions) {
    Rendered r = korrender(quad_scene({{"v", {{"shader", "test_versioned"}}}}, "v"));
    expect_error(
        r,
        {"shader 'v' (test_versioned): version mismatch for 'test_versioned': the shader library ",
         "has version 7, the declaration in ", "test.json says version 3"});
}

TEST(SceneErrors, BadGeometryAndCamera) {
    json scene = quad_scene({{"c", color_shader(1, 1, 1)}}, "c");
    scene["instances"]["quad"]["object"] = {{"vertices", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}},
                                            {"triangles", {{0, 1, 3}}}};
    expect_error(korrender(scene), {"vertex index 3 out of range (3 vertices)"});
    scene = quad_scene({{"c", color_shader(1, 1, 1)}}, "c");
    scene["camera"]["type"] = "fisheye";
    expect_error(korrender(scene), {"camera: unknown camera type 'fisheye'"});
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
