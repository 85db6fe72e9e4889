// Fuzz entry points over the host's loaders. Messages are silenced; an
// Error is the expected answer to a broken input.
#include "targets.h"

#include <OpenImageIO/imageio.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "ies.h"
#include "scene_load.h"

namespace korhost {
extern std::atomic<int> g_verbosity;
}

namespace korfuzz {

using namespace korhost;

namespace {

// Declarations and the shader library are loaded once; a scene that adds
// declarations of its own gets a fresh set for the next input.
struct Shared {
    Declarations decls;
    size_t count = 0;
    void *library = nullptr;
    Shared() {
        g_verbosity = -1;
        load();
        // Held open, so that each scene's load and close only count.
        library = dlopen(KOR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    }
    void load() {
        decls = Declarations();
        decls.load_dir(KOR_SHADERS_DIR);
        count = decls.all().size();
    }
};

Shared &shared() {
    static Shared s;
    return s;
}

}  // namespace

void prepare() {
    shared();
    // A file no format reads: every image plugin loads its tables once.
    char path[64];
    snprintf(path, sizeof path, "/tmp/korfuzz-%d.none", static_cast<int>(getpid()));
    if (FILE *f = fopen(path, "wb")) {
        fputs("not an image", f);
        fclose(f);
        OIIO::ImageInput::open(path);
        unlink(path);
    }
    // Each input is read only by the reader its extension names (not by
    // every other format in turn), on the calling thread.
    OIIO::attribute("try_all_readers", 0);
    OIIO::attribute("threads", 1);
    OIIO::attribute("exr_threads", -1);
}

int scene(const uint8_t *data, size_t size) {
    Shared &sh = shared();
    Session s;
    s.settings.libraries = {KOR_LIBRARY_PATH};
    s.settings.shader_dirs = {KOR_SHADERS_DIR};
    s.decls = std::move(sh.decls);
    s.threads = 1;
    set_session(&s);
    try {
        load_scene_text(s, KOR_SCENES_DIR "/fuzz.json",
                        std::string(reinterpret_cast<const char *>(data), size));
        s.output_file = KOR_SCENES_DIR "/fuzz.png";
        check_output_files(s);
    } catch (const Error &) {
    } catch (const DeclarationError &) {
    }
    s.shaders.clear();
    for (auto &lib : s.libraries)
        if (lib.handle) dlclose(lib.handle);
    s.libraries.clear();
    if (s.self_handle) dlclose(s.self_handle);
    set_session(nullptr);
    sh.decls = std::move(s.decls);
    if (sh.decls.all().size() != sh.count) sh.load();
    return 0;
}

int obj(const uint8_t *data, size_t size) {
    shared();
    Mesh mesh;
    std::vector<std::string> warnings;
    try {
        read_obj_mesh(std::string(reinterpret_cast<const char *>(data), size), "fuzz.obj", mesh,
                      warnings);
    } catch (const Error &) {
    }
    return 0;
}

int image(const uint8_t *data, size_t size) {
    shared();
    if (size < 2) return 0;
    static const char *kinds[] = {"png", "exr", "tif", "jpg", "hdr", "tga", "bmp", "ppm"};
    const char *kind = kinds[data[0] % 8];
    const float filter = data[1] % 3 == 0 ? 0.0f : data[1] % 3;
    char path[64];
    snprintf(path, sizeof path, "/tmp/korfuzz-%d.%s", static_cast<int>(getpid()), kind);
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    fwrite(data + 2, 1, size - 2, f);
    fclose(f);
    // Headers that claim images past a few million samples only exercise
    // the allocator (the loader's own limit is far larger): left out.
    if (auto in = OIIO::ImageInput::open(path)) {
        const OIIO::ImageSpec &spec = in->spec();
        if (static_cast<double>(spec.width) * spec.height * spec.nchannels > (1 << 22)) {
            unlink(path);
            return 0;
        }
    }
    Session s;
    set_session(&s);
    s.images.emplace_back();
    ImageEntry &img = s.images.back();
    img.tag = s.add_db(ZO_DB_TEXTURE, nullptr, 0, "fuzz");
    std::string error;
    if (read_texture(path, filter, img, error)) {
        s.db[img.tag].record = &img.image;
        s.db[img.tag].size = sizeof(zoImage);
        // Every level, the corners of each, and lookups across and far
        // outside the image, filtered at every scale.
        for (int k = 0; k < img.image.levels; ++k) {
            zoImage *level = zo_img_pyramid_get_level(&img.image, k);
            if (!level) continue;
            Color c;
            zo_img_get_color(level, &c, 0, 0);
            zo_img_get_color(level, &c, level->width - 1, level->height - 1);
        }
        const float coords[] = {0.0f, 0.5f, 0.999f, -3.25f, 1e9f, -1e30f, NAN, INFINITY};
        for (float u : coords)
            for (float v : {0.25f, u}) {
                Color c;
                Vector3 p{u, v, 0};
                zo_lookup_color_texture(&c, nullptr, img.tag, &p);
                for (float scale : {0.0f, 1e-3f, 0.5f, 1e6f, NAN}) {
                    zoMatrix st = {scale, 0, 0, 0, 0, scale * 0.5f, 0, 0, 0, 0, 1, 0, u, v, 0, 1};
                    zo_lookup_filter_color_texture(&c, nullptr, img.tag, 8.0f, 1.0f, st);
                }
            }
    }
    set_session(nullptr);
    unlink(path);
    return 0;
}

int profile(const uint8_t *data, size_t size) {
    shared();
    Session s;
    try {
        const LightProfile &p = read_light_profile(
            s, "fuzz.ies", std::string(reinterpret_cast<const char *>(data), size));
        // Both poles, the edges of the table and far outside it.
        for (float v : {-1.0f, 0.0f, 45.5f, 90.0f, 180.0f, 1e9f, NAN})
            for (float h : {-720.5f, 0.0f, 45.0f, 90.0f, 135.0f, 270.0f, 359.9f, 1e30f, NAN})
                profile_candela(p, v, h);
    } catch (const Error &) {
    }
    return 0;
}

Entry entry(const std::string &target) {
    if (target == "scene") return scene;
    if (target == "obj") return obj;
    if (target == "image") return image;
    if (target == "profile") return profile;
    return nullptr;
}

}  // namespace korfuzz
