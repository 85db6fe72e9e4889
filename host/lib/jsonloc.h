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

// Line and column of a byte offset in `text`.
TextPosition position_of(const std::string &text, size_t offset);

}  // namespace korhost
