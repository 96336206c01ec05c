#!/usr/bin/env bash
# Throughput, CPU and memory of the request engine against the curl command line, downloading
# from nginx on loopback into files, interleaved run by run.
#
#   bench/engine.sh [SIZE_MIB]          (default 1024; a quick run may use e.g. 64)
#
# Environment: RUNS (default 3), CONCURRENCIES (default "1 8"), BUILD (default build-bench,
# a Release build folder of its own). With concurrency C the total size is split over C files,
# all downloaded at once. Prints the median of the runs for each program and the ratios
# engine/curl: MB/s (higher is better), CPU seconds per GB and peak RSS (lower is better).
set -euo pipefail

SIZE_MIB=${1:-${SIZE_MIB:-1024}}
RUNS=${RUNS:-3}
CONCURRENCIES=${CONCURRENCIES:-"1 8"}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
NGINX=${NGINX:-/usr/sbin/nginx}
PYTHON=$(command -v /usr/bin/python3 || command -v python3)

for tool in "$NGINX" curl cmake "$PYTHON"; do
  command -v "$tool" >/dev/null || { echo "cannot find <$tool>" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-bench-XXXXXX")
source "$ROOT/bench/lib.sh"
trap bench_cleanup EXIT

bench_build engine_download
DRIVER=$BUILD/bench/engine_download

# Files: for concurrency C, C files of SIZE/C MiB each.
mkdir -p "$WORK/www" "$WORK/out" "$WORK/temp"
for c in $CONCURRENCIES; do
  part=$(( SIZE_MIB * 1024 * 1024 / c ))
  for ((i = 0; i < c; i++)); do
    head -c "$part" /dev/urandom > "$WORK/www/c$c-$i.bin"
  done
done

PORT=$(bench_free_port)
bench_start_nginx "http://127.0.0.1:$PORT/c1-0.bin" "
  access_log off;" "
  server { listen 127.0.0.1:$PORT; root $WORK/www; }"

# Runs a command and prints "wall cpu maxrss_kib" from the rusage of that one child.
cat > "$WORK/measure.py" <<'EOF'
import os, resource, subprocess, sys, time
started = time.monotonic()
result = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)
wall = time.monotonic() - started
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.4f %.4f %d %d" % (wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, result.returncode))
EOF

warm() {
  # These machines hand idle memory back to the host; touch it before timing, and read the
  # served files so that they come from the page cache.
  dd if=/dev/zero of="$WORK/warm" bs=1M count=$(( SIZE_MIB + 64 )) status=none
  rm -f "$WORK/warm"
  cat "$WORK"/www/c"$1"-*.bin > /dev/null
}

run_one() { # program concurrency run
  local program=$1 c=$2 urls=() args=()
  rm -f "$WORK"/out/*
  for ((i = 0; i < c; i++)); do urls+=("http://127.0.0.1:$PORT/c$c-$i.bin"); done
  warm "$c"
  if [[ $program == engine ]]; then
    args=("$DRIVER" --concurrency "$c" --output-dir "$WORK/out" "${urls[@]}")
  else
    args=(curl -s --no-progress-meter --fail --noproxy '*')
    (( c > 1 )) && args+=(--parallel --parallel-max "$c")
    for ((i = 0; i < c; i++)); do args+=(-o "$WORK/out/$i.download" "${urls[$i]}"); done
  fi
  read -r wall cpu rss status < <("$PYTHON" "$WORK/measure.py" "${args[@]}")
  if [[ $status != 0 ]]; then echo "cannot download with $program (exit $status)" >&2; exit 1; fi
  for ((i = 0; i < c; i++)); do
    cmp -s "$WORK/www/c$c-$i.bin" "$WORK/out/$i.download" \
      || { echo "cannot verify the download of $program, file $i" >&2; exit 1; }
  done
  echo "$program $c $run $wall $cpu $rss" >> "$WORK/results"
  printf '  run %d  %-6s x%d  %6.3f s  %6.3f CPU s  %7d KiB\n' "$run" "$program" "$c" "$wall" "$cpu" "$rss" >&2
}

echo "downloading $SIZE_MIB MiB from <http://127.0.0.1:$PORT>, $RUNS runs, concurrency $CONCURRENCIES" >&2
for ((run = 1; run <= RUNS; run++)); do
  for c in $CONCURRENCIES; do
    run_one engine "$c"
    run_one curl "$c"
  done
done

"$PYTHON" - "$WORK/results" "$SIZE_MIB" <<'EOF'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
size_bytes = int(sys.argv[2]) * 1024 * 1024
figures = {}
for program, c, _run, wall, cpu, rss in rows:
    figures.setdefault((program, int(c)), []).append((float(wall), float(cpu), int(rss)))
def medians(key):
    runs = figures[key]
    wall = statistics.median(r[0] for r in runs)
    cpu = statistics.median(r[1] for r in runs)
    rss = statistics.median(r[2] for r in runs)
    return size_bytes / 1e6 / wall, cpu / (size_bytes / 1e9), rss / 1024
print("%-7s %4s %10s %12s %12s" % ("program", "conc", "MB/s", "CPU s/GB", "peak RSS MiB"))
for c in sorted({k[1] for k in figures}):
    engine, curl = medians(("engine", c)), medians(("curl", c))
    for name, m in (("engine", engine), ("curl", curl)):
        print("%-7s %4d %10.0f %12.3f %12.1f" % (name, c, *m))
    print("%-7s %4d %10.2f %12.2f %12.2f" % ("ratio", c, engine[0] / curl[0], engine[1] / curl[1], engine[2] / curl[2]))
EOF
