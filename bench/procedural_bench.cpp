// Procedural map evaluations per second: marble and cellular (plain and
// fractal) at points that the XYZ generator supplies, in colour and bump
// mode, as a material asks for them on every sample.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "kor_support.h"

extern "C" void zoSetModuleHandle(void *handle);

namespace {

constexpr Tag kCoords = 40;

typedef zoBoolean (*ShaderFunction)(void *, RenderState *, void *, void *);

struct XYZParams {
    int32_t coordinateSystem = 3, mapChannel = 1;  // world XYZ
    Vector3 offset{0.3f, 0, 0}, tiling{2, 2, 2}, angle{0, 0.2f, 0};
    float blur = 1, blurOffset = 0;
};

struct MarbleParams {
    Color color1{0.9f, 0.9f, 0.85f, 1}, color2{0.2f, 0.25f, 0.3f, 1};
    Tag map1 = 0, map2 = 0;
    zoBoolean map1On = 0, map2On = 0;
    float size = 100, veinWidth = 0.025f;
    Tag coords = kCoords, output = 0;
    int32_t gbufferId = 0;
};

struct CellularParams {
    Color cellColor{1, 1, 1, 1}, divColor1{0.5f, 0.5f, 0.5f, 1}, divColor2{0, 0, 0, 1};
    Tag cellMap = 0, divMap1 = 0, divMap2 = 0;
    zoBoolean cellMapOn = 0, divMap1On = 0, divMap2On = 0;
    float variation = 20, size = 0.5f, spread = 0.5f;
    float thresholdLow = 0, thresholdMid = 0.5f, thresholdHigh = 1;
    int32_t cellType = 0;
    zoBoolean fractal = 0;
    float iterations = 3, roughness = 0, fractalSpread = 0.6f;
    zoBoolean adaptive = 0;
    Tag coords = kCoords, output = 0;
    int32_t gbufferId = 0;
};

}  // namespace

extern "C" {
zoBoolean kor_base_XYZGenerator(Color *, RenderState *, XYZParams *);
zoBoolean kor_Marble(Color *, RenderState *, MarbleParams *, const int *);
void kor_Marble_init(RenderState *, void *, zoBoolean *);
void kor_Marble_exit(RenderState *, void *);
zoBoolean kor_Cellular(Color *, RenderState *, CellularParams *, const int *);
void kor_Cellular_init(RenderState *, void *, zoBoolean *);
void kor_Cellular_exit(RenderState *, void *);
}

namespace {

zoBoolean generator(void *result, RenderState *state, void *params, void *) {
    return kor_base_XYZGenerator(static_cast<Color *>(result), state,
                                 static_cast<XYZParams *>(params));
}

// The bench host module, opened once; every benchmark here binds this
// program's copy of the library to it before it starts (other benchmarks
// bind theirs).
void *bench_host() {
    static void *host = [] {
        void *h = dlopen(KOR_BENCHHOST_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            std::fprintf(stderr, "procedural benchmark: %s\n", dlerror());
            std::exit(1);
        }
        zoSetModuleHandle(h);
        auto add = reinterpret_cast<void (*)(Tag, ShaderFunction, void *)>(
            dlsym(h, "benchhost_add_shader"));
        static XYZParams xyz;
        add(kCoords, generator, &xyz);
        return h;
    }();
    zoSetModuleHandle(host);
    return host;
}

RenderState make_state(zoCamera *camera, zoOptions *options) {
    RenderState state{};
    state.camera = camera;
    state.options = options;
    state.type = ZO_RAY_EYE;
    return state;
}

template <typename Params, typename Shade, typename Init, typename Exit>
void evaluate(benchmark::State &bench, Params &params, Shade shade, Init init, Exit exit,
              int mode) {
    bench_host();
    zoCamera camera{};
    camera.focal = camera.aperture = 1;
    camera.x_resolution = 640;
    camera.y_resolution = 480;
    zoOptions options{};
    RenderState state = make_state(&camera, &options);
    zoBoolean more = 0;
    init(&state, nullptr, &more);
    init(&state, &params, &more);
    long i = 0;
    for (auto _ : bench) {
        state.point = {0.013f * static_cast<float>(i & 1023), 0.021f * static_cast<float>(i >> 10),
                       0.5f};
        ++i;
        Color c;
        benchmark::DoNotOptimize(shade(&c, &state, &params, &mode));
        benchmark::DoNotOptimize(c);
    }
    exit(&state, &params);
    bench.SetItemsProcessed(bench.iterations());
}

void BM_MarbleColour(benchmark::State &bench) {
    MarbleParams p;
    evaluate(bench, p, kor_Marble, kor_Marble_init, kor_Marble_exit, 0);
}
BENCHMARK(BM_MarbleColour);

void BM_MarbleBump(benchmark::State &bench) {
    MarbleParams p;
    evaluate(bench, p, kor_Marble, kor_Marble_init, kor_Marble_exit, 2);
}
BENCHMARK(BM_MarbleBump);

void BM_CellularColour(benchmark::State &bench) {
    CellularParams p;
    evaluate(bench, p, kor_Cellular, kor_Cellular_init, kor_Cellular_exit, 0);
}
BENCHMARK(BM_CellularColour);

void BM_CellularFractal(benchmark::State &bench) {
    CellularParams p;
    p.fractal = 1;
    p.iterations = 4;
    evaluate(bench, p, kor_Cellular, kor_Cellular_init, kor_Cellular_exit, 0);
}
BENCHMARK(BM_CellularFractal);

}  // namespace
