// Reading declarations and laying out their records with C alignment.
#include "decl.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "jsonloc.h"

namespace korhost {

namespace {

struct BasicInfo {
    const char *name;
    Kind kind;
    size_t size, align;
};

const BasicInfo kBasics[] = {
    {"boolean", Kind::Boolean, 4, 4}, {"integer", Kind::Integer, 4, 4},
    {"scalar", Kind::Scalar, 4, 4},   {"vector", Kind::Vector, 12, 4},
    {"color", Kind::Color, 16, 4},    {"transform", Kind::Transform, 64, 4},
    {"shader", Kind::Shader, 4, 4},   {"texture", Kind::Texture, 4, 4},
    {"light", Kind::Light, 4, 4},     {"material", Kind::Material, 4, 4},
    {"data", Kind::Data, 4, 4},       {"string", Kind::String, 4, 4},
    {"pointer", Kind::Pointer, 8, 8}, {"instance", Kind::Instance, 4, 4},
};

const BasicInfo *basic_by_name(const std::string &name) {
    for (const auto &b : kBasics)
        if (name == b.name) return &b;
    return nullptr;
}

std::string read_text(const std::string &path) {
    // Only regular files: a device or a pipe could be read forever.
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw DeclarationError(path + ": cannot read declaration file (not a file)");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DeclarationError(path + ": cannot read declaration file");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool contains_array(const Type &t) {
    if (t.kind == Kind::Array) return true;
    for (const auto &f : t.fields)
        if (contains_array(*f.type)) return true;
    return false;
}

std::string default_text(const json &v) {
    if (v.is_null()) return "";
    if (v.is_number_float()) {
        std::ostringstream os;
        os << v.get<double>();
        return os.str();
    }
    if (v.is_array()) {
        std::string s = "(";
        for (size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + default_text(v[i]);
        return s + ")";
    }
    if (v.is_string()) return "\"" + v.get<std::string>() + "\"";
    return v.dump();
}

std::string md_escape(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '|')
            out += "\\|";
        else if (c == '\n')
            out += ' ';
        else
            out += c;
    }
    return out;
}

void markdown_fields(std::ostringstream &os, const Type &t, const std::string &prefix) {
    for (const auto &f : t.fields) {
        os << "| `" << prefix << f.name << "` | " << f.offset << " | " << f.type->describe()
           << " | " << md_escape(default_text(f.default_value)) << " | " << md_escape(f.description)
           << " |\n";
        if (f.type->kind == Kind::Struct && f.type->name.empty())
            markdown_fields(os, *f.type, prefix + f.name + ".");
    }
}

}  // namespace

TypeRef basic_type(Kind kind) {
    static std::map<Kind, TypeRef> cache = [] {
        std::map<Kind, TypeRef> m;
        for (const auto &b : kBasics) {
            auto t = std::make_shared<Type>();
            t->kind = b.kind;
            t->size = b.size;
            t->align = b.align;
            m[b.kind] = t;
        }
        return m;
    }();
    return cache.at(kind);
}

const Field *Type::field(const std::string &n) const {
    for (const auto &f : fields)
        if (f.name == n) return &f;
    return nullptr;
}

bool Type::is_tag() const {
    switch (kind) {
        case Kind::Shader:
        case Kind::Texture:
        case Kind::Light:
        case Kind::Material:
        case Kind::Data:
        case Kind::Instance:
        case Kind::String: return true;
        default: return false;
    }
}

std::string Type::describe() const {
    switch (kind) {
        case Kind::Struct: return name.empty() ? "struct" : "struct " + name;
        case Kind::Array: return "array of " + element->describe();
        default:
            for (const auto &b : kBasics)
                if (b.kind == kind) return b.name;
    }
    return "?";
}

bool Type::same_as(const Type &o) const {
    if (kind != o.kind) return false;
    if (kind == Kind::Array) return element->same_as(*o.element);
    if (kind != Kind::Struct) return true;
    if (fields.size() != o.fields.size() || size != o.size) return false;
    for (size_t i = 0; i < fields.size(); ++i)
        if (fields[i].offset != o.fields[i].offset || !fields[i].type->same_as(*o.fields[i].type))
            return false;
    return true;
}

TypeRef Declarations::parse_struct(const json &fields, const std::string &name,
                                   const std::string &where) const {
    if (!fields.is_array()) throw DeclarationError(where + ": fields must be a list");
    auto t = std::make_shared<Type>();
    t->kind = Kind::Struct;
    t->name = name;
    size_t cursor = 0, align = 4;
    for (const auto &spec : fields) {
        if (!spec.is_object() || !spec.contains("name") || !spec["name"].is_string())
            throw DeclarationError(where + ": every field needs a \"name\"");
        Field f;
        f.name = spec["name"].get<std::string>();
        const std::string fwhere = where + ", field '" + f.name + "'";
        if (t->field(f.name)) throw DeclarationError(fwhere + ": declared twice");
        if (!spec.contains("type")) throw DeclarationError(fwhere + ": no \"type\"");
        f.type = parse_type(spec, fwhere);
        if (spec.contains("default")) f.default_value = spec["default"];
        if (spec.contains("description")) f.description = spec["description"].get<std::string>();
        size_t offset = align_up(cursor, f.type->align);
        // A field may be pinned to a byte offset (records exchanged with
        // other programs keep fixed offsets; the gap stays zero).
        if (spec.contains("offset")) {
            size_t pinned = spec["offset"].get<size_t>();
            if (pinned < offset || pinned % f.type->align)
                throw DeclarationError(fwhere + ": offset " + std::to_string(pinned) +
                                       " overlaps the field before it or is misaligned");
            offset = pinned;
        }
        f.offset = offset;
        cursor = offset + f.type->size;
        align = std::max(align, f.type->align);
        t->fields.push_back(std::move(f));
    }
    t->align = align;
    t->size = align_up(cursor, align);
    return t;
}

TypeRef Declarations::parse_type(const json &spec, const std::string &where) const {
    // `spec` is either a type name or an object with "type" (and "fields"
    // or "element").
    json type = spec.is_object() ? spec.value("type", json()) : spec;
    if (!type.is_string()) throw DeclarationError(where + ": the type must be a name");
    const std::string name = type.get<std::string>();
    if (const BasicInfo *b = basic_by_name(name)) return basic_type(b->kind);
    if (name == "struct") {
        if (!spec.is_object() || !spec.contains("fields"))
            throw DeclarationError(where + ": a struct needs \"fields\"");
        return parse_struct(spec["fields"], "", where);
    }
    if (name == "array") {
        if (!spec.is_object() || !spec.contains("element"))
            throw DeclarationError(where + ": an array needs \"element\"");
        TypeRef element = parse_type(spec["element"], where + " (element)");
        if (contains_array(*element))
            throw DeclarationError(where + ": arrays of arrays are not supported");
        auto t = std::make_shared<Type>();
        t->kind = Kind::Array;
        t->element = element;
        t->align = std::max<size_t>(4, element->align);
        t->slot_offset = align_up(8, element->align);
        t->size = align_up(t->slot_offset + element->size, t->align);
        return t;
    }
    auto it = types_.find(name);
    if (it != types_.end()) return it->second;
    throw DeclarationError(where + ": unknown type '" + name + "'");
}

void Declarations::load_dir(const std::string &dir, int threads) {
    DIR *d = opendir(dir.c_str());
    if (!d) throw DeclarationError(dir + ": cannot open the declaration directory");
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0)
            names.push_back(dir + "/" + n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    // The files are parsed side by side, then read into the declarations
    // in name order (later files use the types of earlier ones), so that
    // the first problem in that order is the one reported.
    std::vector<json> docs(names.size());
    std::vector<std::string> problems(names.size());
    std::atomic<size_t> next{0};
    auto parse = [&] {
        for (size_t i; (i = next.fetch_add(1)) < names.size();) {
            try {
                docs[i] = parse_file(names[i]);
            } catch (const DeclarationError &e) {
                problems[i] = e.what();
            }
        }
    };
    std::vector<std::thread> pool;
    for (size_t t = 1; t < std::min<size_t>(std::max(threads, 1), names.size()); ++t)
        pool.emplace_back(parse);
    parse();
    for (std::thread &t : pool) t.join();
    for (size_t i = 0; i < names.size(); ++i) {
        if (!problems[i].empty()) throw DeclarationError(problems[i]);
        load_json(docs[i], names[i]);
    }
}

json Declarations::parse_file(const std::string &path) {
    const std::string text = read_text(path);
    auto at = [&](size_t offset) {
        TextPosition p = position_of(text, offset);
        return path + ":" + std::to_string(p.line) + ":" + std::to_string(p.column);
    };
    JsonProblem problem;
    if (!check_structure(text, 128, false, problem))
        throw DeclarationError(at(problem.offset) + ": malformed JSON: " + problem.text);
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error &e) {
        throw DeclarationError(at(e.byte > 0 ? e.byte - 1 : 0) + ": malformed JSON: " + e.what());
    } catch (const json::out_of_range &e) {
        throw DeclarationError(path + ": malformed JSON: " + e.what());
    }
    if (!check_structure(text, 128, true, problem))
        throw DeclarationError(at(problem.offset) + ": malformed JSON: " + problem.text);
    return doc;
}

void Declarations::load_file(const std::string &path) {
    load_json(parse_file(path), path);
}

void Declarations::load_json(const json &doc, const std::string &file) {
    if (!doc.is_object()) throw DeclarationError(file + ": a declaration file is a JSON object");
    FileInfo info;
    info.file = file;
    info.family = doc.value("family", std::string());
    info.description = doc.value("description", std::string());
    try {
        if (doc.contains("types")) {
            for (const auto &[tname, tspec] : doc["types"].items()) {
                const std::string where = file + ": type '" + tname + "'";
                if (types_.count(tname) || basic_by_name(tname))
                    throw DeclarationError(where + ": declared twice");
                types_[tname] = parse_struct(tspec.value("fields", json::array()), tname, where);
            }
        }
        for (const char *section : {"shaders", "data"}) {
            if (!doc.contains(section)) continue;
            for (const auto &spec : doc[section]) {
                auto d = std::make_unique<Declaration>();
                d->kind = std::string(section) == "shaders" ? "shader" : "data";
                d->file = file;
                d->family = info.family;
                if (!spec.contains("name") || !spec["name"].is_string())
                    throw DeclarationError(file + ": a declaration without \"name\"");
                d->name = spec["name"].get<std::string>();
                const std::string where = file + ": " + d->kind + " '" + d->name + "'";
                if (by_name_.count(d->name)) {
                    throw DeclarationError(where + ": already declared in " +
                                           by_name_[d->name]->file);
                }
                if (spec.contains("version") && !spec["version"].is_null())
                    d->version = spec["version"].get<int>();
                if (spec.contains("result") && !spec["result"].is_null())
                    d->result = parse_type(spec["result"], where + ", result");
                d->params = parse_struct(spec.value("parameters", json::array()), "", where);
                d->description = spec.value("description", std::string());
                if (spec.contains("apply"))
                    d->apply = spec["apply"].get<std::vector<std::string>>();
                by_name_[d->name] = d.get();
                info.decls.push_back(d.get());
                decls_.push_back(std::move(d));
            }
        }
    } catch (const json::exception &e) {
        throw DeclarationError(file + ": " + e.what());
    }
    files_.push_back(std::move(info));
}

const Declaration *Declarations::find(const std::string &name) const {
    auto it = by_name_.find(name);
    return it == by_name_.end() ? nullptr : it->second;
}

std::string Declarations::markdown() const {
    std::ostringstream os;
    os << "# Shader reference\n\n"
       << "Generated by `korrender --describe-shaders` from the declarations in `shaders/`. "
       << "Offsets are bytes from the start of the parameter record; arrays are stored as a "
       << "start index and a count (32-bit each) followed by the element slot, element k "
          "being slot element start + k.\n";
    for (const auto &f : files_) {
        std::string base = f.file.substr(f.file.find_last_of('/') + 1);
        os << "\n## " << (f.family.empty() ? base : f.family) << " (`" << base << "`)\n";
        if (!f.description.empty()) os << "\n" << f.description << "\n";
        for (const Declaration *d : f.decls) {
            os << "\n### `" << d->name << "`";
            if (d->kind == "data") os << " (data record)";
            os << "\n\n";
            if (!d->description.empty()) os << d->description << "\n\n";
            os << "- Version: " << (d->version ? std::to_string(*d->version) : "none") << "\n";
            if (d->kind == "shader")
                os << "- Result: " << (d->result ? d->result->describe() : "none") << "\n";
            if (!d->apply.empty()) {
                os << "- Used as:";
                for (size_t i = 0; i < d->apply.size(); ++i) os << (i ? ", " : " ") << d->apply[i];
                os << "\n";
            }
            os << "- Record size: " << d->params->size << " bytes\n";
            if (d->params->fields.empty()) {
                os << "- Parameters: none\n";
                continue;
            }
            os << "\n| Parameter | Offset | Type | Default | Description |\n"
               << "|---|---|---|---|---|\n";
            markdown_fields(os, *d->params, "");
        }
    }
    return os.str();
}

}  // namespace korhost
