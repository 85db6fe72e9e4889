// Every catalogue name answers its version; companions and the exports
// that are not shaders are present.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "testhost/library.h"

namespace {

enum Companions { NONE = 0, INIT = 1, EXIT = 2, INIT_EXIT = 3 };

struct Entry {
    const char *name;
    int version;
    int companions;
};

#define KOR_NONE NONE
#define KOR_INIT INIT
#define KOR_EXIT EXIT
#define KOR_INIT_EXIT INIT_EXIT
const Entry kCatalogue[] = {
#define KOR_SHADER(name, version, companions) {#name, version, companions},
#include "catalogue.def"
#undef KOR_SHADER
};

// Data declarations export a version and nothing else.
const std::set<std::string> kDataDeclarations = {"kor_SceneData", "kor_ObjectData", "kor_NodeData"};

bool exported(const std::string &name) {
    return dlsym(kortest::library(), name.c_str()) != nullptr;
}

TEST(Catalogue, HasEveryShaderOnceWithTheVersionItsVersionFunctionAnswers) {
    std::set<std::string> names;
    for (const Entry &e : kCatalogue) {
        EXPECT_TRUE(names.insert(e.name).second) << e.name << " listed twice";
        auto version = reinterpret_cast<int (*)()>(
            dlsym(kortest::library(), (std::string(e.name) + "_version").c_str()));
        ASSERT_NE(version, nullptr) << e.name;
        EXPECT_EQ(version(), e.version) << e.name;
    }
    EXPECT_EQ(names.size(), 141u);
}

// A shader that is implemented exports exactly the companions the catalogue
// marks; one not yet implemented exports only its version.
TEST(Catalogue, ImplementedShadersExportTheirCompanions) {
    int implemented = 0;
    for (const Entry &e : kCatalogue) {
        const std::string name = e.name;
        if (kDataDeclarations.count(name)) {
            EXPECT_FALSE(exported(name)) << name;
            continue;
        }
        if (!exported(name)) continue;
        ++implemented;
        EXPECT_EQ(exported(name + "_init"), (e.companions & INIT) != 0) << name;
        EXPECT_EQ(exported(name + "_exit"), (e.companions & EXIT) != 0) << name;
    }
    EXPECT_GE(implemented, 9);
}

TEST(Catalogue, ExportsThatAreNotShaders) {
    for (const char *name : {"zoSetModuleHandle", "CallMaterial", "kor_dummy", "GlintTools"}) {
        EXPECT_TRUE(exported(name)) << name;
        EXPECT_FALSE(exported(std::string(name) + "_version")) << name;
    }
}

}  // namespace
