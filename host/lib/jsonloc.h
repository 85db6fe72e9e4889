// Where a value of a JSON text stands: line and column of the value a JSON
// pointer names, for messages about scene files.
#pragma once

#include <string>

namespace korhost {

struct TextPosition {
    int line = 0;    // 1-based; 0 when unknown
    int column = 0;  // 1-based
};

// Position of the value (or, for `key_only`, of the member name) that the
// JSON pointer `pointer` ("/camera/resolution/0") names in `text`.
TextPosition locate(const std::string &text, const std::string &pointer, bool key_only = false);

// A member name as one reference token of a JSON pointer ('~' as "~0",
// '/' as "~1").
std::string pointer_token(const std::string &key);

// Line and column of a byte offset in `text`.
TextPosition position_of(const std::string &text, size_t offset);

// A problem with the structure of a JSON text and the byte offset it is at.
struct JsonProblem {
    size_t offset = 0;
    std::string text;
};

// Finds arrays and objects nested deeper than `max_depth` (on any text,
// valid JSON or not) and, with `keys`, an object naming a member twice
// (on a valid JSON text). Returns false and fills `problem` at the first.
bool check_structure(const std::string &text, int max_depth, bool keys, JsonProblem &problem);

// Byte offset of the number `token` (as written) in `text`, outside
// strings; npos when it is not there.
size_t find_number(const std::string &text, const std::string &token);

}  // namespace korhost
