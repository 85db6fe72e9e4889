// The korrender command: argument handling and the order of a render.
#include <OpenImageIO/imageio.h>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include "korhost.h"
#include "session.h"

namespace korhost {

extern std::atomic<int> g_verbosity;

namespace {

const char *kUsage =
    "usage: korrender SCENE.json -o IMAGE [--threads N] [--resolution WxH] [--samples N]\n"
    "                 [--library PATH] [--shaders DIR] [--verbose N] [--benchmark] "
    "[--no-progress]\n"
    "                 [--set POINTER=JSON]...\n"
    "       korrender --describe-shaders [FILE] [--shaders DIR]\n"
    "\n"
    "  -o IMAGE          the image to write (.png, .exr, .tif); overrides the scene's \"output\"\n"
    "  --threads N       render threads (default: all cores)\n"
    "  --resolution WxH  image size (overrides the camera's)\n"
    "  --samples N       eye samples per pixel (overrides the options')\n"
    "  --library PATH    a shader library; may be given several times (overrides the\n"
    "                    scene's \"library\")\n"
    "  --shaders DIR     a folder of shader declarations (default: the shipped ones)\n"
    "  --verbose N       0 fatal, 1 errors, 2 warnings (default), 3 info, 5 debug\n"
    "  --set POINTER=JSON  replace the scene value at a JSON pointer (/options/shadow=false)\n"
    "  --benchmark       print one line of ray and sample counts and the time\n"
    "  --describe-shaders [FILE]  write the shader reference (Markdown) to FILE or stdout\n";

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

}  // namespace

int korrender_main(int argc, char **argv) {
    Settings settings;
    std::string scene;
    bool describe = false;
    std::string describe_file;
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
        } else if (a == "--benchmark") {
            settings.benchmark = true;
        } else if (a == "--no-progress") {
            settings.progress = false;
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
    g_verbosity = settings.verbosity;
    if (settings.shader_dirs.empty()) settings.shader_dirs = default_shader_dirs();

    Session s;
    s.settings = settings;
    try {
        for (const auto &dir : settings.shader_dirs) s.decls.load_dir(dir);
    } catch (const DeclarationError &e) {
        message(kError, e.what());
        return 1;
    }
    if (describe) {
        std::string md = s.decls.markdown();
        if (describe_file.empty()) {
            fputs(md.c_str(), stdout);
        } else {
            std::ofstream out(describe_file);
            out << md;
            if (!out) {
                messagef(kError, "%s: cannot write the shader reference", describe_file.c_str());
                return 1;
            }
        }
        return 0;
    }
    if (scene.empty()) return usage_error("no scene given");
    return render_scene(s, scene);
}

int render_scene(Session &s, const std::string &scene) {
    const Settings &settings = s.settings;
    g_verbosity = settings.verbosity;
    s.threads =
        settings.threads > 0 ? settings.threads : std::max(1u, std::thread::hardware_concurrency());
    s.mem_tracking = settings.verbosity >= kInfo;
    set_session(&s);
    int status = 0;
    bool geometry = false, initialised = false;
    RenderState state;
    try {
        load_scene(s, scene);
        if (!settings.output.empty()) s.output_file = settings.output;
        if (s.output_file.empty())
            throw Error(scene + ": no output image: give -o IMAGE or \"output\" in the scene");
        if (!OIIO::ImageOutput::create(s.output_file))
            throw Error(s.output_file +
                        ": cannot write images of this kind (use .png, .exr or .tif)");
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
        if (!complete) {
            message(kError, "the render was stopped; writing what was rendered");
            status = 1;
        }
        run_output_shaders(s);
        if (!write_images(s)) status = 1;
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
    return status;
}

}  // namespace korhost
