#!/usr/bin/env bash
# What keeping chunk files through a power cut costs. On ext4 on a loop device: the wall time of
# a fresh run against the floor (bench/vornix_floor.cpp: open, write and close each file, no
# checks) followed by one `sync -f`, which is what any durable writer must at least pay. On
# tmpfs: the CPU time of a fresh run and of a re-run over identical files against the floor,
# where a change to the writer must leave both ratios no worse than they were before it.
# Medians of RUNS runs, the two programs alternating; the output folder is emptied and flushed
# before each fresh run, so no run pays for the writeback of the one before.
# Needs: root (a loop device) and mkfs.ext4.
# Usage: bench/power_cut_speed.sh [BUILD_DIR] [RUNS]   (build and 5 runs by default)
set -euo pipefail
cd "$(dirname "$0")/.."
# awk and sort read and print numbers with a decimal point whatever the caller's locale.
export LC_ALL=C.UTF-8
build=${1:-build}
runs=${2:-5}
if [ "$(id -u)" -ne 0 ]; then
  echo "bench/power_cut_speed.sh needs root: it attaches a loop device and mounts ext4" >&2
  exit 2
fi
[ -f "$build/CMakeCache.txt" ] || cmake --preset default >/dev/null
cmake --build "$build" -j 2 --target vornix make_bench_images vornix_floor cpu_time >/dev/null
vornix=$(realpath "$build/vornix")
floor=$(realpath "$build/bench/vornix_floor")
cpu_time=$(realpath "$build/bench/cpu_time")

work=$(mktemp -d /tmp/vornix-power-cut-speed-XXXXXX)
mkdir "$work/images" "$work/ext4" "$work/tmpfs"
device=
cleanup() {
  for point in "$work/ext4" "$work/tmpfs"; do
    if mountpoint -q "$point"; then umount "$point" || umount -l "$point" || true; fi
  done
  [ -z "$device" ] || losetup -d "$device" || true
  rm -rf "$work"
}
trap cleanup EXIT
"$build/bench/make_bench_images" "$work/images"
truncate -s 400M "$work/disk.img"
device=$(losetup -f --show "$work/disk.img")
mkfs.ext4 -q "$device"
mount "$device" "$work/ext4"
mount -t tmpfs -o size=128m tmpfs "$work/tmpfs"

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# fresh FOLDER: an empty output folder, its removals already on the disk.
fresh() { rm -rf "$1" && mkdir "$1" && sync -f "$(dirname "$1")"; }
# elapsed COMMAND...: runs COMMAND in the current folder and prints its wall time in microseconds.
elapsed() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  awk -v start="$start" -v end="$EPOCHREALTIME" 'BEGIN { printf "%d\n", (end - start) * 1000000 }'
}
floor_then_sync() { "$floor" "$1" && sync -f .; }

for image in worst256 worst1024; do
  path=$work/images/$image.d88
  # Both programs must do the same job: the same names and the same files.
  fresh "$work/tmpfs/v" && fresh "$work/tmpfs/f"
  (cd "$work/tmpfs/v" && "$vornix" "$path" >../v.out)
  (cd "$work/tmpfs/f" && "$floor" "$path" >../f.out)
  if ! cmp -s "$work/tmpfs/v.out" "$work/tmpfs/f.out" || ! diff -r "$work/tmpfs/v" "$work/tmpfs/f" >/dev/null; then
    echo "vornix and the floor disagree on $image.d88" >&2
    exit 1
  fi
  files=$(wc -l <"$work/tmpfs/v.out")

  : >"$work/v.wall" && : >"$work/f.wall"
  for _ in $(seq "$runs"); do
    fresh "$work/ext4/v" && (cd "$work/ext4/v" && elapsed "$vornix" "$path" >>"$work/v.wall")
    fresh "$work/ext4/f" && (cd "$work/ext4/f" && elapsed floor_then_sync "$path" >>"$work/f.wall")
  done
  awk -v name="$image" -v files="$files" -v v="$(median <"$work/v.wall")" \
    -v f="$(median <"$work/f.wall")" 'BEGIN {
      printf "%-9s ext4 fresh, %d files: wall vornix %.1f ms, floor + sync -f %.1f ms, ratio %.2f (target at most 1.50)\n",
        name, files, v / 1000, f / 1000, v / f }'

  for workload in fresh rerun; do
    : >"$work/v.cpu" && : >"$work/f.cpu"
    for _ in $(seq "$runs"); do
      # fresh: an empty folder for every run; rerun: over the previous run's identical files.
      [ "$workload" = rerun ] || { fresh "$work/tmpfs/v" && fresh "$work/tmpfs/f"; }
      (cd "$work/tmpfs/v" && "$cpu_time" "$vornix" "$path" >>"$work/v.cpu")
      (cd "$work/tmpfs/f" && "$cpu_time" "$floor" "$path" >>"$work/f.cpu")
    done
    awk -v name="$image" -v load="$workload" -v v="$(median <"$work/v.cpu")" \
      -v f="$(median <"$work/f.cpu")" 'BEGIN {
        printf "%-9s tmpfs %-6s: CPU vornix %.1f ms, floor %.1f ms, ratio %.2f\n",
          name, load, v / 1000, f / 1000, v / f }'
  done
done
