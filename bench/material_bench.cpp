// Shading samples per second of the standard material: a Blinn model, a
// bitmap in the diffuse slot read through its UV generator, and two
// lights. The host answers from fixed data, so the figure is the shading
// call alone.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "illum.h"
#include "illum_models.h"
#include "maps/kor_stduv.h"
#include "maps/tex_bitmap.h"

extern "C" {
void zoSetModuleHandle(void *handle);
zoBoolean kor_base_UVGenerator(void *, RenderState *, void *, UVLookupRequest *);
void kor_base_UVGenerator_init(RenderState *, void *, zoBoolean *);
zoBoolean kor_base_BlinnIllumination(Color *, RenderState *, kor::BlinnParams *, IllumRecord *);
zoBoolean kor_StandardMaterial(Color *, RenderState *, void *);
void kor_StandardMaterial_init(RenderState *, void *, zoBoolean *);
}

namespace {

typedef zoBoolean (*ShaderFunction)(void *, RenderState *, void *, void *);

constexpr Tag kUV = 10, kBitmap = 11, kBlinn = 12, kMaterial = 13, kImage = 20, kLights = 30;
constexpr int kSize = 256;

// The UV generator's parameters as these tests use them.
struct UVParams : UVGeneratorParams {
    UVParams() { uTiling = vTiling = 4; }
};

template <typename T>
struct Array {
    int32_t start, count;
    T first;
};

// The standard material's record with its arrays' storage appended.
struct MaterialParams {
    IllumMaterialParams base;
    Array<zoBoolean> mapEnabled;
    Array<Tag> maps;
    Array<float> mapAmounts;
    int32_t ambientDiffuseMapLock;
    int32_t unused[3];
    int32_t materialId;
    Tag illumination;
    zoBoolean enabledStore[24];
    Tag mapStore[24];
    float amountStore[24];
};

template <typename S, typename T>
int32_t start_of(const T *slot, const S *store) {
    return static_cast<int32_t>(
        (reinterpret_cast<const char *>(store) - reinterpret_cast<const char *>(slot)) / sizeof(S));
}

struct LightList {
    IllumLightList list;
    Tag more[1];
};

zoBoolean run_uv(void *r, RenderState *s, void *p, void *a) {
    return kor_base_UVGenerator(r, s, p, static_cast<UVLookupRequest *>(a));
}
zoBoolean run_bitmap(void *r, RenderState *s, void *p, void *a) {
    return kor_Bitmap(static_cast<Color *>(r), s, static_cast<BitmapParams *>(p),
                      static_cast<int *>(a));
}
zoBoolean run_blinn(void *r, RenderState *s, void *p, void *a) {
    return kor_base_BlinnIllumination(static_cast<Color *>(r), s,
                                      static_cast<kor::BlinnParams *>(p),
                                      static_cast<IllumRecord *>(a));
}
zoBoolean run_material(void *r, RenderState *s, void *p, void *) {
    return kor_StandardMaterial(static_cast<Color *>(r), s, p);
}

struct Scene {
    void *host = nullptr;
    std::vector<unsigned char> texels;
    zoImage image{};
    UVParams uv;
    BitmapParams bitmap{};
    kor::BlinnParams blinn{};
    MaterialParams material{};
    LightList lights{};
    zoCamera camera{};
    zoOptions options{};
    Vector3 tex{0.3f, 0.6f, 0};
    int primitive = 0;
    zoShaderRecord *(*record)(Tag) = nullptr;
    zoBoolean (*run)(void *, RenderState *, Tag, void *) = nullptr;

    Scene() {
        // KOR_MATERIALHOST names another build of the host module (A/B runs)
        const char *path = std::getenv("KOR_MATERIALHOST");
        host = dlopen(path && *path ? path : KOR_MATERIALHOST_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!host) {
            std::fprintf(stderr, "material benchmark: %s\n", dlerror());
            std::exit(1);
        }
        auto add = reinterpret_cast<void (*)(Tag, ShaderFunction, void *)>(
            dlsym(host, "materialhost_add_shader"));
        auto set_lights =
            reinterpret_cast<void (*)(Tag, const void *)>(dlsym(host, "materialhost_set_lights"));
        auto set_image =
            reinterpret_cast<void (*)(Tag, zoImage *)>(dlsym(host, "materialhost_set_image"));
        run = reinterpret_cast<zoBoolean (*)(void *, RenderState *, Tag, void *)>(
            dlsym(host, "materialhost_run"));

        texels.resize(kSize * kSize * 4);
        for (int i = 0; i < kSize * kSize; ++i) {
            texels[4 * i + 0] = static_cast<unsigned char>(i * 7);
            texels[4 * i + 1] = static_cast<unsigned char>(i >> 3);
            texels[4 * i + 2] = static_cast<unsigned char>(i * 13);
            texels[4 * i + 3] = 255;
        }
        image.width = image.height = kSize;
        image.bits = 8;
        image.comp = 4;
        image.type = ZO_IMG_TYPE_RGBA;
        image.data = texels.data();
        set_image(kImage, &image);

        bitmap.clipW = bitmap.clipH = 1;
        bitmap.premultipliedAlpha = 1;
        bitmap.image = kImage;
        bitmap.coords = kUV;
        bitmap.playbackRate = 1;
        bitmap.frameStep = 1;
        blinn.diffuse = {0.6f, 0.5f, 0.4f, 1};
        blinn.ambient = blinn.diffuse;
        blinn.specular = {1, 1, 1, 1};
        blinn.specularLevel = 1.2f;
        blinn.glossiness = 0.5f;
        material.base.opacity = 1;
        material.base.ior = 1;
        material.illumination = kBlinn;
        material.mapEnabled.start = start_of(&material.mapEnabled.first, material.enabledStore);
        material.maps.start = start_of(&material.maps.first, material.mapStore);
        material.mapAmounts.start = start_of(&material.mapAmounts.first, material.amountStore);
        material.mapEnabled.count = material.maps.count = material.mapAmounts.count = 24;
        material.enabledStore[1] = 1;
        material.mapStore[1] = kBitmap;
        material.amountStore[1] = 1.0f;
        lights.list = {2, 0, {1}, 0};
        lights.more[0] = 2;
        set_lights(kLights, &lights);

        add(kUV, run_uv, &uv);
        add(kBitmap, run_bitmap, &bitmap);
        add(kBlinn, run_blinn, &blinn);
        add(kMaterial, run_material, &material);

        zoSetModuleHandle(host);
        camera.focal = 1;
        camera.aperture = 1;
        camera.x_resolution = 640;
        camera.y_resolution = 480;
        RenderState state = make_state();
        zoBoolean more = 0;
        kor_base_UVGenerator_init(&state, nullptr, &more);
        state.shader = record_of(kBitmap);
        kor_Bitmap_init(&state, nullptr, &more);
        kor_Bitmap_init(&state, &bitmap, &more);
        state.shader = record_of(kMaterial);
        kor_StandardMaterial_init(&state, nullptr, &more);
        kor_StandardMaterial_init(&state, &material, &more);
        state.shader = nullptr;
    }

    zoShaderRecord *record_of(Tag tag) {
        auto fn = reinterpret_cast<zoShaderRecord *(*)(Tag)>(dlsym(host, "materialhost_record"));
        return fn(tag);
    }

    RenderState make_state() {
        RenderState s{};
        s.camera = &camera;
        s.options = &options;
        s.type = ZO_RAY_EYE;
        s.instance = 40;
        s.normal = s.normal_geom = {0, 0, 1};
        s.dir = {0, 0, -1};
        s.dot_nd = -1;
        s.point = {0.1f, 0.1f, -3};
        s.tex_list = &tex;
        s.tex_count = 1;
        s.pri = &primitive;
        s.bary[0] = 0.3f;
        s.bary[1] = 0.3f;
        s.bary[2] = 0.4f;
        return s;
    }
};

Scene &scene() {
    static Scene s;
    return s;
}

void BM_StandardMaterialSample(benchmark::State &bench) {
    Scene &sc = scene();
    zoSetModuleHandle(sc.host);
    RenderState state = sc.make_state();
    long i = 0;
    for (auto _ : bench) {
        sc.tex = {static_cast<float>(i & 1023) / 1024.0f,
                  static_cast<float>((i >> 10) & 1023) / 1024.0f, 0};
        state.raster_x = static_cast<float>(i & 511);
        ++i;
        Color c;
        sc.run(&c, &state, kMaterial, nullptr);
        benchmark::DoNotOptimize(c);
    }
    bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_StandardMaterialSample);

}  // namespace
