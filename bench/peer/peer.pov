// The peer benchmark scene: the content of peer.json for POV-Ray 3.7.
// peer.json is Z-up and right-handed; here Y is up and the frame is
// left-handed, so every point (x, y, z) of peer.json is <x, z, y> here.
#version 3.7;

global_settings {
  assumed_gamma 1.0
  max_trace_level 5
  ambient_light rgb 1
}

camera {
  perspective
  location <0, 2.5, -8>
  look_at <0, 0.8, 0>
  right x * image_width / image_height
  angle 53.130102  // 2 atan(aperture / (2 focal)) with aperture 1, focal 1
}

background { rgb <0.45, 0.55, 0.78> }

// Exponential fog: half the colour at 40 units, as peer.json's far 0.5 over
// the range 0..40 (distance = 40 / ln 2).
fog { fog_type 1 distance 57.7078 rgb <0.7, 0.72, 0.78> }

// Spot: full cone angles 35 (hotspot) and 55 (falloff) in peer.json.
light_source {
  <4, 7, -5> rgb <1.0, 0.96, 0.88> * 1.1
  spotlight
  point_at <4 - 0.52, 7 - 0.78, -5 + 0.62>
  radius 17.5
  falloff 27.5
}
light_source { <-6, 4, -4> rgb <0.75, 0.82, 1.0> * 0.45 }

#declare Clear = finish { ambient 0 diffuse 0.02 specular 1 roughness 0.002 }

// The ground: a 40 x 40 square, checker cells of 2 units, 25 % reflection.
box {
  <-20, -0.001, -20>, <20, 0, 20>
  pigment { checker rgb 0.1, rgb 0.9 scale 2 }
  finish { ambient 0.1 diffuse 0.8 specular 0.2 roughness 0.02 reflection 0.25 }
}

sphere {
  <-1.8, 0.8, 0.4>, 0.8
  pigment {
    marble turbulence 1
    color_map { [0 rgb <0.22, 0.2, 0.18>] [0.1 rgb <0.93, 0.91, 0.86>] [1 rgb <0.93, 0.91, 0.86>] }
    scale 0.45
  }
  finish { ambient 0.1 diffuse 0.9 phong 1 phong_size 60 }
}

sphere {
  <1.8, 0.7, 0.6>, 0.7
  pigment {
    wood turbulence 0.1
    color_map { [0 rgb <0.42, 0.22, 0.08>] [1 rgb <0.72, 0.46, 0.22>] }
    scale 0.12
  }
  finish { ambient 0.1 diffuse 0.8 specular 0.5 roughness 0.01 }
}

sphere {
  <0.6, 0.6, -1.6>, 0.6
  pigment { rgbf <1, 1, 1, 1> }
  finish { Clear reflection 0.12 }
  interior { ior 1.5 }
}

sphere {
  <-0.6, 0.6, -0.9>, 0.6
  pigment { rgb 0.02 }
  finish { Clear reflection 0.9 }
}
