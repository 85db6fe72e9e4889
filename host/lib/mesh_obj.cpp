// OBJ meshes: every face index and coordinate is checked against the file,
// line by line, before the OBJ reader builds the mesh, so that a broken
// file is refused with the line that breaks it.
#include <tiny_obj_loader.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <unordered_map>

#include "scene_load.h"

namespace korhost {

namespace {

// Ignores material libraries: the scene gives every instance its material.
class NoMaterials : public tinyobj::MaterialReader {
  public:
    bool operator()(const std::string &, std::vector<tinyobj::material_t> *,
                    std::map<std::string, int> *, std::string *, std::string *) override {
        return true;
    }
};

// A face corner: its position, texture coordinate and normal indices.
struct Corner {
    int v, t, n;
    bool operator==(const Corner &o) const { return v == o.v && t == o.t && n == o.n; }
};
struct CornerHash {
    size_t operator()(const Corner &c) const {
        return std::hash<uint64_t>()((static_cast<uint64_t>(static_cast<uint32_t>(c.v)) << 32) ^
                                     (static_cast<uint64_t>(static_cast<uint32_t>(c.t)) << 16) ^
                                     static_cast<uint32_t>(c.n));
    }
};

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

struct Counts {
    long long v = 0, vt = 0, vn = 0;
};

// The OBJ statement of a line: its keyword and the rest.
bool statement(const std::string &line, std::string &keyword, std::string &rest) {
    size_t i = 0;
    while (i < line.size() && is_space(line[i])) ++i;
    size_t k = i;
    while (k < line.size() && !is_space(line[k])) ++k;
    if (k == i) return false;
    keyword = line.substr(i, k - i);
    rest = line.substr(k);
    return true;
}

std::vector<std::string> words(const std::string &rest) {
    std::vector<std::string> out;
    std::istringstream in(rest);
    std::string w;
    while (in >> w) {
        if (w[0] == '#') break;
        out.push_back(w);
    }
    return out;
}

class Checker {
  public:
    Checker(const std::string &name, const Counts &total) : name_(name), total_(total) {}

    [[noreturn]] void fail(long line, const std::string &problem) const {
        throw Error(name_ + ":" + std::to_string(line) + ": " + problem);
    }

    // Coordinates of a "v", "vt" or "vn" line: the first `n` must fit a float.
    void coordinates(long line, const std::string &rest, size_t n, const char *what) const {
        std::vector<std::string> w = words(rest);
        for (size_t i = 0; i < w.size() && i < n; ++i) {
            errno = 0;
            char *end = nullptr;
            double x = strtod(w[i].c_str(), &end);
            if (end == w[i].c_str()) continue;  // the reader takes it as 0
            if (!std::isfinite(x) || std::fabs(x) > FLT_MAX)
                fail(line, std::string(what) + " coordinate " + w[i] +
                               " is out of range (a float holds up to 3.4e38)");
        }
    }

    // One index of a face corner: 1..total, or -1..-(count so far).
    void index(long line, const std::string &text, long long so_far, long long total,
               const char *what, const char *plural) const {
        if (text.empty()) return;  // "1//3" has no texture coordinate
        errno = 0;
        char *end = nullptr;
        long long i = strtoll(text.c_str(), &end, 10);
        if (end == text.c_str() || *end || errno == ERANGE)
            fail(line, std::string(what) + " index " + quote(text) + " is not a number");
        if (i == 0) fail(line, std::string(what) + " index 0: indices start at 1");
        if (i > 0 && i > total)
            fail(line, std::string(what) + " index " + std::to_string(i) + " is past the " +
                           std::to_string(total) + " " + plural);
        if (i < 0 && -i > so_far)
            fail(line, std::string(what) + " index " + std::to_string(i) + " reaches before the " +
                           std::to_string(so_far) + " " + plural + " given so far");
    }

    void face(long line, const std::string &rest, const Counts &so_far, long long &triangles,
              std::vector<std::string> &warnings) {
        std::vector<std::string> corners = words(rest);
        if (corners.size() < 3)
            warnings.push_back(name_ + ":" + std::to_string(line) + ": a face of " +
                               std::to_string(corners.size()) + " corners is left out");
        for (const std::string &c : corners) {
            std::string parts[3];
            size_t k = 0;
            for (char ch : c) {
                if (ch == '/') {
                    if (++k > 2) fail(line, "face corner " + quote(c) + " has more than 3 parts");
                } else {
                    parts[k] += ch;
                }
            }
            if (parts[0].empty()) fail(line, "face corner " + quote(c) + " has no vertex index");
            index(line, parts[0], so_far.v, total_.v, "face", "vertices");
            index(line, parts[1], so_far.vt, total_.vt, "texture coordinate",
                  "texture coordinates");
            index(line, parts[2], so_far.vn, total_.vn, "normal", "normals");
        }
        if (corners.size() >= 3) triangles += static_cast<long long>(corners.size()) - 2;
        if (triangles > kMaxMeshTriangles)
            fail(line, "the mesh has more than " + std::to_string(kMaxMeshTriangles) +
                           " triangles, the limit of one object");
    }

  private:
    static std::string quote(const std::string &s) { return "'" + s + "'"; }
    const std::string &name_;
    Counts total_;
};

template <typename F>
void each_line(const std::string &text, F f) {
    long number = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        ++number;
        std::string keyword, rest;
        if (statement(text.substr(at, end - at), keyword, rest)) f(number, keyword, rest);
        at = end + 1;
    }
}

void check_obj(const std::string &text, const std::string &name,
               std::vector<std::string> &warnings) {
    Counts total;
    each_line(text, [&](long, const std::string &k, const std::string &) {
        if (k == "v")
            ++total.v;
        else if (k == "vt")
            ++total.vt;
        else if (k == "vn")
            ++total.vn;
    });
    Checker check(name, total);
    if (total.v > kMaxMeshVertices)
        throw Error(name + ": the mesh has more than " + std::to_string(kMaxMeshVertices) +
                    " vertices, the limit of one object");
    Counts so_far;
    long long triangles = 0;
    each_line(text, [&](long line, const std::string &k, const std::string &rest) {
        if (k == "v") {
            check.coordinates(line, rest, 3, "vertex");
            ++so_far.v;
        } else if (k == "vt") {
            check.coordinates(line, rest, 2, "texture");
            ++so_far.vt;
        } else if (k == "vn") {
            check.coordinates(line, rest, 3, "normal");
            ++so_far.vn;
        } else if (k == "f") {
            check.face(line, rest, so_far, triangles, warnings);
        }
    });
}

// The OBJ reader's warnings, one a line, with the line they name (when
// they name one) after the file name; material warnings (the scene gives
// the materials) and those the checks above already gave are left out.
void collect_warnings(const std::string &warn, const std::string &name,
                      std::vector<std::string> &out) {
    std::istringstream in(warn);
    std::string w;
    while (std::getline(in, w)) {
        while (!w.empty() && (w.back() == '.' || is_space(w.back()))) w.pop_back();
        while (!w.empty() && (w[0] == '.' || is_space(w[0]))) w.erase(0, 1);
        if (w.empty() || w.find("aterial") != std::string::npos ||
            w.find("Degenerated face") != std::string::npos)
            continue;
        std::string place = name;
        for (const char *mark : {"(line ", "line: "}) {
            size_t at = w.find(mark);
            if (at == std::string::npos) continue;
            long line = strtol(w.c_str() + at + strlen(mark), nullptr, 10);
            if (line > 0) place += ":" + std::to_string(line);
            w.erase(at);
            while (!w.empty() && (is_space(w.back()) || w.back() == '.')) w.pop_back();
            break;
        }
        out.push_back(place + ": " + w);
    }
}

}  // namespace

void read_obj_mesh(const std::string &text, const std::string &name, Mesh &mesh,
                   std::vector<std::string> &warnings) {
    check_obj(text, name, warnings);
    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> mats;
    std::string warn, err;
    std::istringstream in(text);
    NoMaterials no_materials;
    if (!tinyobj::LoadObj(&attrib, &shapes, &mats, &warn, &err, &in, &no_materials, true))
        throw Error(name + ": " + (err.empty() ? std::string("not an OBJ mesh") : err));
    collect_warnings(warn, name, warnings);
    const long long nv = static_cast<long long>(attrib.vertices.size() / 3);
    const long long nn = static_cast<long long>(attrib.normals.size() / 3);
    const long long nt = static_cast<long long>(attrib.texcoords.size() / 2);
    for (float x : attrib.vertices)
        if (!std::isfinite(x)) throw Error(name + ": a vertex coordinate is not a finite number");
    const bool has_uv = nt > 0, has_n = nn > 0;
    if (has_uv) mesh.tex.assign(1, {});
    // Corners that name the same position, texture coordinate and normal
    // share one vertex, so a smooth surface stays one connected mesh.
    std::unordered_map<Corner, uint32_t, CornerHash> vertex_of;
    for (const auto &shape : shapes) {
        for (const auto &idx : shape.mesh.indices) {
            // The lines were checked above; this guards the reader's own
            // arithmetic on them.
            if (idx.vertex_index < 0 || idx.vertex_index >= nv)
                throw Error(name + ": face index " + std::to_string(idx.vertex_index + 1) +
                            " is past the " + std::to_string(nv) + " vertices");
            const int n =
                has_n && idx.normal_index >= 0 && idx.normal_index < nn ? idx.normal_index : -1;
            const int t = has_uv && idx.texcoord_index >= 0 && idx.texcoord_index < nt
                              ? idx.texcoord_index
                              : -1;
            const auto found = vertex_of.emplace(Corner{idx.vertex_index, t, n},
                                                 static_cast<uint32_t>(mesh.P.size()));
            mesh.tri.push_back(found.first->second);
            if (!found.second) continue;
            const size_t v = static_cast<size_t>(idx.vertex_index);
            mesh.P.push_back(
                {attrib.vertices[3 * v], attrib.vertices[3 * v + 1], attrib.vertices[3 * v + 2]});
            if (has_n)
                mesh.N.push_back(n >= 0 ? Vector3{attrib.normals[3 * n], attrib.normals[3 * n + 1],
                                                  attrib.normals[3 * n + 2]}
                                        : Vector3{0, 0, 0});
            if (has_uv)
                mesh.tex[0].push_back(
                    t >= 0 ? Vector3{attrib.texcoords[2 * t], attrib.texcoords[2 * t + 1], 0}
                           : Vector3{0, 0, 0});
        }
    }
    if (mesh.tri.size() % 3) throw Error(name + ": a face of the mesh is not a triangle");
}

}  // namespace korhost
