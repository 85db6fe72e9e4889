// The scene's up axis. World space is Z-up; a scene written with +Y up
// ("up": "y") is turned into it at load by a quarter turn about X.
#pragma once

#include <nlohmann/json.hpp>

#include "session.h"

namespace korhost {

// The world-space up vector a scene's own numbers are written in: (0, 0, 1),
// or (0, 1, 0) for "up": "y". Any other value is an error naming its place.
Vector3 scene_up(const Session &s, const nlohmann::json &root);

// Turns a box or sphere built Z-up (poles, side faces' v along Z) into the
// same primitive of a Y-up scene, Y taking the part of Z.
void primitive_to_y_up(Mesh &m);

// Turns a scene loaded with +Y up into the Z-up world: the camera, every
// instance and every light keep their own spaces and are placed by their
// transform followed by the turn (x, y, z) -> (x, -z, y).
void convert_y_up(Session &s);

}  // namespace korhost
