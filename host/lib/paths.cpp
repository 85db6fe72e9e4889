// Where korrender finds the shader library and the shader declarations: in
// the build tree, beside the sources; once installed, relative to the folder
// libkorhost was loaded from, so that an installed tree can be moved.
#include <dlfcn.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "session.h"

namespace korhost {

// The folder libkorhost was loaded from.
std::string host_dir() {
    Dl_info info;
    if (!dladdr(reinterpret_cast<void *>(&host_dir), &info) || !info.dli_fname) return ".";
    std::string path = info.dli_fname;
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

namespace {

bool readable(const std::string &path) {
    return access(path.c_str(), R_OK) == 0;
}

// In the build tree the library lies one folder above libkorhost.
bool in_build_tree() {
    return readable(host_dir() + "/../libkorshaders.so");
}

}  // namespace

std::string default_library_path() {
    if (in_build_tree()) return host_dir() + "/../libkorshaders.so";
    const std::string beside = host_dir() + "/" KOR_LIBRARY_SONAME;
    return readable(beside) ? beside : std::string(KOR_INSTALL_LIBDIR "/" KOR_LIBRARY_SONAME);
}

std::vector<std::string> default_shader_dirs() {
    if (in_build_tree() && readable(KOR_SHADERS_DIR)) return {KOR_SHADERS_DIR};
    const std::string relative = host_dir() + "/" KOR_LIBDIR_TO_SHADERS;
    return {readable(relative) ? relative : std::string(KOR_INSTALL_SHADERS_DIR)};
}

}  // namespace korhost
