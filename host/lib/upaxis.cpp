// Up axis of a scene file: world space is Z-up, and a scene whose numbers
// were written with +Y up is re-expressed at load by a quarter turn about X
// that takes +Y to +Z. Objects, lights and the camera keep their own spaces;
// only where they are placed in the world changes.
#include "upaxis.h"

#include <cstring>

#include "jsonloc.h"

namespace korhost {

namespace {

// Row-vector matrix of the turn: (x, y, z) -> (x, -z, y).
constexpr float kYUpToZUp[16] = {1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1};

void turn(float *to_world, float *from_world) {
    float out[16];
    mat_mul(out, to_world, kYUpToZUp);
    memcpy(to_world, out, sizeof out);
    mat_invert(from_world, to_world);
}

}  // namespace

Vector3 scene_up(const Session &s, const nlohmann::json &root) {
    if (!root.is_object() || !root.contains("up")) return {0, 0, 1};
    const nlohmann::json &v = root["up"];
    if (v.is_string()) {
        const std::string axis = v.get<std::string>();
        if (axis == "z" || axis == "Z") return {0, 0, 1};
        if (axis == "y" || axis == "Y") return {0, 1, 0};
    }
    TextPosition p = locate(s.scene_text, "/up");
    std::string where = s.scene_file;
    if (p.line) where += ":" + std::to_string(p.line) + ":" + std::to_string(p.column);
    throw Error(where + ": scene: \"up\" must be \"z\" (the default) or \"y\", got " + v.dump());
}

void primitive_to_y_up(Mesh &m) {
    // The inverse turn, (x, y, z) -> (x, z, -y): once the scene is turned
    // the primitive stands in the world as its Z-up twin does.
    for (auto *list : {&m.P, &m.N})
        for (Vector3 &v : *list) v = {v.x, v.z, -v.y};
}

void convert_y_up(Session &s) {
    turn(s.camera.to_world, s.camera.from_world);
    for (InstanceEntry &inst : s.instances) turn(inst.rec.to_world, inst.rec.from_world);
    for (LightEntry &l : s.lights) turn(l.inst.to_world, l.inst.from_world);
}

}  // namespace korhost
