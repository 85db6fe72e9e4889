// Scene loading: the camera, the render options and the frame buffers.
#include "scene_loader.h"

namespace korhost {
namespace loading {

// Camera, options, frame buffers.

void Loader::build_camera(const json &spec, const std::string &ptr) {
    const std::string object = "camera";
    require_object(spec, ptr, object);
    check_keys(
        spec, ptr, object,
        {"type",      "resolution", "focal",       "aperture", "aspect",   "offset",     "clip",
         "transform", "translate",  "rotate",      "scale",    "position", "look_at",    "up",
         "lens",      "output",     "environment", "volume",   "frame",    "description"});
    zoCamera &c = s_.camera.cam;
    if (spec.contains("type")) {
        std::string t = text(spec["type"], ptr + "/type", object, "\"type\"");
        if (t == "orthographic")
            c.orthographic = 1;
        else if (t != "perspective")
            fail(ptr + "/type", object,
                 "unknown camera type " + quote(t) + " (perspective or orthographic)");
    }
    if (spec.contains("resolution")) {
        float r[2];
        numbers(spec["resolution"], ptr + "/resolution", object, "\"resolution\"", r, 2, 2);
        if (!(r[0] >= 1 && r[1] >= 1 && r[0] <= kMaxResolution && r[1] <= kMaxResolution) ||
            r[0] != std::floor(r[0]) || r[1] != std::floor(r[1]))
            fail(
                ptr + "/resolution", object,
                "the resolution must be whole numbers from 1 to " + std::to_string(kMaxResolution));
        c.x_resolution = static_cast<int>(r[0]);
        c.y_resolution = static_cast<int>(r[1]);
    }
    if (spec.contains("focal"))
        c.focal = number(spec["focal"], ptr + "/focal", object, "\"focal\"");
    if (spec.contains("aperture"))
        c.aperture = number(spec["aperture"], ptr + "/aperture", object, "\"aperture\"");
    if (spec.contains("aspect"))
        c.aspect = number(spec["aspect"], ptr + "/aspect", object, "\"aspect\"");
    if (c.focal <= 0 || c.aperture <= 0)
        fail(ptr, object, "\"focal\" and \"aperture\" must be positive");
    if (spec.contains("offset")) {
        float o[2];
        numbers(spec["offset"], ptr + "/offset", object, "\"offset\"", o, 2, 2);
        c.x_offset = o[0];
        c.y_offset = o[1];
    }
    if (spec.contains("clip")) {
        float o[2];
        numbers(spec["clip"], ptr + "/clip", object, "\"clip\"", o, 2, 2);
        if (!(o[0] >= 0 && o[1] > o[0]))
            fail(ptr + "/clip", object, "\"clip\" must be [near, far] with 0 <= near < far");
        c.clip_near = o[0];
        c.clip_far = o[1];
    }
    if (spec.contains("frame"))
        c.frame = integer(spec["frame"], ptr + "/frame", object, "\"frame\"");
    float *m = s_.camera.to_world;
    if (spec.contains("position") || spec.contains("look_at")) {
        Vector3 eye = spec.contains("position")
                          ? vec3(spec["position"], ptr + "/position", object, "\"position\"")
                          : Vector3{0, 0, 0};
        Vector3 at = spec.contains("look_at")
                         ? vec3(spec["look_at"], ptr + "/look_at", object, "\"look_at\"")
                         : Vector3{0, 0, -1};
        if (!within_world(eye))
            fail(ptr + "/position", object,
                 std::string("\"position\" is out of range (coordinates up to ") +
                     kMaxCoordinateText + ")");
        if (!within_world(at))
            fail(ptr + "/look_at", object,
                 std::string("\"look_at\" is out of range (coordinates up to ") +
                     kMaxCoordinateText + ")");
        if (!(dot(eye - at, eye - at) > 0))
            fail(ptr, object, "\"position\" and \"look_at\" are the same point");
        Vector3 z = normalize(eye - at);  // the camera looks down -Z
        // World up by default; a view within 5 degrees of straight up or down
        // (a plan view) keeps +Y at the top of the image instead.
        Vector3 up = spec.contains("up") ? vec3(spec["up"], ptr + "/up", object, "\"up\"")
                     : std::fabs(dot(z, up_)) > 0.996f ? Vector3{0, up_.z, -up_.y}
                                                       : up_;
        Vector3 x = cross(up, z);
        if (!finite(x) || dot(x, x) < 1e-12f)
            fail(ptr, object, "\"up\" is parallel to the viewing direction");
        x = normalize(x);
        Vector3 y = cross(z, x);
        float mm[16] = {x.x, x.y, x.z, 0, y.x,   y.y,   y.z,   0,
                        z.x, z.y, z.z, 0, eye.x, eye.y, eye.z, 1};
        memcpy(m, mm, sizeof mm);
    } else {
        transform(spec, ptr, object, m);
    }
    if (!mat_invert(s_.camera.from_world, m) || !finite(s_.camera.from_world, 16))
        fail(ptr, object, "the transform cannot be inverted");
    auto list = [&](const char *key, std::vector<Tag> &out) {
        if (!spec.contains(key)) return;
        const json &v = spec[key];
        const std::string kptr = ptr + "/" + key;
        if (v.is_array()) {
            for (size_t i = 0; i < v.size(); ++i)
                if (Tag t = shader_ref(v[i], kptr + "/" + std::to_string(i), object,
                                       std::string("camera:") + key + std::to_string(i)))
                    out.push_back(t);
        } else if (Tag t = shader_ref(v, kptr, object, std::string("camera:") + key)) {
            out.push_back(t);
        }
    };
    list("lens", s_.camera.lens);
    list("output", s_.camera.output);
    if (!s_.camera.lens.empty()) c.lens = s_.camera.lens[0];
    if (!s_.camera.output.empty()) c.output = s_.camera.output[0];
    if (spec.contains("environment"))
        c.environment =
            shader_ref(spec["environment"], ptr + "/environment", object, "camera:environment");
    if (spec.contains("volume"))
        c.volume = shader_ref(spec["volume"], ptr + "/volume", object, "camera:volume");
}

void Loader::build_options(const json &spec, const std::string &ptr) {
    const std::string object = "options";
    require_object(spec, ptr, object);
    check_keys(spec, ptr, object,
               {"samples", "shadow", "render_mode", "trace", "reflection_depth", "refraction_depth",
                "trace_depth", "shadow_depth", "finalgather_rays", "filter", "gamma", "split_depth",
                "contrast", "data", "description"});
    zoOptions &o = s_.options;
    if (spec.contains("samples")) {
        o.samples = integer(spec["samples"], ptr + "/samples", object, "\"samples\"");
        if (o.samples < 1 || o.samples > 4096)
            fail(ptr + "/samples", object, "\"samples\" must be between 1 and 4096");
    }
    if (spec.contains("shadow")) {
        std::string m = text(spec["shadow"], ptr + "/shadow", object, "\"shadow\"");
        if (m == "off")
            o.shadow = ZO_SHADOW_OFF;
        else if (m == "on")
            o.shadow = ZO_SHADOW_ON;
        else if (m == "sorted")
            o.shadow = ZO_SHADOW_SORTED;
        else if (m == "segments")
            o.shadow = ZO_SHADOW_SEGMENTS;
        else
            fail(ptr + "/shadow", object,
                 "unknown shadow mode " + quote(m) + " (off, on, sorted or segments)");
    }
    if (spec.contains("render_mode")) {
        std::string m = text(spec["render_mode"], ptr + "/render_mode", object, "\"render_mode\"");
        if (m.size() != 1) fail(ptr + "/render_mode", object, "\"render_mode\" is one character");
        o.render_mode = m[0];
    }
    if (spec.contains("trace"))
        o.trace = boolean(spec["trace"], ptr + "/trace", object, "\"trace\"") ? 1 : 0;
    auto depth = [&](const char *key, int32_t &out) {
        if (spec.contains(key)) {
            out = integer(spec[key], ptr + "/" + key, object, quote(key));
            if (out < 0) fail(ptr + "/" + key, object, quote(key) + " must not be negative");
            if (out > kMaxRayDepth)
                fail(ptr + "/" + key, object,
                     quote(key) + " must be at most " + std::to_string(kMaxRayDepth));
        }
    };
    depth("reflection_depth", o.reflection_depth);
    depth("refraction_depth", o.refraction_depth);
    depth("trace_depth", o.trace_depth);
    depth("shadow_depth", o.shadow_depth);
    depth("finalgather_rays", o.finalgather_rays);
    depth("split_depth", o.split_depth);
    if (spec.contains("contrast")) {
        float c[4];
        numbers(spec["contrast"], ptr + "/contrast", object, "\"contrast\"", c, 4, 4);
        for (int k = 0; k < 4; ++k) {
            if (!(c[k] > 0.0f)) fail(ptr + "/contrast", object, "\"contrast\" must be positive");
            o.contrast[k] = c[k];
        }
    }
    if (spec.contains("filter")) {
        std::string f = text(spec["filter"], ptr + "/filter", object, "\"filter\"");
        if (f == "nearest")
            o.filter = 0;
        else if (f == "bilinear")
            o.filter = 1;
        else if (f == "pyramid")
            o.filter = 2;
        else
            fail(ptr + "/filter", object,
                 "unknown filter " + quote(f) + " (nearest, bilinear or pyramid)");
    }
    if (spec.contains("gamma")) {
        o.gamma = number(spec["gamma"], ptr + "/gamma", object, "\"gamma\"");
        if (!(o.gamma > 0)) fail(ptr + "/gamma", object, "\"gamma\" must be positive");
    }
    if (spec.contains("data"))
        o.userdata = resolve_tag(Kind::Data, spec["data"], ptr + "/data", object, "data");
}

void Loader::build_framebuffers(const json &spec, const std::string &ptr) {
    if (!spec.is_array()) fail(ptr, "framebuffers", "\"framebuffers\" must be a list");
    for (size_t i = 0; i < spec.size(); ++i) {
        const std::string fptr = ptr + "/" + std::to_string(i);
        const std::string object = "frame buffer " + std::to_string(i);
        const json &f = require_object(spec[i], fptr, object);
        check_keys(f, fptr, object, {"index", "type", "file", "description"});
        if (!f.contains("index")) fail(fptr, object, "no \"index\" given");
        int index = integer(f["index"], fptr + "/index", object, "\"index\"");
        if (index < 0 || index >= kMaxFrameBuffers)
            fail(fptr + "/index", object,
                 "\"index\" must be between 0 and " + std::to_string(kMaxFrameBuffers - 1));
        if (static_cast<int>(s_.framebuffers.size()) <= index) s_.framebuffers.resize(index + 1);
        FrameBuffer &fb = s_.framebuffers[index];
        if (fb.type >= 0)
            fail(fptr + "/index", object,
                 "frame buffer " + std::to_string(index) + " is declared twice");
        fb.index = index;
        std::string type =
            f.contains("type") ? text(f["type"], fptr + "/type", object, "\"type\"") : "color";
        if (type == "color")
            fb.type = ZO_FB_COLOR, fb.components = 4;
        else if (type == "scalar")
            fb.type = ZO_FB_SCALAR, fb.components = 1;
        else if (type == "vector")
            fb.type = ZO_FB_VECTOR, fb.components = 3;
        else if (type == "integer")
            fb.type = ZO_FB_INTEGER, fb.components = 1;
        else
            fail(
                fptr + "/type", object,
                "unknown frame buffer type " + quote(type) + " (color, scalar, vector or integer)");
        if (f.contains("file"))
            // relative names are written next to the colour image
            fb.file = text(f["file"], fptr + "/file", object, "\"file\"");
    }
}

}  // namespace loading
}  // namespace korhost
