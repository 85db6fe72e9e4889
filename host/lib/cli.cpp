// The korrender command: argument handling, the order of a render, frames
// and interrupts, and the output checks made before anything is loaded.
#include <dlfcn.h>
#include <signal.h>
#include <tbb/global_control.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include "image_file.h"
#include "import.h"
#include "korhost.h"
#include "scene_load.h"

namespace korhost {

extern std::atomic<int> g_verbosity;

namespace {

const char *kUsage =
    "usage: korrender SCENE.json [-o IMAGE] [options]\n"
    "       korrender --import MODEL -o IMAGE [options]\n"
    "       korrender --describe-shaders [FILE] [--shaders DIR]\n"
    "       korrender --version\n"
    "\n"
    "  -o IMAGE          the image to write (.exr, .png, .tif, .jpg); overrides the scene's\n"
    "                    \"output\"; a run of # takes the frame number (beauty.####.exr)\n"
    "  --import MODEL    a quick look at a model file (.glb, .gltf, .obj with its .mtl,\n"
    "                    .dae, .ply, .fbx, ...): its materials, a camera framing it and a\n"
    "                    key and fill light; a model given in place of SCENE.json is the same\n"
    "  --threads N       render threads (default: all cores)\n"
    "  --resolution WxH  image size (overrides the camera's)\n"
    "  --samples N       eye samples per pixel (overrides the options')\n"
    "  --crop WxH+X+Y    render only this pixel region (X, Y from the top left); an EXR\n"
    "                    keeps the whole image as its display window\n"
    "  --frame N         the frame number the shaders see\n"
    "  --frames A-B      render frames A to B, one image each (the output needs a #)\n"
    "  --bit-depth D     8, 16, half or float (default: float for .exr and .tif, 8 else)\n"
    "  --colorspace CS   colour space of 8- and 16-bit colour outputs (default sRGB, or\n"
    "                    the scene's \"gamma\"); linear or an OpenColorIO name; float\n"
    "                    outputs are always scene-linear\n"
    "  --elements-into-exr  write the frame buffers as layers of the .exr output\n"
    "  --set POINTER=JSON  replace the scene value at a JSON pointer (/options/shadow=false)\n"
    "  --library PATH    a shader library; may be given several times (overrides the\n"
    "                    scene's \"library\")\n"
    "  --shaders DIR     a folder of shader declarations (default: the shipped ones)\n"
    "  --verbose N       0 fatal, 1 errors, 2 warnings (default), 3 info, 5 debug\n"
    "  --quiet           errors only, no progress\n"
    "  --no-progress     no progress bar or progress lines\n"
    "  --benchmark       print one line of ray and sample counts and the time\n"
    "  --describe-shaders [FILE]  write the shader reference (Markdown) to FILE or stdout\n"
    "  --version         the versions of korrender, the shader library, Embree, the\n"
    "                    PNG and EXR libraries and the image module (other formats)\n"
    "\n"
    "Ctrl-C (or SIGTERM) stops the render and writes what is rendered so far, the rest\n"
    "transparent; a second Ctrl-C quits at once.\n";

bool parse_int(const char *text, int &out) {
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (!text[0] || *end) return false;
    out = static_cast<int>(v);
    return true;
}

int usage_error(const std::string &problem) {
    fprintf(stderr, "korrender: error: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

// Interrupts: the first SIGINT or SIGTERM stops the render (the buckets in
// flight are left where they are) so that what is rendered gets written;
// a second one quits at once.
std::atomic<Session *> g_running{nullptr};
volatile sig_atomic_t g_signal = 0;

void on_signal(int sig) {
    if (g_signal) {
        const char text[] = "\nkorrender: interrupted again: quitting without writing\n";
        ssize_t w = write(2, text, sizeof text - 1);
        (void)w;
        _exit(128 + sig);
    }
    g_signal = sig;
    if (Session *s = g_running.load()) s->aborted = true;
    const char text[] =
        "\nkorrender: interrupted: stopping and writing what is rendered (again to quit at "
        "once)\n";
    ssize_t w = write(2, text, sizeof text - 1);
    (void)w;
}

struct SignalGuard {
    struct sigaction old_int {
    }, old_term{};
    SignalGuard() {
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int);
        sigaction(SIGTERM, &sa, &old_term);
    }
    ~SignalGuard() {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
    }
};

// "WxH+X+Y", X and Y optional.
bool parse_crop(const std::string &text, Settings &s) {
    const char *t = text.c_str();
    int w = 0, h = 0, x = 0, y = 0, used = 0, more = 0;
    if (sscanf(t, "%dx%d%n", &w, &h, &used) != 2) return false;
    if (t[used] && (sscanf(t + used, "+%d+%d%n", &x, &y, &more) != 2 || t[used + more]))
        return false;
    if (w < 1 || h < 1 || x < 0 || y < 0) return false;
    s.crop_w = w, s.crop_h = h, s.crop_x = x, s.crop_y = y;
    return true;
}

int print_version() {
    printf("korrender %s (korshaders reference host)\n", KOR_VERSION);
    std::string library = default_library_path();
    if (access(library.c_str(), R_OK) != 0) library += " (not found)";
    printf("shader library: korshaders %s, %s\n", KOR_VERSION, library.c_str());
    printf("Embree %s\n", embree_version().c_str());
    printf("%s\n", direct_image_versions().c_str());
    // The other formats and OpenColorIO's colour spaces: the image module.
    std::string module, why;
    if (module_versions(module, why))
        printf("image module: %s\n", module.c_str());
    else
        printf("image module: not available (%s)\n", why.c_str());
    return 0;
}

// The render's threads: as given, else one per processor.
int render_threads(const Settings &settings) {
    return settings.threads > 0
               ? settings.threads
               : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace

std::string substitute_frame(const std::string &path, int frame) {
    const size_t last = path.find_last_of('#');
    if (last == std::string::npos) return path;
    size_t first = last;
    while (first > 0 && path[first - 1] == '#') --first;
    char number[32];
    snprintf(number, sizeof number, "%0*d", static_cast<int>(last - first + 1), frame);
    return path.substr(0, first) + number + path.substr(last + 1);
}

void check_outputs(Session &s, const json &root) {
    const Settings &set = s.settings;
    OutputSetup &out = s.out;
    out = OutputSetup{};
    out.threads = std::max(1, s.threads);  // the render's, set before the scene is read
    out.bit_depth = set.bit_depth;
    const json *options = root.is_object() && root.contains("options") ? &root["options"] : nullptr;
    if (!set.colorspace.empty()) {
        out.colorspace = set.colorspace;
    } else if (options && options->is_object() && options->contains("gamma") &&
               (*options)["gamma"].is_number()) {
        // The scene's display gamma: 8- and 16-bit outputs hold v^(1/gamma).
        const double g = (*options)["gamma"].get<double>();
        if (!(g > 0)) throw Error(s.scene_file + ": options: \"gamma\" must be above 0");
        char name[32];
        snprintf(name, sizeof name, "Gamma%g", g);
        out.colorspace = g == 1 ? "linear" : name;
    }
    if (!builtin_colour_space(out.colorspace)) {
        // Other names are OpenColorIO's, known to the image module.
        bool known = false;
        std::string names, why;
        if (!module_colour_space(out.colorspace, known, names, why))
            throw Error("colour space \"" + out.colorspace +
                        "\" is not one of linear, sRGB, Rec709, GammaN (Gamma2.2), and " + why);
        if (!known)
            throw Error("colour space \"" + out.colorspace +
                        "\" is unknown; known: linear, sRGB, Rec709, GammaN (Gamma2.2), " + names);
    }
    out.layers = set.elements_into_exr ||
                 (root.is_object() && root.contains("elements_into_exr") &&
                  root["elements_into_exr"].is_boolean() && root["elements_into_exr"].get<bool>());
    int frame = 0;
    if (set.has_frame)
        frame = set.frame;
    else if (root.is_object() && root.contains("camera") && root["camera"].is_object() &&
             root["camera"].contains("frame") && root["camera"]["frame"].is_number_integer())
        frame = root["camera"]["frame"].get<int>();
    std::string output = set.output;
    if (output.empty() && root.is_object() && root.contains("output") && root["output"].is_string())
        output = root["output"].get<std::string>();
    if (set.output.empty() && !output.empty() && output[0] != '/')
        output = s.scene_dir + "/" + output;
    if (output.empty())
        throw Error(s.scene_file + ": no output image: give -o IMAGE or \"output\" in the scene");
    if (set.frame_range && output.find('#') == std::string::npos)
        throw Error(output + ": --frames needs a # in the output name for the frame number " +
                    "(for example beauty.####.exr)");
    output = substitute_frame(output, frame);
    std::string problem = output_problem(output, out, out.layers);
    if (!problem.empty()) throw Error(problem);
    out.files.push_back(output);
    if (out.layers || !root.is_object() || !root.contains("framebuffers") ||
        !root["framebuffers"].is_array())
        return;
    const size_t slash = output.rfind('/');
    const std::string beside = slash == std::string::npos ? "" : output.substr(0, slash + 1);
    for (const json &fb : root["framebuffers"]) {
        if (!fb.is_object() || !fb.contains("file") || !fb["file"].is_string()) continue;
        std::string file = substitute_frame(fb["file"].get<std::string>(), frame);
        if (file.empty()) continue;
        if (file[0] != '/') file = beside + file;
        problem = output_problem(file, out, false);
        if (!problem.empty()) throw Error(s.scene_file + ": frame buffer: " + problem);
        out.files.push_back(file);
    }
}

int korrender_main(int argc, char **argv) {
    Settings settings;
    std::string scene;
    bool describe = false;
    std::string describe_file;
    int first_frame = 0, last_frame = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string &out) -> bool {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == "-o" || a == "--output") {
            if (!value(settings.output)) return usage_error(a + " needs a file name");
        } else if (a == "--threads") {
            if (!value(v) || !parse_int(v.c_str(), settings.threads) || settings.threads < 1 ||
                settings.threads > 1024)
                return usage_error("--threads needs a number from 1 to 1024");
        } else if (a == "--samples") {
            if (!value(v) || !parse_int(v.c_str(), settings.samples) || settings.samples < 1 ||
                settings.samples > 4096)
                return usage_error("--samples needs a number from 1 to 4096");
        } else if (a == "--resolution") {
            int w = 0, h = 0;
            char extra;
            if (!value(v) || sscanf(v.c_str(), "%dx%d%c", &w, &h, &extra) != 2 || w < 1 || h < 1 ||
                w > 65536 || h > 65536)
                return usage_error("--resolution needs WIDTHxHEIGHT, for example 640x480");
            settings.width = w;
            settings.height = h;
        } else if (a == "--library") {
            if (!value(v)) return usage_error("--library needs a path");
            settings.libraries.push_back(v);
        } else if (a == "--shaders") {
            if (!value(v)) return usage_error("--shaders needs a folder");
            settings.shader_dirs.push_back(v);
        } else if (a == "--verbose") {
            if (!value(v) || !parse_int(v.c_str(), settings.verbosity))
                return usage_error("--verbose needs a number from 0 to 6");
        } else if (a == "--set") {
            size_t eq;
            if (!value(v) || v.empty() || v[0] != '/' || (eq = v.find('=')) == std::string::npos)
                return usage_error("--set needs POINTER=JSON, for example /options/shadow=false");
            settings.overrides.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else if (a == "--crop") {
            if (!value(v) || !parse_crop(v, settings))
                return usage_error("--crop needs WIDTHxHEIGHT+X+Y, for example 64x32+16+0");
        } else if (a == "--frame") {
            if (!value(v) || !parse_int(v.c_str(), settings.frame))
                return usage_error("--frame needs a frame number");
            settings.has_frame = true;
        } else if (a == "--frames") {
            int n = 0;
            if (!value(v) || sscanf(v.c_str(), "%d-%d%n", &first_frame, &last_frame, &n) != 2 ||
                v[n] || last_frame < first_frame)
                return usage_error("--frames needs FIRST-LAST, for example 1-24");
            settings.frame_range = true;
        } else if (a == "--bit-depth") {
            if (!value(v) || (v != "8" && v != "16" && v != "half" && v != "float"))
                return usage_error("--bit-depth needs 8, 16, half or float");
            settings.bit_depth = v;
        } else if (a == "--colorspace") {
            if (!value(v) || v.empty())
                return usage_error("--colorspace needs a colour space name");
            settings.colorspace = v;
        } else if (a == "--elements-into-exr") {
            settings.elements_into_exr = true;
        } else if (a == "--quiet" || a == "-q") {
            settings.quiet = true;
            settings.progress = false;
        } else if (a == "--version") {
            return print_version();
        } else if (a == "--benchmark") {
            settings.benchmark = true;
        } else if (a == "--no-progress") {
            settings.progress = false;
        } else if (a == "--import") {
            if (!value(v)) return usage_error("--import needs a model file");
            if (!scene.empty())
                return usage_error("more than one scene given (" + scene + ", " + v + ")");
            scene = v;
            settings.import_model = true;
        } else if (a == "--describe-shaders") {
            describe = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') describe_file = argv[++i];
        } else if (!a.empty() && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else if (scene.empty()) {
            scene = a;
        } else {
            return usage_error("more than one scene given (" + scene + ", " + a + ")");
        }
    }
    if (settings.quiet) settings.verbosity = std::min(settings.verbosity, int(kError));
    g_verbosity = settings.verbosity;
    if (settings.shader_dirs.empty()) settings.shader_dirs = default_shader_dirs();
    if (settings.frame_range && settings.has_frame)
        return usage_error("give --frame or --frames, not both");

    auto declarations = [&](Session &s) {
        s.settings = settings;
        try {
            for (const auto &dir : settings.shader_dirs)
                s.decls.load_dir(dir, render_threads(settings));
        } catch (const DeclarationError &e) {
            message(kError, e.what());
            return false;
        }
        return true;
    };
    if (describe) {
        Session s;
        if (!declarations(s)) return 1;
        std::string md = s.decls.markdown();
        if (describe_file.empty()) {
            fputs(md.c_str(), stdout);
            return 0;
        }
        std::ofstream out(describe_file);
        out << md;
        if (!out) {
            messagef(kError, "%s: cannot write the shader reference", describe_file.c_str());
            return 1;
        }
        return 0;
    }
    if (scene.empty()) return usage_error("no scene given");
    SignalGuard guard;
    g_signal = 0;
    if (!settings.frame_range) first_frame = last_frame = settings.frame;
    int status = 0;
    // Each frame is a render of its own, the shaders started afresh.
    for (int frame = first_frame; frame <= last_frame && status == 0 && !g_signal; ++frame) {
        Session s;
        if (!declarations(s)) return 1;
        if (settings.frame_range) {
            s.settings.has_frame = true;
            s.settings.frame = frame;
        }
        status = render_scene(s, scene);
    }
    return status;
}

int render_scene(Session &s, const std::string &scene) {
    const Settings &settings = s.settings;
    g_verbosity = settings.verbosity;
    s.threads = render_threads(settings);
    // The parallel steps outside the render (building the scene's BVH,
    // encoding the image) keep to the same number of threads.
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism,
                                static_cast<size_t>(s.threads));
    s.mem_tracking = settings.verbosity >= kInfo;
    set_session(&s);
    g_running = &s;
    if (g_signal) s.aborted = true;
    int status = 0;
    bool geometry = false, initialised = false;
    RenderState state;
    try {
        if (settings.import_model || is_model_file(scene))
            load_scene_text(s, scene, import_scene_text(s, scene));
        else
            load_scene(s, scene);
        s.output_file = s.out.files.at(0);
        check_output_files(s);
        if (settings.has_frame) s.camera.cam.frame = settings.frame;
        const int W = s.camera.cam.x_resolution, H = s.camera.cam.y_resolution;
        if (settings.crop_w > 0 &&
            (settings.crop_x + settings.crop_w > W || settings.crop_y + settings.crop_h > H))
            throw Error("--crop " + std::to_string(settings.crop_w) + "x" +
                        std::to_string(settings.crop_h) + "+" + std::to_string(settings.crop_x) +
                        "+" + std::to_string(settings.crop_y) + " reaches outside the " +
                        std::to_string(W) + "x" + std::to_string(H) + " image");
        for (int i = 0; i < s.threads; ++i) {
            s.contexts.push_back(std::make_unique<ThreadContext>());
            s.contexts.back()->index = i;
        }
        zo_init_lock(&s.global_lock);
        build_geometry(s);
        geometry = true;
        ThreadContext *ctx = s.contexts[0].get();
        set_thread_context(ctx);
        make_state(s, state, ctx);
        state.call_type = ZO_CALL_STATE;
        init_shaders(s, &state);
        initialised = true;
        set_thread_context(nullptr);
        messagef(kInfo, "rendering %s: %dx%d, %d samples per pixel, %d threads, %zu instances",
                 scene.c_str(), s.camera.cam.x_resolution, s.camera.cam.y_resolution,
                 s.options.samples, s.threads, s.instances.size());
        auto start = std::chrono::steady_clock::now();
        bool complete = render(s);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!complete) status = g_signal ? 128 + g_signal : 1;
        run_output_shaders(s);
        if (!write_images(s)) {
            status = status ? status : 1;
        } else if (!complete) {
            messagef(kError,
                     "%s: the render was stopped after %d of %d buckets; the image holds what was "
                     "rendered, the rest is transparent",
                     s.output_file.c_str(), s.buckets_done.load(), s.buckets);
        }
        if (settings.benchmark) {
            uint64_t rays = 0, samples = 0;
            for (auto &c : s.contexts) {
                rays += c->rays;
                samples += c->samples;
            }
            printf("benchmark: rays=%llu samples=%llu seconds=%.3f rays_per_second=%.0f\n",
                   static_cast<unsigned long long>(rays), static_cast<unsigned long long>(samples),
                   seconds, seconds > 0 ? rays / seconds : 0.0);
            fflush(stdout);
        }
    } catch (const Error &e) {
        message(kError, e.what());
        status = 1;
    } catch (const DeclarationError &e) {
        message(kError, e.what());
        status = 1;
    } catch (const std::exception &e) {
        messagef(kError, "%s: %s", scene.c_str(), e.what());
        status = 1;
    }
    if (initialised) {
        ThreadContext *ctx = s.contexts[0].get();
        set_thread_context(ctx);
        make_state(s, state, ctx);
        state.call_type = ZO_CALL_STATE;
        exit_shaders(s, &state);
        set_thread_context(nullptr);
        report_memory(s);
    }
    if (geometry) release_geometry(s);
    zo_delete_lock(&s.global_lock);
    // Instances go before the library whose shaders made them.
    s.shaders.clear();
    for (auto &lib : s.libraries)
        if (lib.handle) dlclose(lib.handle);
    s.libraries.clear();
    if (s.self_handle) dlclose(s.self_handle);
    s.self_handle = nullptr;
    set_session(nullptr);
    g_running = nullptr;
    return status;
}

}  // namespace korhost
