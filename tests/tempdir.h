// A temporary folder shared by the tests of one test program, removed with
// everything in it when the program ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace kortest {

inline const std::string &temp_dir(const char *prefix) {
    struct Folder {
        std::string path;
        ~Folder() {
            std::error_code ignored;
            if (!path.empty()) std::filesystem::remove_all(path, ignored);
        }
    };
    static const Folder folder = [prefix] {
        std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
        return Folder{mkdtemp(pattern.data()) ? pattern : std::string()};
    }();
    return folder.path;
}

}  // namespace kortest
