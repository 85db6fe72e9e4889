// Gradient ramp evaluations per second: the key search and blend alone,
// and whole shading calls through the UV generator, bound to the bitmap
// benchmark's host module (instance slot, per-thread pointers, shader
// calls by tag).
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kor_support.h"
#include "maps/kor_stduv.h"
#include "maps/tex_gradramp.h"
#include "maps/tex_pattern.h"

extern "C" {
void zoSetModuleHandle(void *handle);
zoBoolean kor_base_UVGenerator(void *result, RenderState *state, void *params,
                               UVLookupRequest *request);
}

namespace {

constexpr Tag kRampCoords = 30;

typedef zoBoolean (*ShaderFunction)(void *, RenderState *, void *, void *);

// The UV generator's parameters as these tests use them.
struct UVParams : UVGeneratorParams {
    UVParams() {
        uTiling = vTiling = 2;
    }
};

zoBoolean generator(void *result, RenderState *state, void *params, void *arg) {
    return kor_base_UVGenerator(result, state, params, static_cast<UVLookupRequest *>(arg));
}

// The ramp's record with room for its keys behind it.
struct RampRecord {
    alignas(16) unsigned char bytes[1024];
    GradientRampParams &params = *new (bytes) GradientRampParams();
};

struct RampSetup {
    void *host = nullptr;
    UVParams uv;
    RampRecord record;
    zoOptions options{};
    zoCamera camera{};

    RampSetup() {
        host = dlopen(KOR_BITMAPHOST_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!host) {
            std::fprintf(stderr, "pattern benchmark: %s\n", dlerror());
            std::exit(1);
        }
        zoSetModuleHandle(host);
        auto add_shader = reinterpret_cast<void (*)(Tag, ShaderFunction, void *)>(
            dlsym(host, "bitmaphost_add_shader"));
        add_shader(kRampCoords, generator, &uv);
        camera.focal = camera.aperture = 1;
        camera.x_resolution = 640;
        camera.y_resolution = 480;

        GradientRampParams &p = record.params;
        // element k of the key array lies start + k elements past its slot
        char *slot = reinterpret_cast<char *>(p.keys.storage);
        const size_t behind =
            sizeof(GradientRampParams) - size_t(slot - reinterpret_cast<char *>(&p));
        const int start = int((behind + sizeof(RampKeyParams) - 1) / sizeof(RampKeyParams));
        p.keys.start = start;
        p.keys.count = 6;
        auto *keys =
            reinterpret_cast<RampKeyParams *>(slot + size_t(start) * sizeof(RampKeyParams));
        const float positions[6] = {0.9f, 0.0f, 0.35f, 0.5f, 1.0f, 0.2f};
        for (int k = 0; k < 6; ++k)
            keys[k] =
                RampKeyParams{positions[k], k, Color{k / 6.0f, 1 - k / 6.0f, 0.5f, 1}, k % 4, 0, 0};
        p.gradientType = kRampRadial;
        p.noiseSize = 1;
        p.coords = kRampCoords;
        RenderState state{};
        state.camera = &camera;
        state.options = &options;
        kor::noiseInit(&state);
    }
};

RampSetup &setup() {
    static RampSetup s;
    return s;
}

void BM_GradientRampLookup(benchmark::State &bench) {
    RampSetup &s = setup();
    zoSetModuleHandle(s.host);
    RenderState state{};
    state.camera = &s.camera;
    state.options = &s.options;
    kor::RampInstance *inst = kor::rampBuild(&state, &s.record.params);
    int mode = 0;
    long i = 0;
    for (auto _ : bench) {
        const float x = float(i++ & 1023) / 1023.0f;
        Color c = kor::rampColour(&state, inst, x, &mode);
        benchmark::DoNotOptimize(c);
    }
    kor::rampDestroy(inst);
    bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_GradientRampLookup);

void BM_GradientRampThroughGenerator(benchmark::State &bench) {
    RampSetup &s = setup();
    zoSetModuleHandle(s.host);
    zoCamera camera = s.camera;
    RenderState state{};
    int primitive = 0;
    state.camera = &camera;
    state.options = &s.options;
    state.type = ZO_RAY_EYE;
    state.pri = &primitive;
    state.point = {0.1f, 0.0f, -3.0f};
    Vector3 tex{0, 0, 0};
    state.tex_list = &tex;
    state.tex_count = 1;
    state.normal = state.normal_geom = {0, 0, 1};
    state.dir = {0, 0, -1};
    // the ramp's instance sits in the host's one instance slot for the run
    void **slot = kor::user_slot(&state);
    void *saved = slot ? *slot : nullptr;
    kor::RampInstance *inst = kor::rampBuild(&state, &s.record.params);
    if (slot) *slot = inst;
    int mode = 0;
    long i = 0;
    for (auto _ : bench) {
        tex = {float(i & 255) / 255.0f, float((i >> 8) & 255) / 255.0f, 0};
        state.raster_x = tex.x * 640;
        state.raster_y = tex.y * 480;
        ++i;
        Color c;
        kor_GradientRamp(&c, &state, &s.record.params, &mode);
        benchmark::DoNotOptimize(c);
    }
    if (slot) *slot = saved;
    kor::rampDestroy(inst);
    bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_GradientRampThroughGenerator);

}  // namespace
