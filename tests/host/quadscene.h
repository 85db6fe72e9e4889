// The scene most host tests render: an 8x8 orthographic view filled by a
// 4x4 quad whose material is the shader instance `material_shader` of
// `shaders`, with the library and the test shaders loaded.
#pragma once

#include <string>

#include "session.h"

inline korhost::json quad_scene(const korhost::json &shaders, const std::string &material_shader) {
    return korhost::json{
        {"library", {KOR_LIBRARY, KOR_TESTSHADERS}},
        {"declarations", {KOR_TEST_DECLARATIONS}},
        {"camera",
         {{"type", "orthographic"},
          {"resolution", {8, 8}},
          {"aperture", 4},
          {"position", {0, 0, 5}},
          {"look_at", {0, 0, 0}}}},
        {"shaders", shaders},
        {"materials", {{"m", {{"shader", material_shader}}}}},
        {"instances",
         {{"quad", {{"object", {{"primitive", "quad"}, {"size", 4}}}, {"material", "m"}}}}}};
}
