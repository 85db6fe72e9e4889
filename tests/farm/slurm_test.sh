#!/usr/bin/env bash
# Farm rendering for real: starts a one-node Slurm cluster on this machine
# (munged, slurmctld and slurmd on localhost, from a generated slurm.conf in a
# temporary folder), submits a scene in 2 x 2 regions over 2 frames with
# scripts/farm-render.sh, waits, and checks that each assembled frame equals
# the same frame rendered in one process, bit for bit. Stops the daemons and
# removes its folder however it ends.
# usage: slurm_test.sh KORRENDER SOURCE_DIR
set -euo pipefail
korrender=$(realpath "$1") source=$(realpath "$2")
for tool in munged slurmctld slurmd sbatch oiiotool; do
  command -v $tool > /dev/null || { echo "slurm test: $tool is missing (make farm-test installs it)"; exit 1; }
done
work=$(mktemp -d /tmp/korfarm_test_XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2> /dev/null || true; done
  sleep 1
  for p in "${pids[@]}"; do kill -9 "$p" 2> /dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# munge: its own key, socket and files.
mkdir -p "$work/munge"
chmod 700 "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$work/munge/munge.key"
munged --force --key-file="$work/munge/munge.key" --socket="$work/munge/munge.sock" \
  --pid-file="$work/munge/munged.pid" --log-file="$work/munge/munged.log" \
  --seed-file="$work/munge/munged.seed"
for _ in $(seq 50); do [ -s "$work/munge/munged.pid" ] && break; sleep 0.1; done
pids+=("$(cat "$work/munge/munged.pid")")

node=$(hostname -s)
port=$((20000 + RANDOM % 20000))
mkdir -p "$work/state" "$work/spool"
export SLURM_CONF="$work/slurm.conf"
cat > "$SLURM_CONF" <<CONF
ClusterName=korfarm
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/munge.sock
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
SwitchType=switch/none
MpiDefault=none
ReturnToService=2
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=farm Nodes=$node Default=YES MaxTime=INFINITE State=UP
CONF
slurmctld -i -f "$SLURM_CONF"
slurmd -f "$SLURM_CONF"
for _ in $(seq 100); do [ -s "$work/slurmctld.pid" ] && [ -s "$work/slurmd.pid" ] && break; sleep 0.1; done
pids+=("$(cat "$work/slurmctld.pid")" "$(cat "$work/slurmd.pid")")
for _ in $(seq 100); do
  sinfo -h -o %T 2> /dev/null | grep -qE '^(idle|mixed|allocated)' && break
  sleep 0.2
done
sinfo -h -o %T | grep -qE '^(idle|mixed|allocated)' || { echo "slurm test: the node did not come up"; cat "$work"/*.log; exit 1; }

# The render: showcase, small, 2 x 2 regions, frames 1 and 2.
args=(--resolution 96x54 --samples 1 --threads 1)
job=$("$source/scripts/farm-render.sh" "$source/scenes/showcase.json" -o "$work/out/beauty.#.exr" \
  --tiles 2x2 --frames 1-2 --korrender "$korrender" -- "${args[@]}")
for _ in $(seq 600); do
  state=$(scontrol show job "$job" 2> /dev/null | grep -o 'JobState=[A-Z_]*' | cut -d= -f2)
  case "$state" in COMPLETED|FAILED|CANCELLED|TIMEOUT|NODE_FAIL|OUT_OF_MEMORY) break ;; esac
  sleep 0.5
done
[ "$state" = COMPLETED ] || { echo "slurm test: the assembly ended $state"; cat "$work"/out/*.log "$work"/out/*.tiles/*.log 2> /dev/null; exit 1; }
for f in 1 2; do
  "$korrender" "$source/scenes/showcase.json" -o "$work/whole.$f.exr" --frame $f --no-progress "${args[@]}"
  oiiotool "$work/out/beauty.$f.exr" "$work/whole.$f.exr" --diff --fail 0 --failpercent 0 > "$work/diff.log" ||
    { echo "slurm test: frame $f assembled from regions differs from the whole render"; cat "$work/diff.log"; exit 1; }
done
[ ! -e "$work/out/beauty._.exr.tiles" ] || { echo "slurm test: the region images were left behind"; exit 1; }
echo "slurm test passed: 8 region tasks and 2 assemblies equal the whole renders"
