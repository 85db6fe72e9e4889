// Feeds every file of the fuzz corpus (tests/fuzz/corpus/<target>/) to its
// target's entry point: the inputs that once broke a loader, the seeds and
// the edge cases, replayed by every test run. Exit status 1 when a folder
// names no target or holds no inputs.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "targets.h"

int main(int argc, char **argv) {
    const std::string root = argc > 1 ? argv[1] : KOR_FUZZ_CORPUS;
    int status = 0;
    korfuzz::prepare();
    for (const char *target : {"scene", "obj", "image", "profile"}) {
        const std::string dir = root + "/" + target;
        std::vector<std::string> files;
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
            closedir(d);
        }
        std::sort(files.begin(), files.end());
        if (files.empty()) {
            fprintf(stderr, "replay: %s: no inputs\n", dir.c_str());
            status = 1;
        }
        korfuzz::Entry run = korfuzz::entry(target);
        for (const std::string &f : files) {
            std::ifstream in(f, std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            const std::string bytes = ss.str();
            run(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        }
        printf("replay: %s: %zu inputs\n", target, files.size());
    }
    return status;
}
