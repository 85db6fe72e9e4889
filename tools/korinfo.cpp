// korinfo: loads a shader library the way a host does and lists its
// catalogue, one shader a line with its version and companions.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

namespace {

struct Entry {
    const char *name;
    int version;
    const char *companions;
};

#define KOR_NONE ""
#define KOR_INIT "init"
#define KOR_EXIT "exit"
#define KOR_INIT_EXIT "init exit"
const Entry kCatalogue[] = {
#define KOR_SHADER(name, version, companions) {#name, version, companions},
#include "catalogue.def"
#undef KOR_SHADER
};

}  // namespace

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "libkorshaders.so";
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "korinfo: cannot load shader library %s: %s\n", path, dlerror());
        return 1;
    }
    int missing = 0, count = 0;
    for (const Entry &e : kCatalogue) {
        char symbol[256];
        std::snprintf(symbol, sizeof symbol, "%s_version", e.name);
        auto version = reinterpret_cast<int (*)()>(dlsym(lib, symbol));
        if (!version) {
            std::fprintf(stderr, "korinfo: %s: %s is not exported\n", path, symbol);
            ++missing;
            continue;
        }
        std::printf("%-40s %2d  %s\n", e.name, version(), e.companions);
        ++count;
    }
    std::printf("%d shaders in %s\n", count, path);
    dlclose(lib);
    return missing ? 1 : 0;
}
