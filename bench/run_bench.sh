#!/usr/bin/env bash
# Benchmark of a full vornix run on worst-case images: median wall time, instruction counts and
# their split (callgrind), system calls by kind (strace -c -f) and peak memory (/usr/bin/time -v).
# Usage: bench/run_bench.sh [RUNS]   (from the repository's top folder; default 21 runs)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-21}
build=build
cmake --preset default >/dev/null
cmake --build --preset default --target vornix make_bench_images >/dev/null
vornix=$PWD/$build/vornix
work=$(mktemp -d "${TMPDIR:-/tmp}/vornix-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/images" "$work/out"
"$build/bench/make_bench_images" "$work/images"
ls -l "$work/images"
cd "$work/out"

# One full run in the output folder, starting from an empty one.
run() { rm -f ZK*; "$@" >/dev/null; }

echo
echo "== wall time of a full run on worst.d88 ($runs runs)"
times=()
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  run "$vornix" ../images/worst.d88
  end=$(date +%s%N)
  times+=($(( (end - start) / 1000 )))
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "median ${sorted[$(( runs / 2 ))]} us, min ${sorted[0]} us, max ${sorted[$(( runs - 1 ))]} us"
echo "chunk files written: $(ls | wc -l)"

echo
echo "== instructions (callgrind), inclusive, on worst.d88"
rm -f ZK*
valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" "$vornix" ../images/worst.d88 \
  >/dev/null 2>"$work/callgrind.log"
callgrind_annotate --inclusive=yes "$work/callgrind.out" 2>/dev/null |
  grep -E 'PROGRAM TOTALS|assembleDisk|scanChunks|writeChunkFile|D88Reader::open|[^:]main ' |
  grep -v -E 'chunk_file.cpp:[a-z]' | head -n 8

echo
echo "== system calls (strace -c -f) on worst.d88, image of $(stat -c %s ../images/worst.d88) bytes"
rm -f ZK*
strace -c -f -o "$work/strace.txt" "$vornix" ../images/worst.d88 >/dev/null
head -n 40 "$work/strace.txt"
for image in worst one big; do
  rm -f ZK*
  strace -f -e trace=read -o "$work/reads.txt" "$vornix" "../images/$image.d88" >/dev/null
  size=$(stat -c %s "../images/$image.d88")
  reads=$(grep -c 'read(3' "$work/reads.txt" || true)
  echo "$image.d88: $reads read() calls on the image for $size bytes (limit $(( (size + 16383) / 16384 )): one per 16 KiB)"
done

echo
echo "== peak memory (/usr/bin/time -v)"
for image in one worst big; do
  rm -f ZK*
  /usr/bin/time -v "$vornix" "../images/$image.d88" 2>"$work/time.txt" >/dev/null
  echo "$image.d88 ($(stat -c %s "../images/$image.d88") bytes): $(grep 'Maximum resident' "$work/time.txt")"
done
