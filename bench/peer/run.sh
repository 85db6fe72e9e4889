#!/usr/bin/env bash
# The peer benchmark: korrender and POV-Ray 3.7 render the same scene
# (peer.json, peer.pov) at equal resolution, samples per pixel and threads,
# in alternating runs; prints each run, the medians, and last the ratio.
#   bench/peer/run.sh [-b BUILD_DIR] [-r WxH] [-s SAMPLES] [-t THREADS] [-n RUNS]
# SAMPLES is a square (1, 4, 9, ...): POV-Ray supersamples every pixel on an
# n x n grid (+AM1 +A0 +Rn), korrender takes n x n stratified samples.
# The machine may be shared: wall times are noisy, so the medians of both
# the wall and the CPU seconds (user + system) are given.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build res=1920x1080 spp=1 threads=2 runs=5
while getopts "b:r:s:t:n:" o; do
  case $o in
    b) build=$OPTARG ;; r) res=$OPTARG ;; s) spp=$OPTARG ;; t) threads=$OPTARG ;;
    n) runs=$OPTARG ;; *) sed -n 2,9p "$0" >&2; exit 2 ;;
  esac
done
grid=$(awk -v s="$spp" 'BEGIN { g = int(sqrt(s) + 0.5); print (g * g == s && g > 0) ? g : 0 }')
if [ "$grid" -eq 0 ]; then echo "run.sh: samples must be a square (1, 4, 9, ...), not $spp" >&2; exit 2; fi
# POV-Ray and GNU time are optional bench dependencies.
command -v povray >/dev/null && [ -x /usr/bin/time ] || scripts/install-deps.sh --bench
korrender=$build/host/korrender
[ -x "$korrender" ] || { echo "run.sh: no $korrender (build first)" >&2; exit 1; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
w=${res%x*} h=${res#*x}
aa=(-A)
[ "$grid" -gt 1 ] && aa=(+A0.0 +AM1 "+R$grid" -J)
kor=("$korrender" bench/peer/peer.json -o "$out/kor.png" --resolution "$res" --samples "$spp"
     --threads "$threads" --no-progress --quiet)
pov=(povray "+Ibench/peer/peer.pov" "+O$out/pov.png" "+W$w" "+H$h" "${aa[@]}" "+WT$threads"
     -D -V -GA "+L$out")

# One run: "wall cpu" in seconds.
measure() {
  /usr/bin/time -f "%e %U %S" -o "$out/time" "$@" >/dev/null 2>"$out/log" ||
    { cat "$out/log" >&2; exit 1; }
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$out/time"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "peer scene at $res, $spp samples per pixel, $threads threads, $runs alternating runs"
: >"$out/kor" ; : >"$out/pov"
for ((i = 1; i <= runs; ++i)); do
  k=$(measure "${kor[@]}"); p=$(measure "${pov[@]}")
  echo "$k" >>"$out/kor"; echo "$p" >>"$out/pov"
  echo "run $i: korrender wall ${k% *} s cpu ${k#* } s | povray wall ${p% *} s cpu ${p#* } s"
done
kw=$(cut -d' ' -f1 "$out/kor" | median) kc=$(cut -d' ' -f2 "$out/kor" | median)
pw=$(cut -d' ' -f1 "$out/pov" | median) pc=$(cut -d' ' -f2 "$out/pov" | median)
echo "median: korrender wall $kw s cpu $kc s | povray wall $pw s cpu $pc s"
awk -v kw="$kw" -v pw="$pw" -v kc="$kc" -v pc="$pc" \
  'BEGIN { printf "ratio korrender/povray: wall %.2f cpu %.2f\n", kw / pw, kc / pc }'
