// A minimal host module for the binding benchmark.
#include <korshaders/host.h>

extern "C" __attribute__((visibility("default"))) float zo_noise_1d(float p) { return p * 0.5f; }
