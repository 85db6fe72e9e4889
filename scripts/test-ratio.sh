#!/bin/sh
# Prints the C++ lines of the tests (tests/, the stand-in host included)
# against those of the library, the host, the interface and the tools, and
# their ratio (kept between 0.25 and 0.33).
cd "$(dirname "$0")/.." || exit 1
count() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.cc' \) -print0 2>/dev/null |
        xargs -0 cat 2>/dev/null | wc -l
}
tests=$(count tests)
code=$(count src host include tools)
awk -v t="$tests" -v c="$code" 'BEGIN {
    printf "test/code ratio: %d test lines / %d code lines = %.2f (target 0.25-0.33)\n", t, c, c ? t / c : 0
}'
