// The reference host renderer as a library: the korrender command and the
// parts that tests use directly.
#pragma once

#include <string>

namespace korhost {

class Session;

// The korrender command; returns the exit status.
int korrender_main(int argc, char **argv);

// Loads `scene` into `s` (whose settings are filled), renders it, runs the
// output shaders, writes the images and shuts the shaders down. Returns the
// exit status; problems are reported on standard error.
int render_scene(Session &s, const std::string &scene);

}  // namespace korhost
