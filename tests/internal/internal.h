// Tests of the library's internal functions: the library's code is linked
// into the test program, whose copy of the binding layer is bound to the
// test host module.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "testhost/testhost.h"
#include "testhost/testhost_scene.h"

extern "C" void zoSetModuleHandle(void *handle);

namespace internal {

inline void *host_module() {
    static void *handle = [] {
        void *h = dlopen(KOR_TESTHOST_A, RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            std::fprintf(stderr, "cannot load the test host: %s\n", dlerror());
            std::abort();
        }
        zoSetModuleHandle(h);
        return h;
    }();
    return handle;
}

template <typename T>
T *host_object(const char *getter) {
    return reinterpret_cast<T *(*)()>(dlsym(host_module(), getter))();
}

inline TestHostControl &host() { return *host_object<TestHostControl>("testhost_control"); }
inline TestScene &scene() { return *host_object<TestScene>("testhost_scene"); }
inline void clear_shaderstate() {
    reinterpret_cast<void (*)()>(dlsym(host_module(), "testhost_clear_shaderstate"))();
}

// Resets the test host to an empty scene.
inline void reset() {
    host_module();
    host().reset();
    scene().reset();
    clear_shaderstate();
}

}  // namespace internal
