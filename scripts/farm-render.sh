#!/usr/bin/env bash
# Renders a scene on a Slurm cluster as an array job: one task per region of
# the image (and per frame), then one task, run when all have finished, that
# lays the regions together into the whole image with oiiotool.
#
#   scripts/farm-render.sh SCENE.json -o OUT.exr [--tiles CxR] [--frames A-B]
#                          [--sbatch "OPTIONS"] [--dry-run] [-- KORRENDER OPTIONS]
#
#   -o OUT.exr       the image; with --frames a run of # takes the frame number
#   --tiles CxR      C columns by R rows of regions (default 2x2)
#   --frames A-B     frames A to B, each cut into the same regions
#   --sbatch "..."   further sbatch options (partition, account, time, ...)
#   --dry-run        print the sbatch commands instead of submitting them
#   --korrender PATH the korrender on the nodes (default: the one on PATH)
#
# The shared folder of OUT.exr holds the region images (OUT.tiles/) and the
# task logs until the assembly has succeeded. Prints the job id of the
# assembly task; `scontrol show job ID` follows it.
set -euo pipefail

usage() { sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
fail() { echo "farm-render: error: $*" >&2; exit 2; }

scene="" out="" tiles=2x2 frames="" sbatch_extra="" dry=0 korrender=${KORRENDER:-korrender}
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    -o) out=${2:?}; shift 2 ;;
    --tiles) tiles=${2:?}; shift 2 ;;
    --frames) frames=${2:?}; shift 2 ;;
    --sbatch) sbatch_extra=${2:?}; shift 2 ;;
    --korrender) korrender=${2:?}; shift 2 ;;
    --dry-run) dry=1; shift ;;
    -h|--help) usage ;;
    --) shift; extra=("$@"); break ;;
    -*) fail "unknown option $1" ;;
    *) [ -z "$scene" ] || fail "more than one scene given"; scene=$1; shift ;;
  esac
done
[ -n "$scene" ] || fail "no scene given"
[ -n "$out" ] || fail "no output given (-o OUT.exr)"
[ -r "$scene" ] || fail "$scene: cannot read the scene"
[[ $tiles =~ ^([1-9][0-9]*)x([1-9][0-9]*)$ ]] || fail "--tiles needs COLUMNSxROWS, for example 2x2"
cols=${BASH_REMATCH[1]} rows=${BASH_REMATCH[2]}
first=0 last=0
if [ -n "$frames" ]; then
  [[ $frames =~ ^(-?[0-9]+)-(-?[0-9]+)$ ]] || fail "--frames needs FIRST-LAST, for example 1-24"
  first=${BASH_REMATCH[1]} last=${BASH_REMATCH[2]}
  [ "$last" -ge "$first" ] || fail "--frames $frames: the last frame comes before the first"
  [[ $out == *"#"* ]] || fail "--frames needs a # in the output name (for example beauty.####.exr)"
fi
command -v "$korrender" > /dev/null || [ -x "$korrender" ] || fail "cannot find korrender ($korrender)"

scene=$(realpath "$scene")
out=$(realpath -m "$out")
mkdir -p "$(dirname "$out")"
tiles_dir="$out.tiles"
tiles_dir=${tiles_dir//#/_}
mkdir -p "$tiles_dir"

# The image size as korrender will render it: a --resolution among the
# korrender options, else the scene camera's (320 x 240 when it gives none).
size=""
for ((i = 0; i < ${#extra[@]}; ++i)); do
  [ "${extra[i]}" = --resolution ] && size=${extra[i + 1]:-}
done
if [ -z "$size" ]; then
  size=$(python3 -c 'import json, sys
c = json.load(open(sys.argv[1])).get("camera", {})
r = c.get("resolution", [320, 240])
print("%dx%d" % (r[0], r[1]))' "$scene") || fail "$scene: cannot read the camera's resolution"
fi
[[ $size =~ ^([0-9]+)x([0-9]+)$ ]] || fail "cannot tell the image size ($size)"
width=${BASH_REMATCH[1]} height=${BASH_REMATCH[2]}

# One line per task: frame, region; the array task k renders line k.
plan="$tiles_dir/plan.txt"
: > "$plan"
for ((f = first; f <= last; ++f)); do
  for ((r = 0; r < rows; ++r)); do
    for ((c = 0; c < cols; ++c)); do
      x0=$((width * c / cols)) x1=$((width * (c + 1) / cols))
      y0=$((height * r / rows)) y1=$((height * (r + 1) / rows))
      echo "$f $((x1 - x0))x$((y1 - y0))+$x0+$y0" >> "$plan"
    done
  done
done
count=$(wc -l < "$plan")

frame_name() {  # the output name of frame $1
  local name=$out
  if [[ $name =~ ^([^#]*)(#+)(.*)$ ]]; then
    name=${BASH_REMATCH[1]}$(printf "%0${#BASH_REMATCH[2]}d" "$1")${BASH_REMATCH[3]}
  fi
  echo "$name"
}

render_task="$tiles_dir/render.sh"
{
  echo '#!/usr/bin/env bash'
  echo 'set -euo pipefail'
  echo "read -r frame crop < <(sed -n \"\$((SLURM_ARRAY_TASK_ID + 1))p\" $(printf %q "$plan"))"
  printf 'exec %q %q -o %q --crop "$crop" --frame "$frame" --no-progress' "$korrender" "$scene" \
    "$tiles_dir/tile.\$SLURM_ARRAY_TASK_ID.exr"
  for a in "${extra[@]}"; do printf ' %q' "$a"; done
  echo
} > "$render_task"
sed -i 's/\\\$SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_ID/' "$render_task"

assemble_task="$tiles_dir/assemble.sh"
{
  echo '#!/usr/bin/env bash'
  echo 'set -euo pipefail'
  k=0
  for ((f = first; f <= last; ++f)); do
    # Each region keeps its place as its data window; laid over each other
    # (they do not overlap) they make the whole image.
    args=(oiiotool "$tiles_dir/tile.$k.exr")
    for ((t = 1, ++k; t < rows * cols; ++t, ++k)); do
      args+=("$tiles_dir/tile.$k.exr" --over)
    done
    args+=(-o "$(frame_name "$f")")
    printf '%q ' "${args[@]}"
    echo
  done
  printf 'rm -rf %q\n' "$tiles_dir"
} > "$assemble_task"
chmod +x "$render_task" "$assemble_task"

read -r -a sbatch_opts <<< "$sbatch_extra"
submit() {
  if [ "$dry" = 1 ]; then echo "sbatch $*" >&2; echo 0; else sbatch --parsable "$@"; fi
}
render_job=$(submit "${sbatch_opts[@]}" --job-name=korrender --array=0-$((count - 1)) \
  --output="$tiles_dir/render.%a.log" "$render_task")
render_job=${render_job%%;*}
assemble_job=$(submit "${sbatch_opts[@]}" --job-name=korassemble --dependency=afterok:$render_job \
  --output="$(dirname "$out")/$(basename "${out//#/_}").assemble.log" "$assemble_task")
echo "${assemble_job%%;*}"
