#!/usr/bin/env bash
# Mutation testing: applies the deliberate faults listed in
# scripts/mutations.txt one at a time to the library and host sources,
# rebuilds incrementally and runs the test programs, and reports which
# faults the suite catches and which it misses.
#
#   scripts/mutate.sh [-b BUILD] [-l LIST] [-o LOG] [-p PROGRAMS] [-f FILTER] [SELECTION...]
#
#   -b BUILD   configured build directory (default: build)
#   -l LIST    the mutation list (default: scripts/mutations.txt)
#   -o LOG     where the test programs' output goes (default: BUILD/mutate.log)
#   -a         run the failing program to its end and list every test that
#              caught the fault (slower; shows which tests carry the catches)
#   -p PROGS   run only these test programs (comma-separated, e.g.
#              kor_render_checks,kor_internal_tests); a miss then means
#              missed by those programs
#   -f FILTER  a --gtest_filter for every program run (e.g. '*Checks/*')
#   SELECTION  mutation numbers (1-based, as printed), ranges like 3-9, or
#              words matched against the file and description (e.g. lights)
#
# Each fault is applied in place and the file restored afterwards, also on
# an interrupt. The test programs run cheapest first, each built just before
# it runs, and the first failing program ends that fault's run. Faults in
# host/ skip the programs that do not link the host. Slow: not part of
# `make test`.
set -u

cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=build
LIST=scripts/mutations.txt
LOG=
FAIL_FAST=--gtest_fail_fast
ONLY=
FILTER=
while getopts "b:l:o:p:f:ah" opt; do
    case $opt in
        b) BUILD=$OPTARG ;;
        l) LIST=$OPTARG ;;
        o) LOG=$OPTARG ;;
        a) FAIL_FAST= ;;
        p) ONLY=,$OPTARG, ;;
        f) FILTER=--gtest_filter=$OPTARG ;;
        *) sed -n '2,26p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
SELECTION=("$@")
BUILD=$(cd "$BUILD" 2>/dev/null && pwd) || { echo "mutate.sh: no build directory $BUILD" >&2; exit 2; }
[ -f "$BUILD/CMakeCache.txt" ] || { echo "mutate.sh: $BUILD is not a configured build" >&2; exit 2; }
[ -f "$LIST" ] || { echo "mutate.sh: no mutation list $LIST" >&2; exit 2; }
LOG=${LOG:-$BUILD/mutate.log}
: >"$LOG"

# The test programs, cheapest first: target and whether it links the host.
PROGRAMS=(
    "kor_frame_tests 0"
    "kor_internal_tests 0"
    "kor_render_checks 1"
    "kor_host_tests 1"
    "kor_scene_tests 1"
)
have_target() { cmake --build "$BUILD" --target help 2>/dev/null | grep -q "\.\.\. $1\$"; }
AVAILABLE=()
for p in "${PROGRAMS[@]}"; do
    set -- $p
    [ -n "$ONLY" ] && [[ $ONLY != *",$1,"* ]] && continue
    have_target "$1" && AVAILABLE+=("$p")
done

# Selection.
selected() {
    local n=$1 text=$2 sel
    [ ${#SELECTION[@]} -eq 0 ] && return 0
    for sel in "${SELECTION[@]}"; do
        if [[ $sel =~ ^[0-9]+$ ]]; then
            [ "$n" -eq "$sel" ] && return 0
        elif [[ $sel =~ ^([0-9]+)-([0-9]+)$ ]]; then
            [ "$n" -ge "${BASH_REMATCH[1]}" ] && [ "$n" -le "${BASH_REMATCH[2]}" ] && return 0
        elif [[ ${text,,} == *"${sel,,}"* ]]; then
            return 0
        fi
    done
    return 1
}
BACKUP=$(mktemp -d "${TMPDIR:-/tmp}/kor_mutate_XXXXXX")
CURRENT=
restore() {
    if [ -n "$CURRENT" ]; then
        # a fresh time stamp, so the next build recompiles the restored file
        cp "$BACKUP/original" "$ROOT/$CURRENT"
        touch "$ROOT/$CURRENT"
        CURRENT=
    fi
}
cleanup() {
    restore
    rm -rf "$BACKUP"
}
trap cleanup EXIT
trap 'echo "mutate.sh: interrupted, sources restored" >&2; exit 130' INT TERM

# Replaces the one occurrence of $2 in file $1 by $3.
apply() {
    python3 - "$@" <<'EOF'
import sys
path, old, new = sys.argv[1:4]
text = open(path).read()
if text.count(old) != 1:
    sys.exit("found %d times" % text.count(old))
open(path, "w").write(text.replace(old, new))
EOF
}

build_target() {
    nice cmake --build "$BUILD" --target "$1" -j "${JOBS:-2}" >>"$LOG" 2>&1
}

# Runs the test programs until one fails; prints the verdict.
run_suite() {
    local host_only=$1 p target prog links_host status
    for p in "${AVAILABLE[@]}"; do
        set -- $p
        target=$1 links_host=$2
        [ "$host_only" = 1 ] && [ "$links_host" = 0 ] && continue
        if ! build_target "$target"; then
            echo "build-error $target"
            return
        fi
        prog=$(find "$BUILD/tests" -name "$target" -type f -perm -u+x | head -1)
        (cd "$BUILD" && nice timeout 900 "$prog" --gtest_brief=1 $FAIL_FAST $FILTER) >"$BACKUP/out" 2>&1
        status=$?
        { echo "--- $target"; cat "$BACKUP/out"; } >>"$LOG"
        case $status in
            0) ;;
            124) echo "caught $target: timeout"; return ;;
            *) echo "caught $target: $(sed -n 's/^\[  FAILED  \] \([^ ,]*\)[ ,].*/\1/p' "$BACKUP/out" | grep -v '^[0-9]*$' | sort -u | paste -sd' ')"; return ;;
        esac
    done
    echo "missed"
}

# The build must be current before the first fault.
for p in "${AVAILABLE[@]}"; do
    set -- $p
    build_target "$1" || { echo "mutate.sh: the unmutated build fails (see $LOG)" >&2; exit 1; }
done

total=0 caught=0 missed_list=()
n=0
start=$(date +%s)
while IFS=$'\t' read -r file original replacement description; do
    [[ -z $file || $file == \#* ]] && continue
    n=$((n + 1))
    selected "$n" "$file $description" || continue
    total=$((total + 1))
    if [ ! -f "$file" ]; then
        printf '%3d ERROR  %s: no such file\n' "$n" "$file"
        continue
    fi
    cp -p "$file" "$BACKUP/original"
    CURRENT=$file
    if ! msg=$(apply "$file" "$original" "$replacement" 2>&1); then
        restore
        printf '%3d ERROR  %s: original text %s\n' "$n" "$file" "${msg##*: }"
        continue
    fi
    echo "=== $n $file: $description" >>"$LOG"
    host_only=0
    [[ $file == host/* ]] && host_only=1
    verdict=$(run_suite "$host_only")
    restore
    case $verdict in
        caught*) caught=$((caught + 1)); printf '%3d caught %s: %s (%s)\n' "$n" "$file" "$description" "${verdict#caught }" ;;
        missed) missed_list+=("$n"); printf '%3d MISSED %s: %s\n' "$n" "$file" "$description" ;;
        *) printf '%3d ERROR  %s: %s (%s)\n' "$n" "$file" "$description" "$verdict" ;;
    esac
done <"$LIST"

# Leave the build matching the restored sources.
for p in "${AVAILABLE[@]}"; do
    set -- $p
    build_target "$1"
done
echo "caught $caught of $total ($(( ($(date +%s) - start) / 60 )) min; missed: ${missed_list[*]:-none})"
