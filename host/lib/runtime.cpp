// The shader runtime: the session, messages, per-sample arenas, the
// shader lifecycle (shader calls are inline in session.h), memory
// accounting and matrix helpers.
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "session.h"

namespace korhost {

Session *g_session = nullptr;

__thread ThreadContext *tl_context __attribute__((tls_model("initial-exec"))) = nullptr;

std::atomic<int> g_verbosity{kWarning};
std::atomic<bool> g_progress_shown{false};

void set_session(Session *s) {
    g_session = s;
}

ThreadContext *fallback_thread_context() {
    Session *s = g_session;
    return s && !s->contexts.empty() ? s->contexts[0].get() : nullptr;
}
void set_thread_context(ThreadContext *ctx) {
    tl_context = ctx;
}

Tag Session::add_db(int type, void *record, int size, const std::string &name) {
    db.push_back(DbItem{type, record, size, name});
    return static_cast<Tag>(db.size() - 1);
}

Session::~Session() = default;

// ---------------------------------------------------------------------------
// Messages.

void message(int severity, const char *text) {
    if (severity > g_verbosity.load(std::memory_order_relaxed)) return;
    static const char *names[] = {"fatal",    "error", "warning", "info",
                                  "progress", "debug", "debug"};
    const char *name = names[severity < 0 ? 0 : severity > 6 ? 6 : severity];
    char line[2048];
    int n = snprintf(line, sizeof line, "%skorrender: %s: %s\n",
                     g_progress_shown.load(std::memory_order_relaxed) ? "\r\033[K" : "", name,
                     text ? text : "");
    if (n < 0) return;
    if (n >= static_cast<int>(sizeof line)) {
        n = sizeof line - 1;
        line[n - 1] = '\n';
    }
    // One write per message, so that lines of different threads never mix.
    ssize_t written = write(2, line, n);
    (void)written;
}

void messagef(int severity, const char *format, ...) {
    if (severity > g_verbosity.load(std::memory_order_relaxed)) return;
    char text[1536];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    message(severity, text);
}

// ---------------------------------------------------------------------------
// Per-sample arena.

// The current chunk is full: on to the next, or a new one.
void *Arena::grow(size_t size, size_t align) {
    for (;;) {
        if (chunk_ < chunks_.size()) {
            size_t at = align_up(used_, align);
            if (at + size <= chunks_[chunk_].second) {
                used_ = at + size;
                return chunks_[chunk_].first + at;
            }
            ++chunk_;
            used_ = 0;
            continue;
        }
        size_t bytes = std::max<size_t>(size + align, 256 * 1024);
        auto *mem = static_cast<uint8_t *>(aligned_alloc(64, align_up(bytes, 64)));
        if (!mem) return nullptr;
        chunks_.emplace_back(mem, align_up(bytes, 64));
    }
}

Arena::~Arena() {
    for (auto &c : chunks_) free(c.first);
}

void *state_alloc(size_t size) {
    ThreadContext *ctx = thread_context();
    return ctx ? ctx->arena.alloc(size) : nullptr;
}

// ---------------------------------------------------------------------------
// Shader lifecycle.

zoBoolean call_unbound_shader(Session *s, void *result, int call_type, RenderState *state, Tag tag,
                              void *arg) {
    const DbItem *item = s->item(tag);
    if (!item || item->type != ZO_DB_FUNCTION) return 0;
    HostRecord *rec = static_cast<HostRecord *>(item->record);
    if (!rec || !rec->function || !rec->function->fn) return 0;
    zoShaderRecord *saved_shader = state->shader;
    const int saved_type = state->call_type;
    state->shader = &rec->rec;
    state->call_type = call_type;
    const zoBoolean ok = rec->function->fn(result, state, rec->rec.params, arg);
    state->shader = saved_shader;
    state->call_type = saved_type;
    return ok;
}

void bind_shader_calls(Session &s) {
    s.shader_call_table.assign(s.db.size(), Session::ShaderCall{});
    for (size_t tag = 1; tag < s.db.size(); ++tag) {
        const DbItem &item = s.db[tag];
        if (item.type != ZO_DB_FUNCTION || !item.record) continue;
        HostRecord *rec = static_cast<HostRecord *>(item.record);
        if (rec->function && rec->function->fn) s.shader_call_table[tag] = {rec->function->fn, rec};
    }
    s.shader_calls = s.shader_call_table.data();
    s.shader_call_count = static_cast<uint32_t>(s.shader_call_table.size());
}

void init_shaders(Session &s, RenderState *state) {
    bind_shader_calls(s);
    zoShaderRecord *saved = state->shader;
    for (ShaderFunction *f : s.init_order) {
        if (f->init) {
            zoBoolean request = 0;
            state->shader = &f->level.rec;
            f->init(state, nullptr, &request);
            f->instance_init = request != 0;
        }
        f->initialised = true;
    }
    for (ShaderInstance &inst : s.shaders) {
        if (!inst.function || !inst.function->instance_init) continue;
        zoBoolean request = 0;
        state->shader = &inst.record.rec;
        // the shader of a light is initialised with that light as the
        // state's light (the first light that names it)
        const Tag light = state->light_instance;
        for (const LightEntry &l : s.lights) {
            if (l.rec.shader != inst.tag) continue;
            state->light_instance = l.instance;
            break;
        }
        inst.function->init(state, inst.params, &request);
        state->light_instance = light;
        inst.instance_initialised = true;
    }
    state->shader = saved;
}

void exit_shaders(Session &s, RenderState *state) {
    zoShaderRecord *saved = state->shader;
    // Instances first, in reverse order; an instance gets its exit when it
    // was initialised or keeps data in its slots.
    for (auto it = s.shaders.rbegin(); it != s.shaders.rend(); ++it) {
        ShaderInstance &inst = *it;
        if (!inst.function || !inst.function->exit) continue;
        bool holds = inst.record.user != nullptr;
        for (void *p : inst.record.tls) holds = holds || p;
        if (!inst.instance_initialised && !holds) continue;
        state->shader = &inst.record.rec;
        inst.function->exit(state, inst.params);
        inst.instance_initialised = false;
    }
    for (auto it = s.init_order.rbegin(); it != s.init_order.rend(); ++it) {
        ShaderFunction *f = *it;
        if (!f->initialised) continue;
        if (f->exit) {
            state->shader = &f->level.rec;
            f->exit(state, nullptr);
        }
        f->initialised = false;
    }
    state->shader = saved;
}

void report_memory(Session &s) {
    long blocks = s.mem_blocks.load();
    long long bytes = s.mem_bytes.load();
    messagef(kInfo, "memory: %ld blocks allocated by shaders, %ld released",
             s.mem_allocations.load(), s.mem_releases.load());
    if (blocks > 0) {
        messagef(kWarning, "memory: %ld blocks (%lld bytes) allocated by shaders were not released",
                 blocks, bytes);
        std::lock_guard<std::mutex> lock(s.mem_mutex);
        for (const auto &[block, where] : s.mem_live)
            messagef(kInfo, "memory: block %p from %s:%d not released", block, where.first.c_str(),
                     where.second);
    }
}

// ---------------------------------------------------------------------------
// Matrices: row vectors, p' = p * M.

void mat_identity(float *m) {
    for (int i = 0; i < 16; ++i) m[i] = (i % 5 == 0) ? 1.0f : 0.0f;
}

void mat_mul(float *out, const float *a, const float *b) {
    float r[16];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float sum = 0;
            for (int k = 0; k < 4; ++k) sum += a[i * 4 + k] * b[k * 4 + j];
            r[i * 4 + j] = sum;
        }
    memcpy(out, r, sizeof r);
}

bool mat_invert(float *out, const float *m) {
    double inv[16], a[16];
    for (int i = 0; i < 16; ++i) a[i] = m[i];
    inv[0] = a[5] * a[10] * a[15] - a[5] * a[11] * a[14] - a[9] * a[6] * a[15] +
             a[9] * a[7] * a[14] + a[13] * a[6] * a[11] - a[13] * a[7] * a[10];
    inv[4] = -a[4] * a[10] * a[15] + a[4] * a[11] * a[14] + a[8] * a[6] * a[15] -
             a[8] * a[7] * a[14] - a[12] * a[6] * a[11] + a[12] * a[7] * a[10];
    inv[8] = a[4] * a[9] * a[15] - a[4] * a[11] * a[13] - a[8] * a[5] * a[15] +
             a[8] * a[7] * a[13] + a[12] * a[5] * a[11] - a[12] * a[7] * a[9];
    inv[12] = -a[4] * a[9] * a[14] + a[4] * a[10] * a[13] + a[8] * a[5] * a[14] -
              a[8] * a[6] * a[13] - a[12] * a[5] * a[10] + a[12] * a[6] * a[9];
    inv[1] = -a[1] * a[10] * a[15] + a[1] * a[11] * a[14] + a[9] * a[2] * a[15] -
             a[9] * a[3] * a[14] - a[13] * a[2] * a[11] + a[13] * a[3] * a[10];
    inv[5] = a[0] * a[10] * a[15] - a[0] * a[11] * a[14] - a[8] * a[2] * a[15] +
             a[8] * a[3] * a[14] + a[12] * a[2] * a[11] - a[12] * a[3] * a[10];
    inv[9] = -a[0] * a[9] * a[15] + a[0] * a[11] * a[13] + a[8] * a[1] * a[15] -
             a[8] * a[3] * a[13] - a[12] * a[1] * a[11] + a[12] * a[3] * a[9];
    inv[13] = a[0] * a[9] * a[14] - a[0] * a[10] * a[13] - a[8] * a[1] * a[14] +
              a[8] * a[2] * a[13] + a[12] * a[1] * a[10] - a[12] * a[2] * a[9];
    inv[2] = a[1] * a[6] * a[15] - a[1] * a[7] * a[14] - a[5] * a[2] * a[15] + a[5] * a[3] * a[14] +
             a[13] * a[2] * a[7] - a[13] * a[3] * a[6];
    inv[6] = -a[0] * a[6] * a[15] + a[0] * a[7] * a[14] + a[4] * a[2] * a[15] -
             a[4] * a[3] * a[14] - a[12] * a[2] * a[7] + a[12] * a[3] * a[6];
    inv[10] = a[0] * a[5] * a[15] - a[0] * a[7] * a[13] - a[4] * a[1] * a[15] +
              a[4] * a[3] * a[13] + a[12] * a[1] * a[7] - a[12] * a[3] * a[5];
    inv[14] = -a[0] * a[5] * a[14] + a[0] * a[6] * a[13] + a[4] * a[1] * a[14] -
              a[4] * a[2] * a[13] - a[12] * a[1] * a[6] + a[12] * a[2] * a[5];
    inv[3] = -a[1] * a[6] * a[11] + a[1] * a[7] * a[10] + a[5] * a[2] * a[11] -
             a[5] * a[3] * a[10] - a[9] * a[2] * a[7] + a[9] * a[3] * a[6];
    inv[7] = a[0] * a[6] * a[11] - a[0] * a[7] * a[10] - a[4] * a[2] * a[11] + a[4] * a[3] * a[10] +
             a[8] * a[2] * a[7] - a[8] * a[3] * a[6];
    inv[11] = -a[0] * a[5] * a[11] + a[0] * a[7] * a[9] + a[4] * a[1] * a[11] - a[4] * a[3] * a[9] -
              a[8] * a[1] * a[7] + a[8] * a[3] * a[5];
    inv[15] = a[0] * a[5] * a[10] - a[0] * a[6] * a[9] - a[4] * a[1] * a[10] + a[4] * a[2] * a[9] +
              a[8] * a[1] * a[6] - a[8] * a[2] * a[5];
    double det = a[0] * inv[0] + a[1] * inv[4] + a[2] * inv[8] + a[3] * inv[12];
    if (std::fabs(det) < 1e-30) return false;
    for (int i = 0; i < 16; ++i) out[i] = static_cast<float>(inv[i] / det);
    return true;
}

}  // namespace korhost
