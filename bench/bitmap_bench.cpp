// Filtered bitmap lookups per second: reads of a built image pyramid, and
// whole bitmap shading calls through the UV generator, on one thread and
// on several at once (after the one-time build no thread waits for
// another).
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "maps/bmm_filter.h"
#include "maps/kor_stduv.h"
#include "maps/tex_bitmap.h"

extern "C" {
void zoSetModuleHandle(void *handle);
zoBoolean kor_base_UVGenerator(void *result, RenderState *state, void *params,
                               UVLookupRequest *request);
void kor_base_UVGenerator_init(RenderState *state, void *params, zoBoolean *request);
}

namespace {

constexpr Tag kImage = 10, kCoords = 20;
constexpr int kSize = 512;

typedef zoBoolean (*ShaderFunction)(void *, RenderState *, void *, void *);

// The UV generator's parameters as these tests use them.
struct UVParams : UVGeneratorParams {
    UVParams() {
        uTiling = vTiling = 3;
        wAngle = 0.3f;
    }
};

zoBoolean generator(void *result, RenderState *state, void *params, void *arg) {
    return kor_base_UVGenerator(result, state, params, static_cast<UVLookupRequest *>(arg));
}

// The bench's own host module, its image and the shader instances, set up
// once for the whole program.
struct Setup {
    void *host = nullptr;
    zoImage header{};
    std::vector<Color> pixels;
    UVParams uv;
    BitmapParams bitmap{};
    kor::ImageFilter *filter = nullptr;
    zoOptions options{};
    zoCamera camera{};

    Setup() {
        host = dlopen(KOR_BITMAPHOST_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!host) {
            std::fprintf(stderr, "bitmap benchmark: %s\n", dlerror());
            std::exit(1);
        }
        zoSetModuleHandle(host);
        pixels.resize(kSize * kSize);
        for (int y = 0; y < kSize; ++y)
            for (int x = 0; x < kSize; ++x)
                pixels[y * kSize + x] = Color{float((x * 7 + y * 3) % 256) / 255,
                                              float((x ^ y) % 256) / 255, float(y % 256) / 255, 1};
        header.width = header.height = kSize;
        header.type = ZO_IMG_TYPE_RGBA;
        header.data = pixels.data();
        auto add_image =
            reinterpret_cast<void (*)(Tag, zoImage *)>(dlsym(host, "bitmaphost_add_image"));
        auto add_shader = reinterpret_cast<void (*)(Tag, ShaderFunction, void *)>(
            dlsym(host, "bitmaphost_add_shader"));
        add_image(kImage, &header);
        add_shader(kCoords, generator, &uv);

        filter = kor::filterCreate(kImage, 1.0f, nullptr, nullptr, 0, 0);
        kor::filterEnsurePyramid(filter);

        camera.focal = 1;
        camera.aperture = 1;
        camera.x_resolution = 640;
        camera.y_resolution = 480;
        RenderState state = make_state(0);
        zoBoolean more = 0;
        kor_base_UVGenerator_init(&state, nullptr, &more);
        bitmap.clipW = bitmap.clipH = 1;
        bitmap.premultipliedAlpha = 1;
        bitmap.image = kImage;
        bitmap.coords = kCoords;
        bitmap.playbackRate = 1;
        bitmap.frameStep = 1;
        kor_Bitmap_init(&state, nullptr, &more);
        kor_Bitmap_init(&state, &bitmap, &more);
    }

    RenderState make_state(int thread) {
        RenderState state{};
        state.camera = &camera;
        state.options = &options;
        state.thread = thread;
        state.type = ZO_RAY_EYE;
        return state;
    }
};

Setup &setup() {
    static Setup s;
    return s;
}

// A spread of coordinates and footprints from below one texel to a
// quarter of the image.
struct Probe {
    float u, v, du, dv;
};

std::vector<Probe> make_probes() {
    std::vector<Probe> probes;
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return float(seed >> 8) / float(1 << 24);
    };
    for (int i = 0; i < 4096; ++i) {
        const float scale = float(1 << (i % 8)) / kSize;
        probes.push_back({next(), next(), scale * (0.5f + next()), scale * (0.5f + next())});
    }
    return probes;
}

const std::vector<Probe> &probes() {
    static const std::vector<Probe> p = make_probes();
    return p;
}

void BM_FilterRead(benchmark::State &bench) {
    Setup &s = setup();
    const std::vector<Probe> &p = probes();
    size_t i = static_cast<size_t>(bench.thread_index()) * 977;
    for (auto _ : bench) {
        const Probe &q = p[i++ & 4095];
        Color c;
        kor::filterRead(s.filter, q.u, q.v, q.du, q.dv, &c);
        benchmark::DoNotOptimize(c);
    }
    bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_FilterRead)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

void BM_BitmapThroughGenerator(benchmark::State &bench) {
    Setup &s = setup();
    RenderState state = s.make_state(bench.thread_index());
    int primitive = 0;
    state.pri = &primitive;
    state.point = {0.1f, 0.0f, -3.0f};
    Vector3 tex{0, 0, 0};
    state.tex_list = &tex;
    state.tex_count = 1;
    state.normal = state.normal_geom = {0, 0, 1};
    state.dir = {0, 0, -1};
    const std::vector<Probe> &p = probes();
    size_t i = static_cast<size_t>(bench.thread_index()) * 977;
    int mode = 0;
    for (auto _ : bench) {
        const Probe &q = p[i++ & 4095];
        tex = {q.u, q.v, 0};
        state.raster_x = q.u * 640;
        state.raster_y = q.v * 480;
        Color c;
        kor_Bitmap(&c, &state, &s.bitmap, &mode);
        benchmark::DoNotOptimize(c);
    }
    bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_BitmapThroughGenerator)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

}  // namespace
