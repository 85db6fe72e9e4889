// Loadable modules of libkorhost: parts that bring many libraries of their
// own (the image module, the model importer) are shared objects loaded
// from beside libkorhost the first time a render needs them, never linked,
// so that renders without that need never load their libraries.
#pragma once

#include <mutex>
#include <string>

namespace korhost {

// One module: its file, the environment variable that may name another
// file instead, the entry point that returns its interface (a struct whose
// first member is the interface number), the number this korhost needs and
// what messages call it ("image module").
struct ModuleSpec {
    ModuleSpec(const char *file_, const char *env_, const char *entry_, int abi_, const char *what_)
        : file(file_), env(env_), entry(entry_), abi(abi_), what(what_) {}
    const char *file;
    const char *env;
    const char *entry;
    int abi;
    const char *what;
    // Filled by the first load_module.
    std::once_flag once;
    const void *module = nullptr;
    std::string why;
};

// The module's interface, loaded on the first call and kept loaded to the
// end of the process; null with `why` when it cannot be loaded.
const void *load_module(ModuleSpec &spec, std::string &why);

}  // namespace korhost
