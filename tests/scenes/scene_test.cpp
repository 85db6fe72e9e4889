// The library's shaders rendered by korrender: images reproduced pixel by
// pixel, and every example scene rendering cleanly.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "session.h"
#include "tempdir.h"

namespace {

std::string work_dir() {
    return kortest::temp_dir("korscene_test_");
}

// Runs korrender; returns its exit status.
int render(const std::string &scene, const std::string &image, const std::string &args = "") {
    const std::string command = std::string(KORRENDER) + " " + scene + " -o " + image +
                                " --threads 2 --no-progress " + args + " >" + image + ".log 2>&1";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

std::string log_of(const std::string &image) {
    std::ifstream in(image + ".log");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(BitmapRender, AQuadFramedByTheCameraShowsTheImagePixelForPixel) {
    const int n = 16;
    std::mt19937 random(3);
    std::vector<float> texels(n * n * 4);
    for (size_t i = 0; i < texels.size(); ++i)
        texels[i] = (i % 4 == 3) ? 1.0f : static_cast<float>(random() % 256) / 255.0f;
    const std::string dir = work_dir();
    std::string error;
    ASSERT_TRUE(korhost::write_image(dir + "/texels.png", n, n, 4, texels.data(), false, error))
        << error;
    const std::string scene = dir + "/bitmap.json";
    std::ofstream(scene) << R"({
      "camera": {"type": "orthographic", "resolution": [16, 16], "aperture": 2.0,
                 "position": [0, 0, 5], "look_at": [0, 0, 0]},
      "images": {"texels": {"file": "texels.png"}},
      "shaders": {
        "uv": {"shader": "kor_base_UVGenerator"},
        "map": {"shader": "kor_Bitmap", "params": {"image": "texels", "coords": "uv", "filtering": 2}}
      },
      "materials": {"m": {"shader": "map"}},
      "instances": {"q": {"object": {"primitive": "quad", "size": 2}, "material": "m"}}
    })";
    const std::string image = dir + "/bitmap.exr";
    ASSERT_EQ(render(scene, image), 0) << log_of(image);
    korhost::ImageEntry out;
    ASSERT_TRUE(korhost::read_image(image, out, error)) << error;
    ASSERT_EQ(out.image.width, n);
    ASSERT_EQ(out.image.height, n);
    int wrong = 0;
    for (int i = 0; i < n * n * 4; ++i)
        if (std::fabs(out.pixels[i] - texels[i]) > 0.5f / 255) ++wrong;
    EXPECT_EQ(wrong, 0);
}

// Element passes land beside the beauty image, each with its own values.
TEST(ElementRender, PassesAreWrittenNextToTheBeautyImage) {
    const std::string dir = work_dir() + "/elements";
    ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
    const std::string image = dir + "/beauty.png";
    ASSERT_EQ(render(std::string(KOR_SCENES) + "/elements.json", image, "--resolution 48x30"), 0)
        << log_of(image);
    std::string error;
    korhost::ImageEntry depth, alpha, diffuse;
    ASSERT_TRUE(korhost::read_image(dir + "/elements_depth.png", depth, error)) << error;
    ASSERT_TRUE(korhost::read_image(dir + "/elements_alpha.png", alpha, error)) << error;
    ASSERT_TRUE(korhost::read_image(dir + "/elements_diffuse.png", diffuse, error)) << error;
    ASSERT_EQ(depth.image.width, 48);
    auto at = [](const korhost::ImageEntry &e, int x, int y, int c) {
        return e.pixels[(static_cast<size_t>(y) * e.image.width + x) * 4 + c];
    };
    // the floor recedes upwards in the image: depth falls from near (white) to far
    EXPECT_GT(at(depth, 24, 1, 0), at(depth, 24, 12, 0));
    // alpha is 1 wherever a surface was hit
    EXPECT_NEAR(at(alpha, 24, 2, 3), 1.0f, 1e-3);
    // the sphere's diffuse pass is blue, the floor's grey
    EXPECT_GT(at(diffuse, 17, 12, 2), at(diffuse, 17, 12, 0));
}

// Objects without a material get the library's fallback material.
TEST(DefaultMaterial, ObjectsWithoutAMaterialAreShadedGrey) {
    const std::string dir = work_dir();
    const std::string scene = dir + "/nomaterial.json";
    std::ofstream(scene) << R"({
      "camera": {"resolution": [32, 24], "position": [0, 0, 4], "look_at": [0, 0, 0]},
      "instances": {"ball": {"object": {"primitive": "sphere", "radius": 1.2}}},
      "lights": {"lamp": {"shader": {"shader": "kor_OmniLight"}, "type": "point", "origin": [0, 0, 5]}}
    })";
    const std::string image = dir + "/nomaterial.exr";
    ASSERT_EQ(render(scene, image), 0) << log_of(image);
    korhost::ImageEntry out;
    std::string error;
    ASSERT_TRUE(korhost::read_image(image, out, error)) << error;
    const float *c = &out.pixels[(12 * 32 + 16) * 4];
    // grey: the 0.7 node colour times (0.7 ambient light + the lamp's light)
    EXPECT_GT(c[0], 0.5f);
    EXPECT_NEAR(c[0], c[1], 1e-4);
    EXPECT_NEAR(c[1], c[2], 1e-4);
}

// Every scene shipped in scenes/ renders, small, without an error message.
TEST(ExampleScenes, RenderCleanly) {
    DIR *d = opendir(KOR_SCENES);
    ASSERT_NE(d, nullptr);
    std::vector<std::string> scenes;
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0)
            scenes.push_back(name);
    }
    closedir(d);
    ASSERT_FALSE(scenes.empty());
    for (const std::string &name : scenes) {
        SCOPED_TRACE(name);
        const std::string image = work_dir() + "/" + name + ".png";
        EXPECT_EQ(
            render(std::string(KOR_SCENES) + "/" + name, image, "--resolution 64x48 --samples 1"),
            0)
            << log_of(image);
        EXPECT_EQ(log_of(image).find("error"), std::string::npos) << log_of(image);
    }
}

}  // namespace
