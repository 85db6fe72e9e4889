// Baking with the reference host: korrender runs whose camera lens is the
// bake lens, checked on the texels of the baked image.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "decl.h"
#include "session.h"
#include "tempdir.h"

using korhost::json;

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Baked {
    std::string dir;  // where the images were written
    int status = -1;
    std::string err;
    korhost::ImageEntry image;
    bool has_image = false;
    Color texel(int x, int y) const {  // y = 0: the bottom row, v from 0
        const float *p = &image.pixels[(static_cast<size_t>(y) * image.image.width + x) * 4];
        return Color{p[0], p[1], p[2], p[3]};
    }
};

Baked render(const json &scene, const std::string &name) {
    const std::string &dir = kortest::temp_dir("korbake_test_");
    const std::string base = dir + "/" + name;
    {
        std::ofstream out(base + ".json");
        out << scene.dump(2);
    }
    const std::string command = std::string(KORRENDER) + " " + base + ".json -o " + base +
                                ".exr --threads 2 --no-progress >/dev/null 2>" + base + ".err";
    Baked b;
    b.dir = dir;
    const int raw = std::system(command.c_str());
    b.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    b.err = slurp(base + ".err");
    std::string error;
    b.has_image = korhost::read_image(base + ".exr", b.image, error);
    return b;
}

// A 2 x 2 quad facing +z (UV 0..1 over it) shaded by `material`, seen by
// `camera`.
json quad_scene(const json &camera, const json &shaders, const json &extra = json::object()) {
    json scene = {
        {"library", {KOR_LIBRARY}},
        {"declarations", {KOR_TEST_DECLARATIONS}},
        {"camera", camera},
        {"shaders", shaders},
        {"materials", {{"m", {{"shader", "material"}}}}},
        {"instances",
         {{"quad", {{"object", {{"primitive", "quad"}, {"size", 2}}}, {"material", "m"}}}}}};
    for (auto &[key, value] : extra.items()) scene[key] = value;
    return scene;
}

json bake_camera(int size, const json &lens_params = json::object()) {
    json params = {{"workingInstance", "quad"}};
    for (auto &[key, value] : lens_params.items()) params[key] = value;
    return {{"type", "orthographic"},
            {"resolution", {size, size}},
            {"position", {0, 0, 50}},
            {"look_at", {0, 0, 100}},
            {"lens", {{"shader", "kor_rtt_lens"}, {"params", params}}}};
}

// Diffuse-only standard material under a point light one unit above the
// quad's centre.
json lit_shaders() {
    return {
        {"model",
         {{"shader", "kor_base_BlinnIllumination"},
          {"params", {{"diffuse", {1, 1, 1}}, {"ambient", {0, 0, 0}}, {"specularLevel", 0}}}}},
        {"material", {{"shader", "kor_StandardMaterial"}, {"params", {{"illumination", "model"}}}}},
        {"lamp", {{"shader", "kor_OmniLight"}, {"params", {{"multiplier", 1.0}}}}}};
}

json lit_extra() {
    return {{"lights", {{"lamp", {{"shader", "lamp"}, {"type", "point"}, {"origin", {0, 0, 1}}}}}}};
}

}  // namespace

TEST(Bake, UnlitColourFillsTheWholeUvSquare) {
    const Baked b = render(
        quad_scene(
            bake_camera(4),
            {{"material", {{"shader", "kor_color"}, {"params", {{"color", {0.2, 0.4, 0.6}}}}}}}),
        "unlit");
    ASSERT_EQ(b.status, 0) << b.err;
    ASSERT_TRUE(b.has_image);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            const Color c = b.texel(x, y);
            EXPECT_NEAR(c.r, 0.2f, 1e-6) << x << "," << y;
            EXPECT_NEAR(c.b, 0.6f, 1e-6) << x << "," << y;
            EXPECT_NEAR(c.a, 1.0f, 1e-6) << x << "," << y;
        }
    EXPECT_EQ(b.err.find("error"), std::string::npos) << b.err;
}

TEST(Bake, DiffuseLightingMatchesTheViewFromStraightAbove) {
    const Baked baked = render(quad_scene(bake_camera(4), lit_shaders(), lit_extra()), "lit_bake");
    // the same quad seen orthographically from above: pixel (i, j) shows
    // the point that texel (i, j) stands for, seen along the same direction
    const json camera = {{"type", "orthographic"},
                         {"resolution", {4, 4}},
                         {"aperture", 2},
                         {"position", {0, 0, 5}},
                         {"look_at", {0, 0, 0}}};
    const Baked seen = render(quad_scene(camera, lit_shaders(), lit_extra()), "lit_view");
    ASSERT_TRUE(baked.has_image) << baked.err;
    ASSERT_TRUE(seen.has_image) << seen.err;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            const Color b = baked.texel(x, y), s = seen.texel(x, y);
            EXPECT_NEAR(b.r, s.r, 1e-4) << x << "," << y;
            EXPECT_NEAR(b.g, s.g, 1e-4) << x << "," << y;
            EXPECT_GT(b.r, 0.05f) << x << "," << y;
        }
    // lit by the cosine only: texel (1, 1) is the point (-0.25, -0.25),
    // texel (0, 0) the point (-0.75, -0.75); the light is one unit above
    const float near = 1.0f / std::sqrt(1.125f), far = 1.0f / std::sqrt(2.125f);
    EXPECT_NEAR(baked.texel(1, 1).r / baked.texel(0, 0).r, near / far, 1e-3);
    // symmetric about the centre
    EXPECT_NEAR(baked.texel(1, 1).r, baked.texel(2, 2).r, 1e-5);
    EXPECT_NEAR(baked.texel(0, 3).r, baked.texel(3, 0).r, 1e-5);
}

TEST(Bake, TriangleSelectionBakesOnlyTheSelectedHalf) {
    json extra = {{"data", {{"bits", {{"declaration", "test_bits"}, {"values", {{"word0", 1}}}}}}}};
    const Baked b = render(
        quad_scene(bake_camera(4, {{"triangleSelection", "bits"}}),
                   {{"material", {{"shader", "kor_color"}, {"params", {{"color", {1, 1, 1}}}}}}},
                   extra),
        "selection");
    ASSERT_TRUE(b.has_image) << b.err;
    // triangle 0 covers u >= v (the diagonal included); the rest is not baked
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_FLOAT_EQ(b.texel(x, y).a, x >= y ? 1.0f : 0.0f) << x << "," << y;

    // a selection with fewer bits than triangles is reported and ignored
    json sphere = quad_scene(
        bake_camera(4, {{"triangleSelection", "bits"}}),
        {{"material", {{"shader", "kor_color"}, {"params", {{"color", {1, 1, 1}}}}}}}, extra);
    sphere["instances"]["quad"]["object"] = {{"primitive", "sphere"}, {"segments", 16}};
    const Baked s = render(sphere, "short_selection");
    ASSERT_TRUE(s.has_image) << s.err;
    EXPECT_NE(
        s.err.find("RTT Projection: Invalid triangle selection. Ignoring triangle selection."),
        std::string::npos)
        << s.err;
    EXPECT_FLOAT_EQ(s.texel(1, 2).a, 1.0f);
    EXPECT_FLOAT_EQ(s.texel(3, 1).a, 1.0f);
}

TEST(Bake, WorkingInstanceWithoutTextureSpaceIsReported) {
    json scene =
        quad_scene(bake_camera(4, {{"uvChannelId", 3}}),
                   {{"material", {{"shader", "kor_color"}, {"params", {{"color", {1, 1, 1}}}}}}});
    const Baked b = render(scene, "no_channel");
    EXPECT_NE(
        b.err.find("Render to Texture: Failed to create acceleration structure (unkown error)."),
        std::string::npos)
        << b.err;
    EXPECT_NE(b.err.find("map channel 3 is not a texture space of the working instance"),
              std::string::npos)
        << b.err;
    ASSERT_TRUE(b.has_image);
    EXPECT_FLOAT_EQ(b.texel(2, 2).a, 0.0f);
}

// A detail quad over the middle four texels: above the working quad it is
// found by the search from the offset surface down; below it only by the
// two-sided search, which goes on from the working point through the surface
// (not back up over the stretch the first probe covered).
TEST(Bake, ProjectionShadesTheDetailAndRecordsItsHeight) {
    struct Case {
        float detail_z;
        bool two_sided;
    };
    for (const Case &k : {Case{0.05f, false}, Case{-0.05f, true}}) {
        SCOPED_TRACE(k.detail_z);
        json shaders = {{"material", {{"shader", "kor_color"}, {"params", {{"color", {1, 0, 0}}}}}},
                        {"green", {{"shader", "kor_color"}, {"params", {{"color", {0, 1, 0}}}}}}};
        json extra = {
            {"materials", {{"m", {{"shader", "material"}}}, {"detail", {{"shader", "green"}}}}},
            {"framebuffers",
             {{{"index", 7}, {"type", "scalar"}, {"file", "projection_height.exr"}}}}};
        json scene = quad_scene(bake_camera(4, {{"projectionOn", true},
                                                {"rayOffset", 0.1},
                                                {"twoSided", k.two_sided},
                                                {"useWorkingModelOnMiss", true}}),
                                shaders, extra);
        scene["instances"]["detail"] = {{"object", {{"primitive", "quad"}, {"size", 1}}},
                                        {"translate", {0, 0, k.detail_z}},
                                        {"material", "detail"}};
        const Baked b = render(scene, k.two_sided ? "projection_below" : "projection");
        ASSERT_TRUE(b.has_image) << b.err;
        korhost::ImageEntry height;
        std::string error;
        ASSERT_TRUE(korhost::read_image(b.dir + "/projection_height.exr", height, error)) << error;
        // the detail covers the middle four texels; the rest falls back to
        // the working model
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                const bool inside = x >= 1 && x <= 2 && y >= 1 && y <= 2;
                const Color c = b.texel(x, y);
                EXPECT_FLOAT_EQ(c.g, inside ? 1.0f : 0.0f) << x << "," << y;
                EXPECT_FLOAT_EQ(c.r, inside ? 0.0f : 1.0f) << x << "," << y;
                const float h = height.pixels[(static_cast<size_t>(y) * 4 + x) * 4];
                EXPECT_NEAR(h, inside ? k.detail_z : 0.0f, 1e-4) << x << "," << y;
            }
    }
}
