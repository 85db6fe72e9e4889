// Noise evaluations and cellular nearest-feature searches per second on
// one thread, with the library's own support code linked in.
#include <benchmark/benchmark.h>

#include "kor_support.h"

namespace {

// Built once without a host: the benchmark is single-threaded.
void tables() {
    static const bool built = (kor::noiseInit(nullptr), true);
    benchmark::DoNotOptimize(built);
}

// Points along a line through many lattice cells.
inline Vector3 point(long i) {
    const float t = static_cast<float>(i & 0xFFFF);
    return Vector3{t * 0.137f, t * 0.071f + 3.3f, t * 0.029f - 7.1f};
}

void BM_Noise3(benchmark::State &state) {
    tables();
    long i = 0;
    for (auto _ : state) {
        float n = kor::noise3(point(i++));
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Noise4(benchmark::State &state) {
    tables();
    long i = 0;
    for (auto _ : state) {
        const Vector3 p = point(i);
        float n = kor::noise4(p.x, p.y, p.z, static_cast<float>(i++ & 0xFF) * 0.31f);
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations());
}

// Nearest `range(0)` features (the cellular map asks for two).
void BM_CellSearch(benchmark::State &state) {
    tables();
    const int count = static_cast<int>(state.range(0));
    kor::CellFeature list[8];
    long i = 0;
    for (auto _ : state) {
        kor::cellNearestFeatures(point(i++), list, count);
        benchmark::DoNotOptimize(list[0].dist2);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Noise3);
BENCHMARK(BM_Noise4);
BENCHMARK(BM_CellSearch)->Arg(2)->Arg(4);

}  // namespace
