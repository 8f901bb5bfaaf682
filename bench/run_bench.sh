#!/usr/bin/env bash
# Benchmark of full vornix runs on worst-case images: CPU time against the floor (the same job
# done the cheapest way, bench/vornix_floor.cpp), median wall time and CPU time (hyperfine),
# instructions and where they go (callgrind), system calls by kind (strace -c -f) and peak memory
# (/usr/bin/time -v); and the browser page's size and speed against the native program.
# Needs: hyperfine, valgrind, strace and GNU time; it builds the default preset itself.
# As root it installs hyperfine when missing. The page's part needs the wasm build,
# web/node_modules and chromium, and is skipped without them.
# Usage: bench/run_bench.sh [RUNS]   (default 31 runs per timing)
set -euo pipefail
cd "$(dirname "$0")/.."
# sort -n and awk read and print numbers with a decimal point here, whatever the caller's locale.
export LC_ALL=C.UTF-8
root=$PWD
runs=${1:-31}
if ! command -v hyperfine >/dev/null && [ "$(id -u)" = 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq hyperfine >/dev/null
fi
cmake --preset default >/dev/null
cmake --build --preset default --target vornix make_bench_images vornix_floor cpu_time >/dev/null
vornix=$PWD/build/vornix
floor=$PWD/build/bench/vornix_floor
cpu_time=$PWD/build/bench/cpu_time
work=$(mktemp -d "${TMPDIR:-/tmp}/vornix-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/images" "$work/out"
build/bench/make_bench_images "$work/images"
cd "$work/out"
size() { stat -c %s "../images/$1.d88"; }
field() { sed -n "s/.*\"$2\": *\([0-9.e+-]*\).*/\1/p" "$1" | head -n 1; }

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "== CPU time (user + system) against the floor, median of $runs alternating runs each"
for image in worst256 worst1024; do
  # Both programs must do the same job: the same names and the same files.
  rm -rf "$work/v" "$work/f" && mkdir "$work/v" "$work/f"
  (cd "$work/v" && "$vornix" "../images/$image.d88" >../v.out)
  (cd "$work/f" && "$floor" "../images/$image.d88" >../f.out)
  if ! cmp -s "$work/v.out" "$work/f.out" || ! diff -r "$work/v" "$work/f" >/dev/null; then
    echo "vornix and the floor disagree on $image.d88"
    exit 1
  fi
  for workload in fresh rerun; do
    : >"$work/v.times"
    : >"$work/f.times"
    for _ in $(seq "$runs"); do
      # fresh: an empty folder for every run; rerun: over the previous run's files.
      [ "$workload" = fresh ] && rm -rf "$work/v" "$work/f" && mkdir "$work/v" "$work/f"
      (cd "$work/v" && "$cpu_time" "$vornix" "../images/$image.d88" >>../v.times)
      (cd "$work/f" && "$cpu_time" "$floor" "../images/$image.d88" >>../f.times)
    done
    awk -v name="$image" -v load="$workload" -v v="$(median <"$work/v.times")" \
      -v f="$(median <"$work/f.times")" -v files="$(find "$work/v" -name 'ZK*' | wc -l)" \
      'BEGIN { printf "%-9s %-6s %3d files: vornix %.1f ms, floor %.1f ms, ratio %.2f (target %s)\n",
               name, load, files, v / 1000, f / 1000, v / f, load == "fresh" ? "1.20" : "0.50" }'
  done
done
rm -rf "$work/v" "$work/f"

echo
echo "== system calls per chunk file (strace -c -f): worst.d88 less quiet.d88, which reads the same"
strace -c -f -o "$work/quiet.txt" "$vornix" ../images/quiet.d88 >/dev/null
# The total line: % time, seconds, usecs/call, calls, [errors,] "total".
calls() { awk '$NF == "total" { print $4 }' "$1"; }
for workload in fresh rerun; do
  [ "$workload" = fresh ] && find . -name 'ZK*' -delete
  strace -c -f -o "$work/calls.txt" "$vornix" ../images/worst.d88 >/dev/null
  files=$(find . -name 'ZK*' | wc -l)
  awk -v load="$workload" -v all="$(calls "$work/calls.txt")" -v base="$(calls "$work/quiet.txt")" \
    -v files="$files" 'BEGIN { printf "%-6s %.2f per file (%d calls, %d files; target 6)\n",
                               load, (all - base) / files, all - base, files }'
done

echo
echo "== wall and CPU time, $runs runs each (hyperfine; an empty output folder before each run)"
for image in worst quiet; do
  hyperfine -N --style none --warmup 3 --runs "$runs" --prepare "find $work/out -name ZK* -delete" \
    --export-json "$work/$image.json" "$vornix ../images/$image.d88" >/dev/null
  awk -v name="$image" -v median="$(field "$work/$image.json" median)" \
    -v user="$(field "$work/$image.json" user)" -v sys="$(field "$work/$image.json" system)" \
    'BEGIN { printf "%-6s median wall %.1f ms, mean CPU %.1f ms (user %.1f, system %.1f)\n",
             name, median * 1000, (user + sys) * 1000, user * 1000, sys * 1000 }'
done
awk -v wu="$(field "$work/worst.json" user)" -v ws="$(field "$work/worst.json" system)" \
  -v qu="$(field "$work/quiet.json" user)" -v qs="$(field "$work/quiet.json" system)" \
  'BEGIN { printf "reading, walking, sorting and scanning (quiet.d88) take %.1f%% of the CPU time of the full run (worst.d88)\n",
           100 * (qu + qs) / (wu + ws) }'
find . -name 'ZK*' -delete
"$vornix" ../images/worst.d88 >/dev/null
echo "chunk files written by worst.d88: $(find . -name 'ZK*' | wc -l)"

echo
echo "== instructions (callgrind, inclusive) on worst.d88"
find . -name 'ZK*' -delete
valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" "$vornix" ../images/worst.d88 \
  >/dev/null 2>"$work/callgrind.log"
callgrind_annotate --inclusive=yes "$work/callgrind.out" 2>/dev/null |
  grep -E 'PROGRAM TOTALS|[^_]main \[|assembleDisk\(D88Reader&, unsigned char\*\) \[|scanChunks\(unsigned char const\*, int&\) \[|writeChunkFile\(char const\*, unsigned char const\*, unsigned long\) \[|D88Reader::(open|readSector|listSectorIds)\([^)]*\) \['

echo
echo "== system calls by kind (strace -c -f) on worst.d88"
find . -name 'ZK*' -delete
strace -c -f -o "$work/strace.txt" "$vornix" ../images/worst.d88 >/dev/null
head -n 16 "$work/strace.txt"
echo
echo "== reads of the image file: calls and bytes"
for image in worst quiet one big big84; do
  find . -name 'ZK*' -delete
  strace -f -e trace=openat,read,pread64 -o "$work/reads.txt" "$vornix" "../images/$image.d88" \
    >/dev/null
  # Only what comes after the image's own openat counts: the dynamic loader reads its libraries
  # through the same descriptor number before. The image is the descriptor that openat returned.
  read -r reads bytes < <(awk -v name="$image.d88" '
    !fd && index($0, name) && /openat/ { sub(/.*= /, ""); fd = $0; next }
    fd && ($2 ~ "^read\\(" fd "," || $2 ~ "^pread64\\(" fd ",") { calls++; sub(/.*= /, ""); total += $0 }
    END { print calls + 0, total + 0 }' "$work/reads.txt")
  printf '%-10s %9d bytes: %4d read() and pread() calls, allowed %4d (one per 16 KiB); %9d bytes read\n' \
    "$image.d88" "$(size "$image")" "$reads" "$(( ($(size "$image") + 16383) / 16384 ))" "$bytes"
done

echo
echo "== peak memory (/usr/bin/time -v), the largest of 5 runs"
for image in one worst big; do
  peak=0
  for _ in 1 2 3 4 5; do
    find . -name 'ZK*' -delete
    /usr/bin/time -v "$vornix" "../images/$image.d88" 2>"$work/time.txt" >/dev/null
    kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  printf '%-10s %9d bytes: %s KiB\n' "$image.d88" "$(size "$image")" "$peak"
done

echo
echo "== the browser page (build-wasm/web, web/node_modules): size, and choosing the demo image to the list shown"
cd "$root"
if [ -f build-wasm/web/index.html ] && [ -d web/node_modules ] && command -v chromium >/dev/null; then
  node bench/web_bench.js build-wasm/web build "$runs"
else
  echo "skipped: needs cmake --workflow --preset wasm, (cd web && npm ci) and chromium"
fi
