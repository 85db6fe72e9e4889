// Loading the modules of libkorhost from beside it.
#include "module.h"

#include <dlfcn.h>

#include <cstdlib>

#include "session.h"

namespace korhost {

namespace {

// The module's file: $env when set, else beside libkorhost (the build
// tree and an installed tree alike).
std::string module_path(const ModuleSpec &spec) {
    if (const char *env = getenv(spec.env); env && *env) return env;
    return host_dir() + "/" + spec.file;
}

}  // namespace

const void *load_module(ModuleSpec &spec, std::string &why) {
    std::call_once(spec.once, [&spec] {
        const std::string path = module_path(spec);
        void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char *e = dlerror();
            spec.why = "the " + std::string(spec.what) + " " + spec.file +
                       " could not be loaded: " + (e ? e : path);
            return;
        }
        using Entry = const int *(*)();
        auto entry = reinterpret_cast<Entry>(dlsym(handle, spec.entry));
        const int *abi = entry ? entry() : nullptr;
        if (!abi || *abi != spec.abi) {
            spec.why =
                "the " + std::string(spec.what) + " " + path +
                " is not one this korhost can use (" +
                (abi ? "interface " + std::to_string(*abi) + ", needs " + std::to_string(spec.abi)
                     : "no " + std::string(spec.entry)) +
                ")";
            dlclose(handle);
            return;
        }
        spec.module = abi;
    });
    why = spec.why;
    return spec.module;
}

}  // namespace korhost
