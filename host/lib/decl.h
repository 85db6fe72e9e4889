// Shader and data declarations: the parameter record of every shader the
// host can run, read from the JSON files under shaders/, and the C layout
// of those records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace korhost {

using json = nlohmann::json;

enum class Kind {
    Boolean,
    Integer,
    Scalar,
    Vector,
    Color,
    Transform,
    Shader,
    Texture,
    Light,
    Material,
    Data,
    String,
    Instance,
    Pointer,
    Struct,
    Array
};

struct Type;
using TypeRef = std::shared_ptr<const Type>;

struct Field {
    std::string name;
    TypeRef type;
    size_t offset = 0;
    json default_value;  // null: zero
    std::string description;
};

struct Type {
    Kind kind = Kind::Integer;
    size_t size = 0;
    size_t align = 1;
    std::string name;           // named struct types: their name
    std::vector<Field> fields;  // Struct
    TypeRef element;            // Array
    size_t slot_offset = 0;     // Array: offset of the element slot

    const Field *field(const std::string &name) const;
    // Text for messages and documentation ("color", "array of shader", ...).
    std::string describe() const;
    // True for the kinds stored as a Tag.
    bool is_tag() const;
    // Same kind and, for structs and arrays, the same layout of kinds.
    bool same_as(const Type &other) const;
};

// One declared shader (or data record).
struct Declaration {
    std::string name;
    std::string kind;  // "shader" or "data"
    std::optional<int> version;
    TypeRef result;  // null: the shader writes no result of its own
    TypeRef params;  // a struct; may have no fields
    std::string description;
    std::vector<std::string> apply;  // where it is used: material, texture, lens, ...
    std::string file;                // the declaration file
    std::string family;
};

class DeclarationError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Declarations {
  public:
    // Reads every *.json file of `dir` (sorted by name), parsing them on up
    // to `threads` threads.
    void load_dir(const std::string &dir, int threads = 1);
    // Reads one declaration file; throws DeclarationError naming the file,
    // the declaration and the problem.
    void load_file(const std::string &path);
    // Reads declarations from a parsed document (`file` names it in messages).
    void load_json(const json &doc, const std::string &file);

    const Declaration *find(const std::string &name) const;
    const std::vector<std::unique_ptr<Declaration>> &all() const { return decls_; }

    // Markdown reference of every declaration, grouped by file.
    std::string markdown() const;

    // A type from its JSON description, with the named types known so far.
    TypeRef parse_type(const json &spec, const std::string &where) const;

  private:
    std::vector<std::unique_ptr<Declaration>> decls_;
    std::map<std::string, const Declaration *> by_name_;
    std::map<std::string, TypeRef> types_;  // named struct types
    struct FileInfo {
        std::string file, family, description;
        std::vector<const Declaration *> decls;
    };
    std::vector<FileInfo> files_;

    TypeRef parse_struct(const json &fields, const std::string &name,
                         const std::string &where) const;
    // A declaration file's text, checked and parsed; throws DeclarationError.
    static json parse_file(const std::string &path);
};

// A basic type by kind.
TypeRef basic_type(Kind kind);

// Size of the fixed part of a record of `type` and the alignment it needs.
inline size_t align_up(size_t value, size_t align) {
    return (value + align - 1) / align * align;
}

}  // namespace korhost
