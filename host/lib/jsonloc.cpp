// A small scanner over an already valid JSON text that finds the byte
// offset of the value a JSON pointer names.
#include "jsonloc.h"

#include <nlohmann/json.hpp>
#include <set>
#include <vector>

namespace korhost {

namespace {

class Scanner {
  public:
    Scanner(const std::string &text, std::vector<std::string> path, bool key_only)
        : s_(text), path_(std::move(path)), key_only_(key_only) {}

    // Offset of the target, or npos.
    size_t run() {
        skip_ws();
        if (path_.empty()) return pos_;
        value(0);
        return found_;
    }

  private:
    const std::string &s_;
    std::vector<std::string> path_;
    bool key_only_;
    size_t pos_ = 0;
    size_t found_ = std::string::npos;

    void skip_ws() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t'))
            ++pos_;
    }

    std::string string_token() {
        std::string out;
        ++pos_;  // opening quote
        while (pos_ < s_.size() && s_[pos_] != '"') {
            if (s_[pos_] == '\\' && pos_ + 1 < s_.size()) {
                out += s_[pos_ + 1];
                pos_ += 2;
            } else {
                out += s_[pos_++];
            }
        }
        ++pos_;
        return out;
    }

    // Scans one value; `depth` is how much of the path is matched so far
    // (the value itself is at path_[0..depth)). Returns false to stop.
    bool value(size_t depth) {
        skip_ws();
        if (pos_ >= s_.size()) return false;
        char c = s_[pos_];
        if (c == '{') {
            ++pos_;
            skip_ws();
            if (pos_ < s_.size() && s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            while (pos_ < s_.size()) {
                skip_ws();
                size_t key_pos = pos_;
                std::string key = string_token();
                skip_ws();
                ++pos_;  // ':'
                skip_ws();
                if (depth < path_.size() && key == path_[depth]) {
                    if (depth + 1 == path_.size()) {
                        found_ = key_only_ ? key_pos : pos_;
                        return false;
                    }
                    if (!value(depth + 1)) return false;
                } else if (!value(path_.size() + 1)) {
                    return false;
                }
                skip_ws();
                if (pos_ < s_.size() && s_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                ++pos_;  // '}'
                return true;
            }
            return false;
        }
        if (c == '[') {
            ++pos_;
            skip_ws();
            if (pos_ < s_.size() && s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            size_t index = 0;
            while (pos_ < s_.size()) {
                skip_ws();
                if (depth < path_.size() && std::to_string(index) == path_[depth]) {
                    if (depth + 1 == path_.size()) {
                        found_ = pos_;
                        return false;
                    }
                    if (!value(depth + 1)) return false;
                } else if (!value(path_.size() + 1)) {
                    return false;
                }
                ++index;
                skip_ws();
                if (pos_ < s_.size() && s_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                ++pos_;  // ']'
                return true;
            }
            return false;
        }
        if (c == '"') {
            string_token();
            return true;
        }
        while (pos_ < s_.size() && s_[pos_] != ',' && s_[pos_] != '}' && s_[pos_] != ']' &&
               s_[pos_] != ' ' && s_[pos_] != '\n' && s_[pos_] != '\r' && s_[pos_] != '\t')
            ++pos_;
        return true;
    }
};

std::vector<std::string> split_pointer(const std::string &pointer) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < pointer.size()) {
        if (pointer[i] != '/') break;
        size_t j = pointer.find('/', i + 1);
        std::string token = pointer.substr(i + 1, j == std::string::npos ? j : j - i - 1);
        std::string decoded;
        for (size_t k = 0; k < token.size(); ++k) {
            if (token[k] == '~' && k + 1 < token.size()) {
                decoded += token[k + 1] == '1' ? '/' : '~';
                ++k;
            } else {
                decoded += token[k];
            }
        }
        out.push_back(decoded);
        if (j == std::string::npos) break;
        i = j;
    }
    return out;
}

// The end of the string that opens at `at` (one past its closing quote).
size_t string_end(const std::string &s, size_t at) {
    size_t i = at + 1;
    while (i < s.size() && s[i] != '"') i += s[i] == '\\' ? 2 : 1;
    return std::min(i + 1, s.size());
}

// The member name a string token stands for, escapes decoded.
std::string key_of(const std::string &token) {
    if (token.find('\\') == std::string::npos) return token.substr(1, token.size() - 2);
    try {
        return nlohmann::json::parse(token).get<std::string>();
    } catch (const std::exception &) {
        return token;
    }
}

}  // namespace

bool check_structure(const std::string &text, int max_depth, bool keys, JsonProblem &problem) {
    struct Level {
        bool object;
        bool want_key;
        std::set<std::string> names;
    };
    std::vector<Level> stack;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            const size_t end = string_end(text, i);
            if (keys && !stack.empty() && stack.back().object && stack.back().want_key) {
                Level &l = stack.back();
                l.want_key = false;
                const std::string name = key_of(text.substr(i, end - i));
                if (!l.names.insert(name).second) {
                    problem.offset = i;
                    problem.text =
                        "duplicate key '" + name + "' (which of its values is meant is ambiguous)";
                    return false;
                }
            }
            i = end - 1;
        } else if (c == '{' || c == '[') {
            if (static_cast<int>(stack.size()) >= max_depth) {
                problem.offset = i;
                problem.text = "nested deeper than " + std::to_string(max_depth) + " levels";
                return false;
            }
            stack.push_back({c == '{', c == '{', {}});
        } else if (c == '}' || c == ']') {
            if (!stack.empty()) stack.pop_back();
        } else if (c == ',') {
            if (!stack.empty() && stack.back().object) stack.back().want_key = true;
        }
    }
    return true;
}

size_t find_number(const std::string &text, const std::string &token) {
    if (token.empty()) return std::string::npos;
    auto boundary = [&](size_t at) {
        if (at >= text.size()) return true;
        const char c = text[at];
        return c == ',' || c == ']' || c == '}' || c == ':' || c == '[' || c == ' ' || c == '\n' ||
               c == '\r' || c == '\t';
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            i = string_end(text, i) - 1;
        } else if (text.compare(i, token.size(), token) == 0 && (i == 0 || boundary(i - 1)) &&
                   boundary(i + token.size())) {
            return i;
        }
    }
    return std::string::npos;
}

TextPosition position_of(const std::string &text, size_t offset) {
    TextPosition p{1, 1};
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++p.line;
            p.column = 1;
        } else {
            ++p.column;
        }
    }
    return p;
}

TextPosition locate(const std::string &text, const std::string &pointer, bool key_only) {
    Scanner scanner(text, split_pointer(pointer), key_only);
    size_t offset = scanner.run();
    if (offset == std::string::npos) return {};
    return position_of(text, offset);
}

std::string pointer_token(const std::string &key) {
    std::string out;
    for (char c : key) {
        if (c == '~')
            out += "~0";
        else if (c == '/')
            out += "~1";
        else
            out += c;
    }
    return out;
}

}  // namespace korhost
