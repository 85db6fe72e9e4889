// Shading-context footprints per second: barycentric derivatives of a
// triangle under a perspective camera and the footprint of a texture
// channel, as a map asks for them on every sample.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "kor_context.h"

extern "C" void zoSetModuleHandle(void *handle);

namespace {

// Binds this program's copy of the library code to the bench host.
void bind_bench_host() {
    static const bool bound = [] {
        void *host = dlopen(KOR_BENCHHOST_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!host) {
            std::fprintf(stderr, "context benchmark: %s\n", dlerror());
            std::exit(1);
        }
        zoSetModuleHandle(host);
        return true;
    }();
    benchmark::DoNotOptimize(bound);
}

void BM_ContextFootprint(benchmark::State &bench) {
    bind_bench_host();
    zoCamera camera{};
    camera.focal = 1;
    camera.aperture = 1;
    camera.x_resolution = 640;
    camera.y_resolution = 480;
    zoOptions options{};
    RenderState state{};
    int primitive = 0;
    state.camera = &camera;
    state.options = &options;
    state.pri = &primitive;
    state.point = {0.1f, 0.0f, -3.0f};
    ShadingContext ctx;
    kor::contextCreate(&ctx, &state);
    long i = 0;
    for (auto _ : bench) {
        state.raster_x = static_cast<float>(i & 511);
        state.raster_y = static_cast<float>((i >> 9) & 255);
        ++i;
        Vector3 footprint;
        kor::channelFootprint(&state, &ctx, kContextSurface, 0, &footprint);
        benchmark::DoNotOptimize(footprint);
    }
    bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(BM_ContextFootprint);

}  // namespace
