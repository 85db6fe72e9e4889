// IES LM-63 photometric profiles. The text form: an optional "IESNA..."
// version line, keyword lines, a TILT= line, then numbers separated by
// blanks or line breaks: lamps, lumens per lamp, candela multiplier, the
// counts of vertical and horizontal angles, the photometric type, units and
// the luminous opening; ballast factor, ballast-lamp factor, input watts;
// the vertical angles, the horizontal angles, and the candela table, one run
// of vertical values per horizontal angle.
//
// Only type C photometry is read (vertical 0 at the nadir). The horizontal
// angles start at 0 and end at 0 (the same in every plane), 90 (the quadrant
// is mirrored into the other three), 180 (mirrored about the 0-180 plane) or
// 360 (all planes given).
#include "ies.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#define HOST_API extern "C" __attribute__((visibility("default")))

namespace korhost {

namespace {

constexpr float kRadians = static_cast<float>(M_PI / 180.0);

struct Token {
    std::string text;
    int line;
};

class Reader {
  public:
    Reader(std::string file, std::vector<Token> tokens, int last_line)
        : file_(std::move(file)), tokens_(std::move(tokens)), last_line_(last_line) {}

    [[noreturn]] void fail(int line, const std::string &problem) const {
        throw Error(file_ + ":" + std::to_string(line) + ": light profile: " + problem);
    }

    // The next number; `what` names it for messages.
    float number(const std::string &what) {
        if (next_ >= tokens_.size()) fail(last_line_, "the file ends before " + what);
        const Token &t = tokens_[next_++];
        char *end = nullptr;
        errno = 0;
        const double v = std::strtod(t.text.c_str(), &end);
        if (end == t.text.c_str() || *end || errno || !std::isfinite(v))
            fail(t.line, "\"" + t.text + "\" is not a number (reading " + what + ")");
        if (std::fabs(v) > FLT_MAX)
            fail(t.line, "\"" + t.text + "\" is out of range (reading " + what + ")");
        return static_cast<float>(v);
    }
    int count(const std::string &what) {
        const int line = this->line();
        const float v = number(what);
        if (v < 1 || v != std::floor(v) || v > 100000)
            fail(line, what + " must be a whole number of at least 1, got " + last());
        return static_cast<int>(v);
    }
    int line() const { return next_ < tokens_.size() ? tokens_[next_].line : last_line_; }
    // The text of the number read last.
    const std::string &last() const { return tokens_[next_ - 1].text; }
    bool done() const { return next_ >= tokens_.size(); }
    size_t left() const { return tokens_.size() - next_; }

  private:
    std::string file_;
    std::vector<Token> tokens_;
    int last_line_;
    size_t next_ = 0;
};

std::string trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// Angles that rise strictly; `what` names them in messages.
void check_rising(Reader &r, const std::vector<float> &a, const std::vector<int> &lines,
                  const std::string &what) {
    for (size_t i = 1; i < a.size(); ++i)
        if (!(a[i] > a[i - 1]))
            r.fail(lines[i], what + " must rise: " + std::to_string(a[i]) + " follows " +
                                 std::to_string(a[i - 1]));
}

// Index i and weight t with a[i] <= x <= a[i + 1] (a rising, x inside).
void cell(const std::vector<float> &a, float x, size_t &i, float &t) {
    i = 0;
    t = 0;
    if (a.size() < 2) return;
    size_t lo = 0, hi = a.size() - 1;
    while (hi - lo > 1) {
        size_t mid = (lo + hi) / 2;
        (a[mid] <= x ? lo : hi) = mid;
    }
    i = lo;
    t = (x - a[lo]) / (a[hi] - a[lo]);
}

}  // namespace

LightProfile &load_light_profile(Session &s, const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot read the light profile: " + strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    return read_light_profile(s, path, text.str());
}

LightProfile &read_light_profile(Session &s, const std::string &path, const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    size_t tilt = 0;
    while (tilt < lines.size() && trim(lines[tilt]).compare(0, 5, "TILT=") != 0) ++tilt;
    if (tilt == lines.size())
        throw Error(path + ":" + std::to_string(lines.size()) +
                    ": light profile: no \"TILT=\" line (is this an IES LM-63 file?)");
    const std::string tilt_value = trim(trim(lines[tilt]).substr(5));
    std::vector<Token> tokens;
    for (size_t i = tilt + 1; i < lines.size(); ++i) {
        std::istringstream words(lines[i]);
        for (std::string w; words >> w;) {
            // Some writers separate numbers with commas as well.
            size_t a = 0;
            for (size_t b; (b = w.find(',', a)) != std::string::npos; a = b + 1)
                if (b > a) tokens.push_back({w.substr(a, b - a), static_cast<int>(i + 1)});
            if (a < w.size()) tokens.push_back({w.substr(a), static_cast<int>(i + 1)});
        }
    }
    Reader r(path, std::move(tokens), static_cast<int>(lines.size()));
    if (tilt_value == "INCLUDE") {
        r.number("the tilt's lamp-to-luminaire geometry");
        const int n = r.count("the number of tilt angles");
        for (int k = 0; k < 2 * n; ++k) r.number("the tilt angles and factors");
    } else if (tilt_value != "NONE") {
        r.fail(static_cast<int>(tilt + 1),
               "TILT=" + tilt_value + ": a separate tilt file is not supported (NONE or INCLUDE)");
    }
    r.number("the number of lamps");
    r.number("the lumens per lamp");
    const int multiplier_line = r.line();
    const float multiplier = r.number("the candela multiplier");
    const int nv = r.count("the number of vertical angles");
    const int nh = r.count("the number of horizontal angles");
    const int type_line = r.line();
    const float type = r.number("the photometric type");
    if (type != 1)
        r.fail(type_line, "photometric type " + r.last() + " is not supported: only type C (1)");
    r.number("the units type");
    r.number("the luminous width");
    r.number("the luminous length");
    r.number("the luminous height");
    const float ballast = r.number("the ballast factor");
    const float lamp_factor = r.number("the ballast-lamp photometric factor");
    r.number("the input watts");

    s.profiles.emplace_back();
    LightProfile &p = s.profiles.back();
    p.file = path;
    std::vector<int> vlines, hlines;
    for (int k = 0; k < nv; ++k) {
        vlines.push_back(r.line());
        p.vertical.push_back(
            r.number("vertical angle " + std::to_string(k + 1) + " of " + std::to_string(nv)));
    }
    for (int k = 0; k < nh; ++k) {
        hlines.push_back(r.line());
        p.horizontal.push_back(
            r.number("horizontal angle " + std::to_string(k + 1) + " of " + std::to_string(nh)));
    }
    check_rising(r, p.vertical, vlines, "the vertical angles");
    check_rising(r, p.horizontal, hlines, "the horizontal angles");
    if (p.vertical.front() < 0 || p.vertical.back() > 180)
        r.fail(vlines.front(), "the vertical angles must lie between 0 and 180");
    const float span = p.horizontal.back();
    if (p.horizontal.front() != 0 || (span != 0 && span != 90 && span != 180 && span != 360))
        r.fail(hlines.front(),
               "the horizontal angles must start at 0 and end at 0, 90, 180 or "
               "360 (they run from " +
                   std::to_string(p.horizontal.front()) + " to " + std::to_string(span) + ")");
    if (multiplier < 0) r.fail(multiplier_line, "the candela multiplier is negative");
    const float scale =
        multiplier * (ballast > 0 ? ballast : 1) * (lamp_factor > 0 ? lamp_factor : 1);
    const long long values = static_cast<long long>(nv) * nh;
    p.candela.reserve(static_cast<size_t>(std::min<long long>(values, r.left())));
    for (long long k = 0; k < values; ++k) {
        if (r.done())
            r.fail(r.line(), "the candela table ends after " + std::to_string(k) + " of its " +
                                 std::to_string(values) + " values (" + std::to_string(nh) +
                                 " horizontal x " + std::to_string(nv) + " vertical angles)");
        const int line = r.line();
        const float cd =
            r.number("candela value " + std::to_string(k + 1) + " of " + std::to_string(values));
        if (cd < 0) r.fail(line, "candela value " + std::to_string(k + 1) + " is negative");
        if (!std::isfinite(cd * scale))
            r.fail(line, "candela value " + std::to_string(k + 1) +
                             " times the multipliers is out of range");
        p.candela.push_back(cd * scale);
        p.peak = std::max(p.peak, cd * scale);
    }
    if (!r.done())
        r.fail(r.line(), std::to_string(r.left()) + " numbers follow the candela table of " +
                             std::to_string(values) + " values (wrong angle counts?)");
    p.tag = s.add_db(ZO_DB_LIGHTPROFILE, &p, sizeof(LightProfile), path);
    s.db[p.tag].owner = &p;
    return p;
}

float profile_candela(const LightProfile &p, float vertical, float horizontal) {
    const std::vector<float> &V = p.vertical, &H = p.horizontal;
    if (V.empty() || H.empty() || !(vertical >= V.front() && vertical <= V.back())) return 0;
    // Fold the horizontal angle into the span the file gives.
    float h = std::isfinite(horizontal) ? std::fmod(horizontal, 360.0f) : 0.0f;
    if (h < 0) h += 360;
    const float span = H.back();
    if (span == 0) {
        h = 0;
    } else if (span == 90) {
        h = h > 270 ? 360 - h : h > 180 ? h - 180 : h > 90 ? 180 - h : h;
    } else if (span == 180) {
        if (h > 180) h = 360 - h;
    }
    size_t vi, hi;
    float vt, ht;
    cell(V, vertical, vi, vt);
    cell(H, h, hi, ht);
    const size_t nv = V.size();
    auto at = [&](size_t hk, size_t vk) { return p.candela[hk * nv + vk]; };
    const size_t v1 = std::min(vi + 1, nv - 1), h1 = std::min(hi + 1, H.size() - 1);
    const float a = at(hi, vi) + (at(hi, v1) - at(hi, vi)) * vt;
    const float b = at(h1, vi) + (at(h1, v1) - at(h1, vi)) * vt;
    return a + (b - a) * ht;
}

void attach_light_profile(Session &s, LightEntry &light, const std::string &path,
                          const nlohmann::json *shader_params, const std::string &where) {
    const auto *rec = light.rec.shader < s.db.size()
                          ? static_cast<HostRecord *>(s.db[light.rec.shader].record)
                          : nullptr;
    ShaderInstance *inst = rec ? rec->instance : nullptr;
    const Type *params = inst && inst->function && inst->function->decl
                             ? inst->function->decl->params.get()
                             : nullptr;
    const Field *web = params ? params->field("webProfile") : nullptr;
    if (!web || !web->type->is_tag())
        throw Error(where + ": light '" + light.name +
                    "': \"profile\" needs a light shader with a web profile (webProfile)");
    auto put_int = [&](const char *name, int32_t v) {
        if (const Field *f = params->field(name)) memcpy(inst->params + f->offset, &v, sizeof v);
    };
    auto put_float = [&](const char *name, float v) {
        if (const Field *f = params->field(name)) memcpy(inst->params + f->offset, &v, sizeof v);
    };
    auto given = [&](const char *key) {
        return shader_params && shader_params->is_object() && shader_params->contains(key);
    };
    // A web distribution: without a readable profile the light shades it diffuse.
    if (!given("distribution")) put_int("distribution", 3);
    std::ifstream probe(path);
    if (!probe) {
        message(kWarning, (where + ": light '" + light.name + "': cannot read the light profile " +
                           path + ": " + strerror(errno) + "; the light is shaded diffuse")
                              .c_str());
        return;
    }
    const LightProfile &p = load_light_profile(s, path);
    const Tag tag = p.tag;
    memcpy(inst->params + web->offset, &tag, sizeof tag);
    if (!given("intensity")) {
        put_float("intensity", p.peak);
        put_int("intensityUnit", 0);
    }
    message(kInfo, (where + ": light '" + light.name + "': profile " + path + ", " +
                    std::to_string(p.vertical.size()) + " vertical x " +
                    std::to_string(p.horizontal.size()) + " horizontal angles, peak " +
                    std::to_string(p.peak) + " cd")
                       .c_str());
}

}  // namespace korhost

// ---------------------------------------------------------------------------
// Host calls.

using korhost::LightProfile;

namespace {

const LightProfile *profile_of(uintptr_t tag) {
    korhost::Session *s = korhost::session();
    if (!s || tag == 0 || tag >= s->db.size() || s->db[tag].type != ZO_DB_LIGHTPROFILE)
        return nullptr;
    return static_cast<const LightProfile *>(s->db[tag].owner);
}

}  // namespace

namespace korhost {

// Queries 128 to 131 on a profile tag: the horizontal (phi) and vertical
// (theta, from the nadir) ranges in radians.
bool light_profile_range(Tag tag, int code, float *out) {
    const LightProfile *p = profile_of(tag);
    if (!p || !out) return false;
    switch (code) {
        case ZO_Q_LIGHTPROFILE_PHI_MIN: *out = 0; return true;
        case ZO_Q_LIGHTPROFILE_PHI_MAX: *out = 2 * static_cast<float>(M_PI); return true;
        case ZO_Q_LIGHTPROFILE_THETA_MIN: *out = p->vertical.front() * kRadians; return true;
        case ZO_Q_LIGHTPROFILE_THETA_MAX: *out = p->vertical.back() * kRadians; return true;
        default: return false;
    }
}

}  // namespace korhost

// The profile's candela relative to its peak towards a direction given as
// `vertical`, the cosine of its angle from the light's +Z (the light shines
// down -Z, the nadir), and `horizontal`, its angle about Z from +X in
// radians. The emitter's own size is not modelled: `position` and
// `relative` do not change the answer.
HOST_API float zo_lightprofile_value(void *profile, float vertical, float horizontal,
                                     const Vector3 *, zoBoolean) {
    const LightProfile *p = profile_of(reinterpret_cast<uintptr_t>(profile));
    if (!p || !(p->peak > 0)) return 0;
    const float c = std::min(std::max(-vertical, -1.0f), 1.0f);
    const float gamma = std::acos(c) / korhost::kRadians;
    return korhost::profile_candela(*p, gamma, horizontal / korhost::kRadians) / p->peak;
}
