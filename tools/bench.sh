#!/usr/bin/env bash
# tools/bench.sh [small|medium|large|many-small|scale]   (default: medium)
#
# Measures volpack against `tar cf - TREE | pigz -6 -p 2 > /dev/null` on the
# benchmark trees of ../shared/bench/make_corpus.sh. The page cache is warmed
# first; then volpack and tar|pigz run alternately RUNS times (default 3), so
# that both see the same load on a shared machine, and the medians, their
# ratio, the peak memory (largest resident set) and the processor time (user +
# system, over all threads and processes) of each are printed.
#
# `scale` packages trees of 5,000, 20,000 and 80,000 files of 1-200 bytes in
# folders of 200 and prints the median time and peak memory per file, and the
# time per file relative to the 5,000-file tree.
#
# Environment: VOLPACK (the binary, default build/volpack), BENCH_DIR (trees
# and images, default /tmp/volpack-bench; trees are built once and kept),
# RUNS (default 3). Needs python3 and pigz.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
case=${1:-medium}
case $case in small|medium|large|many-small|scale) ;; *)
  echo "usage: $0 [small|medium|large|many-small|scale]" >&2; exit 2 ;;
esac
VOLPACK=$(readlink -f "${VOLPACK:-build/volpack}")
BENCH_DIR=${BENCH_DIR:-/tmp/volpack-bench}
RUNS=${RUNS:-3}
[ -x "$VOLPACK" ] || { echo "bench: no volpack at $VOLPACK (build first, or set VOLPACK)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "bench: python3 is required" >&2; exit 2; }
if [ "$case" != scale ]; then
  command -v pigz >/dev/null || { echo "bench: pigz is required (Debian package pigz)" >&2; exit 2; }
fi
mkdir -p "$BENCH_DIR"

corpus() {  # corpus NAME: the tree's path, built when missing
  local dest="$BENCH_DIR/tree-$1" script="$top/../shared/bench/make_corpus.sh"
  if [ ! -f "$dest.done" ]; then
    [ -f "$script" ] || { echo "bench: $script is missing" >&2; exit 2; }
    rm -rf "$dest"
    bash "$script" "$dest" "$1" >&2
    touch "$dest.done"
  fi
  echo "$dest"
}

flat_small() {  # flat_small N: N files of 1-200 bytes, 200 to a folder
  local dest="$BENCH_DIR/tree-scale-$1"
  if [ ! -f "$dest.done" ]; then
    rm -rf "$dest"
    python3 - "$dest" "$1" <<'PY'
import os, sys
dest, n = sys.argv[1], int(sys.argv[2])
state = 0x5EED2024
def next64():
    global state
    m = 2**64 - 1
    state = (state + 0x9E3779B97F4A7C15) & m
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & m
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & m
    return z ^ (z >> 31)
text = b"".join(b"line %06d of the benchmark's small files\n" % i for i in range(4096))
pos = 0
for i in range(n):
    d = os.path.join(dest, "g%03d" % (i // 200))
    if i % 200 == 0:
        os.makedirs(d)
    size = 1 + next64() % 200
    if pos + size > len(text):
        pos = 0
    with open(os.path.join(d, "f%06d.txt" % i), "wb") as f:
        f.write(text[pos:pos + size])
    pos += size
PY
    touch "$dest.done"
  fi
  echo "$dest"
}

# measure CMD...: runs the command, prints "SECONDS PEAK_KIB CPU_SECONDS" (the
# peak and the user + system time over the command and its children).
measure() {
  python3 - "$@" <<'PY'
import resource, subprocess, sys, time
t = time.monotonic()
r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)
dt = time.monotonic() - t
if r.returncode != 0:
    sys.exit("bench: %s failed with status %d" % (sys.argv[1], r.returncode))
u = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.3f %d %.3f" % (dt, u.ru_maxrss, u.ru_utime + u.ru_stime))
PY
}

median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

img="$BENCH_DIR/bench.dmg"
run_volpack() { rm -f "$img"; measure "$VOLPACK" "$img" "$1"; }
run_tar() { measure bash -c 'tar cf - -C "$1" . | pigz -6 -p 2 > /dev/null' tar-pigz "$1"; }
warm() { tar cf - -C "$1" . > /dev/null; }

if [ "$case" = scale ]; then
  printf "%8s %10s %12s %10s %12s %8s %8s\n" files seconds "us/file" "peak MiB" "KiB/file" "vs 5k" "cpu s"
  base=""
  for n in 5000 20000 80000; do
    tree=$(flat_small $n)
    warm "$tree"
    times=() peaks=() cpus=()
    for _ in $(seq "$RUNS"); do
      read -r s k c < <(run_volpack "$tree")
      times+=("$s") peaks+=("$k") cpus+=("$c")
    done
    t=$(printf "%s\n" "${times[@]}" | median)
    k=$(printf "%s\n" "${peaks[@]}" | sort -g | tail -1)
    c=$(printf "%s\n" "${cpus[@]}" | median)
    per=$(awk -v t="$t" -v n=$n 'BEGIN {printf "%.1f", t / n * 1e6}')
    [ -n "$base" ] || base=$per
    awk -v n=$n -v t="$t" -v per="$per" -v k="$k" -v base="$base" -v c="$c" \
      'BEGIN {printf "%8d %10.3f %12s %10.1f %12.3f %8.2f %8.3f\n", n, t, per, k / 1024, k / n, per / base, c}'
  done
  rm -f "$img"
  exit 0
fi

tree=$(corpus "$case")
warm "$tree"
vt=() vk=() vc=() tt=() tk=() tc=()
for i in $(seq "$RUNS"); do
  read -r s k c < <(run_volpack "$tree"); vt+=("$s") vk+=("$k") vc+=("$c")
  read -r s k c < <(run_tar "$tree"); tt+=("$s") tk+=("$k") tc+=("$c")
  echo "run $i: volpack ${vt[-1]} s, tar|pigz ${tt[-1]} s" >&2
done
v=$(printf "%s\n" "${vt[@]}" | median)
t=$(printf "%s\n" "${tt[@]}" | median)
vcpu=$(printf "%s\n" "${vc[@]}" | median)
tcpu=$(printf "%s\n" "${tc[@]}" | median)
vpeak=$(printf "%s\n" "${vk[@]}" | sort -g | tail -1)
tpeak=$(printf "%s\n" "${tk[@]}" | sort -g | tail -1)
size=$(stat -c %s "$img")
rm -f "$img"
awk -v c="$case" -v v="$v" -v t="$t" -v vk="$vpeak" -v tk="$tpeak" -v sz="$size" -v runs="$RUNS" \
    -v vc="$vcpu" -v tc="$tcpu" 'BEGIN {
  printf "%s (median of %d, alternating)\n", c, runs
  printf "  volpack    %8.3f s   peak %7.1f MiB   cpu %7.3f s   image %.1f MB\n", v, vk / 1024, vc, sz / 1e6
  printf "  tar|pigz   %8.3f s   peak %7.1f MiB   cpu %7.3f s\n", t, tk / 1024, tc
  printf "  ratio      %8.2f                      cpu %7.2f\n", v / t, vc / tc
}'
