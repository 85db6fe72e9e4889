// One libFuzzer target; KOR_FUZZ_TARGET names the entry point it drives.
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return korfuzz::KOR_FUZZ_TARGET(data, size);
}
