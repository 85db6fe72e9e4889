// Cost of a host call made through the library's forwarding function
// against the same call made directly to the host function.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {

using NoiseFn = float (*)(float);

struct Modules {
    void *library = nullptr;
    void *host = nullptr;
    NoiseFn direct = nullptr;
    NoiseFn forwarded = nullptr;

    Modules() {
        library = dlopen(KOR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        host = dlopen(KOR_BENCHHOST_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!library || !host) {
            std::fprintf(stderr, "binding benchmark: %s\n", dlerror());
            std::exit(1);
        }
        reinterpret_cast<void (*)(void *)>(dlsym(library, "zoSetModuleHandle"))(host);
        direct = reinterpret_cast<NoiseFn>(dlsym(host, "zo_noise_1d"));
        forwarded = reinterpret_cast<NoiseFn>(dlsym(library, "zo_noise_1d"));
        forwarded(1.0f);  // resolve once
    }
};

Modules &modules() {
    static Modules m;
    return m;
}

void run(benchmark::State &state, NoiseFn fn) {
    float x = 1.0f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fn);
        x = fn(x) + 1.0f;
        benchmark::DoNotOptimize(x);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_HostCallDirect(benchmark::State &state) { run(state, modules().direct); }
void BM_HostCallForwarded(benchmark::State &state) { run(state, modules().forwarded); }

BENCHMARK(BM_HostCallDirect);
BENCHMARK(BM_HostCallForwarded);

}  // namespace
