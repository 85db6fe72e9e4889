// NAME_version of every shader in the catalogue.
#include "shader.h"

#define KOR_SHADER(name, version, companions) \
    KOR_EXPORT int name##_version(void) {     \
        return version;                       \
    }
#include "catalogue.def"
