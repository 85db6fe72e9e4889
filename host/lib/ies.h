// Photometric profiles from IES LM-63 text files (the 1986, 1995 and 2002
// forms): reading, and the candela of a direction with the file's symmetry.
#pragma once

#include <nlohmann/json.hpp>

#include "session.h"

namespace korhost {

// Reads `path` into a new profile of the session (database type
// ZO_DB_LIGHTPROFILE). A malformed file throws an Error naming the file,
// the line and the problem.
LightProfile &load_light_profile(Session &s, const std::string &path);
// The same from the file's text, `path` naming it in messages.
LightProfile &read_light_profile(Session &s, const std::string &path, const std::string &text);

// Candela towards vertical angle `vertical` (degrees from the nadir) and
// horizontal angle `horizontal` (degrees, counter-clockwise seen from above
// from the 0 plane), bilinear over the table, the horizontal angle folded
// by the file's symmetry; 0 outside its vertical angles.
float profile_candela(const LightProfile &p, float vertical, float horizontal);

// The profile a light entry names (`"profile"` in the scene): read it and
// give the light's shader its web distribution. `shader_params` are the
// shader's parameters as the scene wrote them (or null); without an
// intensity there, the light takes the file's peak candela. `where` is the
// key's place in the scene for messages. A file that cannot be found leaves
// the light without a profile, which the photometric light shades diffuse.
void attach_light_profile(Session &s, LightEntry &light, const std::string &path,
                          const nlohmann::json *shader_params, const std::string &where);

// Queries 128 to 131 on a profile tag: the horizontal (phi) and vertical
// (theta, from the nadir) angle ranges in radians; false for other tags.
bool light_profile_range(Tag tag, int code, float *out);

}  // namespace korhost
