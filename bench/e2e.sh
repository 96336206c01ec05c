#!/usr/bin/env bash
# End to end: the quorvel command line against curl, wget2, wget and aria2c, downloading from the same
# nginx on loopback into files, interleaved run by run. Two loads: one large file, and many small
# files fetched a few at a time.
#
#   bench/e2e.sh [SIZE_MIB]          (default 1024; a quick run may use e.g. 64)
#
# Environment:
#   RUNS          runs per program and load (default 3); the median is reported
#   SMALL_COUNT   number of small files (default 200), SMALL_KIB their size (default 100)
#   JOBS          downloads at a time for the small files (default 4)
#   LOADS         "large small" (default), or one of them
#   PEERS         programs to compare (default "quorvel curl wget2 wget aria2c")
#   BOOKKEEPING   1: also runs quorvel with its intermediate files in its support folder instead of a
#                 bundle beside the target ("quorvel-flat"), with bundles but without the metadata
#                 file in them ("quorvel-nometa", "Store Metadata Locally" off), and with fsync made a no-op by a
#                 preloaded shim ("quorvel-nosync", a measurement only: never run it for real), to
#                 show what the bundles and the synchronous writes cost; then counts, once and
#                 outside the timing, the system calls per small download of each (strace -c)
#   BUILD         Release build folder of its own (default build-e2e-release)
#
# Prints, per load, the median wall seconds, MB/s, CPU seconds (user+sys of the process tree) and
# peak RSS of each program, with ratios to the fastest program, to curl, to wget2 and to aria2c, and then
# quorvel's targets: on the large file at least 0.85 of curl's throughput and no more CPU per GB
# than wget2; on the small files within 1.5 times wget2's time and no slower than aria2c; peak
# memory under 24 MiB for either. Every downloaded file's size is checked after every run, and each
# program's copy of the large file is compared byte for byte once (outside the timing), so that a
# fast failure never counts as a win.
set -euo pipefail

SIZE_MIB=${1:-${SIZE_MIB:-1024}}
RUNS=${RUNS:-3}
SMALL_COUNT=${SMALL_COUNT:-200}
SMALL_KIB=${SMALL_KIB:-100}
JOBS=${JOBS:-4}
LOADS=${LOADS:-"large small"}
PEERS=${PEERS:-"quorvel curl wget2 wget aria2c"}
BOOKKEEPING=${BOOKKEEPING:-0}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-e2e-release}
NGINX=${NGINX:-/usr/sbin/nginx}
PYTHON=$(command -v /usr/bin/python3 || command -v python3)

source "$ROOT/bench/lib.sh"

# Peers that are missing are installed when possible, and left out when not.
declare -A PACKAGE_OF=([curl]=curl [wget2]=wget2 [wget]=wget [aria2c]=aria2)
pairs=()
for peer in $PEERS; do [[ $peer == quorvel ]] || pairs+=("$peer=${PACKAGE_OF[$peer]:-$peer}"); done
others=$(bench_install_peers "${pairs[@]}")
[[ " $PEERS " == *" quorvel "* ]] && PEERS="quorvel $others" || PEERS=$others
PROGRAMS=$PEERS
[[ $BOOKKEEPING == 1 && " $PEERS " == *" quorvel "* ]] && PROGRAMS="$PROGRAMS quorvel-flat quorvel-nometa quorvel-nosync"

for tool in "$NGINX" cmake "$PYTHON"; do
  command -v "$tool" >/dev/null || { echo "cannot find <$tool>" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-e2e-XXXXXX")
trap bench_cleanup EXIT

if [[ " $PEERS " == *" quorvel "* ]]; then
  bench_build quorvel
fi
QUORVEL=$BUILD/app/quorvel

# The files: one large, and many small ones with an address list for the programs that read one.
mkdir -p "$WORK/www/small" "$WORK/out" "$WORK/temp"
head -c $(( SIZE_MIB * 1024 * 1024 )) /dev/urandom > "$WORK/www/large.bin"
for ((i = 0; i < SMALL_COUNT; i++)); do
  head -c $(( SMALL_KIB * 1024 )) /dev/urandom > "$WORK/www/small/f$i.bin"
done

PORT=$(bench_free_port)
BASE=http://127.0.0.1:$PORT
for ((i = 0; i < SMALL_COUNT; i++)); do echo "$BASE/small/f$i.bin"; done > "$WORK/small.txt"
echo "$BASE/large.bin" > "$WORK/large.txt"
bench_start_nginx "$BASE/small/f0.bin" "
  access_log off;
  keepalive_requests 10000;" "
  server { listen 127.0.0.1:$PORT; root $WORK/www; }"

# quorvel's own world: preferences written once, the queue and caches new for every run. One
# connection per download, as the peers use.
QHOME=$WORK/qhome
write_preferences() { # folder intermediates-location store-metadata-locally
  mkdir -p "$1"
  cat > "$1/Preferences.plist" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>Number Of Concurrent Downloads</key><integer>$JOBS</integer>
  <key>Number Of Concurrent Downloads Per Host</key><integer>$JOBS</integer>
  <key>Intermediates Location</key><integer>$2</integer>
  <key>Store Metadata Locally</key><$3/>
  <key>Acceleration: Enabled</key><false/>
</dict>
</plist>
EOF
}
write_preferences "$QHOME/config/Quorvel" 1 true
write_preferences "$QHOME/config-flat/Quorvel" 0 true
write_preferences "$QHOME/config-nometa/Quorvel" 1 false
if [[ " $PROGRAMS " == *" quorvel-nosync "* ]]; then
  printf 'int fsync(int fd) { (void)fd; return 0; }\nint fdatasync(int fd) { (void)fd; return 0; }\n' \
    > "$WORK/nosync.c"
  cc -shared -fPIC -O2 -o "$WORK/nosync.so" "$WORK/nosync.c" \
    || { echo "cannot build the fsync shim: running without quorvel-nosync" >&2; PROGRAMS=${PROGRAMS/ quorvel-nosync/}; }
fi

# Runs a command and prints "wall cpu maxrss_kib status" from the rusage of its process tree.
cat > "$WORK/measure.py" <<'EOF'
import os, resource, subprocess, sys, time
started = time.monotonic()
result = subprocess.run(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                        stderr=open(os.environ["MEASURE_LOG"], "wb"))
wall = time.monotonic() - started
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.4f %.4f %d %d" % (wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, result.returncode))
EOF

warm() { # MiB
  # These machines hand idle memory back to the host; touch it before timing, and read the
  # served files so that they come from the page cache.
  dd if=/dev/zero of="$WORK/warm" bs=1M count=$(( $1 + 64 )) status=none
  rm -f "$WORK/warm"
  cat "$WORK/www/large.bin" "$WORK"/www/small/*.bin > /dev/null
}

command_for() { # program load
  local program=$1 load=$2 out=$WORK/out
  local list=$WORK/$load.txt
  local -a urls
  mapfile -t urls < "$list"
  case $program in
    quorvel|quorvel-flat|quorvel-nometa|quorvel-nosync)
      local config=$QHOME/config preload=
      [[ $program == quorvel-flat ]] && config=$QHOME/config-flat
      [[ $program == quorvel-nometa ]] && config=$QHOME/config-nometa
      [[ $program == quorvel-nosync ]] && preload=$WORK/nosync.so
      rm -rf "$QHOME/data" "$QHOME/cache" "$QHOME/runtime" "$QHOME/home"
      mkdir -p "$QHOME/data" "$QHOME/cache" "$QHOME/runtime" "$QHOME/home"
      chmod 700 "$QHOME/runtime"
      CMD=(env -u DISPLAY -u WAYLAND_DISPLAY LD_PRELOAD="$preload" HOME="$QHOME/home" XDG_CONFIG_HOME="$config"
           XDG_DATA_HOME="$QHOME/data" XDG_CACHE_HOME="$QHOME/cache" XDG_RUNTIME_DIR="$QHOME/runtime"
           "$QUORVEL" --headless --to "$out")
      # The address list, as a user with many addresses would hand them over.
      if [[ $load == large ]]; then CMD+=("${urls[@]}"); else CMD+=("$list"); fi
      ;;
    curl)
      CMD=(curl -s --fail --noproxy '*')
      (( ${#urls[@]} > 1 )) && CMD+=(--parallel --parallel-max "$JOBS")
      CMD+=(--output-dir "$out" --remote-name-all "${urls[@]}")
      ;;
    wget2)
      CMD=(env HOME="$WORK/peerhome" wget2 -q --no-config --no-hsts --no-hpkp --max-threads="$JOBS" -P "$out" -i "$list")
      ;;
    wget)
      # wget fetches one file at a time.
      CMD=(env HOME="$WORK/peerhome" wget -q --no-config --no-hsts -P "$out" -i "$list")
      ;;
    aria2c)
      CMD=(env HOME="$WORK/peerhome" aria2c -q -j"$JOBS" --no-conf -d "$out" -i "$list")
      ;;
  esac
}

verify() { # program load run
  local expected count=0 file i
  if [[ $2 == large ]]; then
    expected=$(( SIZE_MIB * 1024 * 1024 ))
    [[ -f $WORK/out/large.bin && $(stat -c %s "$WORK/out/large.bin") == "$expected" ]] \
      || { echo "cannot verify the large file of $1: missing or of the wrong size" >&2; ls -la "$WORK/out" >&2; return 1; }
    if [[ $3 == 1 ]] && ! cmp -s "$WORK/www/large.bin" "$WORK/out/large.bin"; then
      echo "cannot verify the large file of $1: its bytes differ" >&2; return 1
    fi
  else
    expected=$(( SMALL_KIB * 1024 ))
    for ((i = 0; i < SMALL_COUNT; i++)); do
      file=$WORK/out/f$i.bin
      [[ -f $file && $(stat -c %s "$file") == "$expected" ]] && count=$((count + 1))
    done
    (( count == SMALL_COUNT )) \
      || { echo "cannot verify the small files of $1: $count of $SMALL_COUNT complete" >&2; return 1; }
  fi
}

mkdir -p "$WORK/peerhome"
run_one() { # program load run [quiet]
  local program=$1 load=$2 run=$3
  rm -rf "$WORK/out"; mkdir -p "$WORK/out"
  command_for "$program" "$load"
  if [[ $load == large ]]; then warm "$SIZE_MIB"; else warm 64; fi
  read -r wall cpu rss status < <(MEASURE_LOG=$WORK/stderr.log "$PYTHON" "$WORK/measure.py" "${CMD[@]}")
  if [[ $status != 0 ]]; then
    echo "cannot download with $program (exit $status):" >&2; tail -5 "$WORK/stderr.log" >&2; exit 1
  fi
  verify "$program" "$load" "$run" || exit 1
  [[ ${4:-} == quiet ]] && return
  echo "$program $load $run $wall $cpu $rss" >> "$WORK/results"
  printf '  run %d  %-12s %-5s %7.3f s  %6.3f CPU s  %7d KiB\n' "$run" "$program" "$load" "$wall" "$cpu" "$rss" >&2
}

echo "large: 1 file of $SIZE_MIB MiB; small: $SMALL_COUNT files of $SMALL_KIB KiB, $JOBS at a time;" \
     "from <$BASE>, $RUNS runs of: $PROGRAMS" >&2
# One untimed round first, so that no program pays for the first start of the tools or of the
# server; then the programs take turns, each run starting with the next one.
read -r -a order <<< "$PROGRAMS"
for program in "${order[@]}"; do
  run_one "$program" small 0 quiet
done
for ((run = 1; run <= RUNS; run++)); do
  for load in $LOADS; do
    for ((i = 0; i < ${#order[@]}; i++)); do
      run_one "${order[(i + run - 1) % ${#order[@]}]}" "$load" "$run"
    done
  done
done

# System calls per small download, counted once under strace (never timed).
if [[ $BOOKKEEPING == 1 && " $LOADS " == *" small "* ]] && command -v strace >/dev/null; then
  : > "$WORK/counts"
  for program in quorvel quorvel-flat quorvel-nometa quorvel-nosync; do
    [[ " $PROGRAMS " == *" $program "* ]] || continue
    rm -rf "$WORK/out"; mkdir -p "$WORK/out"
    command_for "$program" small
    strace -f -c -o "$WORK/strace.txt" "${CMD[@]}" </dev/null >/dev/null 2>&1 || true
    "$PYTHON" - "$WORK/strace.txt" "$program" "$SMALL_COUNT" >> "$WORK/counts" <<'EOF'
import sys
path, program, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
calls = {}
for line in open(path):
    parts = line.split()
    if len(parts) >= 5 and parts[0][0].isdigit():
        calls[parts[-1]] = int(parts[3])
names = ["fsync", "rename", "renameat2", "mkdir", "rmdir", "unlink", "lsetxattr", "openat", "write"]
print("  %-15s " % program + "  ".join("%s %.1f" % (n, calls.get(n, 0) / count) for n in names))
EOF
  done
fi

"$PYTHON" - "$WORK/results" "$SIZE_MIB" "$SMALL_COUNT" "$SMALL_KIB" <<'EOF'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
size_mib, small_count, small_kib = (int(a) for a in sys.argv[2:5])
load_bytes = {"large": size_mib * 1024 * 1024, "small": small_count * small_kib * 1024}
figures = {}
for program, load, _run, wall, cpu, rss in rows:
    figures.setdefault(load, {}).setdefault(program, []).append((float(wall), float(cpu), int(rss)))
def ratio(a, b):
    return "%.2f" % (a / b) if b else "-"
for load, programs in figures.items():
    med = {p: tuple(statistics.median(r[i] for r in runs) for i in range(3)) for p, runs in programs.items()}
    fastest = min(med, key=lambda p: med[p][0])
    title = ("1 file of %d MiB" % size_mib) if load == "large" else ("%d files of %d KiB" % (small_count, small_kib))
    print("\n%s (median of %d runs; ratios are wall-time ratios, above 1 = slower)" % (title, len(next(iter(programs.values())))))
    print("%-13s %8s %8s %8s %9s %9s %8s %8s %8s" % ("program", "wall s", "MB/s", "CPU s", "RSS MiB", "/fastest", "/curl",
                                                     "/wget2", "/aria2c"))
    for p, (wall, cpu, rss) in sorted(med.items(), key=lambda item: item[1][0]):
        print("%-13s %8.3f %8.0f %8.3f %9.1f %9s %8s %8s %8s" % (
            p, wall, load_bytes[load] / 1e6 / wall, cpu, rss / 1024, ratio(wall, med[fastest][0]),
            *(ratio(wall, med[peer][0]) if peer in med else "-" for peer in ("curl", "wget2", "aria2c"))))
    if "quorvel" in med:
        q = med["quorvel"]
        def verdict(ok):
            return "met" if ok else "MISSED"
        if load == "large" and "curl" in med:
            share = med["curl"][0] / q[0]
            print("must: throughput at least 0.85 of curl's: %.2f %s" % (share, verdict(share >= 0.85)))
        if load == "large" and "wget2" in med:
            # CPU seconds per GB of the file, user and system time of the whole process tree.
            gigabytes = load_bytes[load] / 1e9
            ours, theirs = q[1] / gigabytes, med["wget2"][1] / gigabytes
            print("must: CPU per GB no more than wget2's: %.3f s against %.3f s (%.2f) %s" % (
                ours, theirs, ours / theirs, verdict(ours <= theirs)))
        if load == "small" and "wget2" in med:
            share = q[0] / med["wget2"][0]
            print("must: within 1.5 times wget2's time: %.2f %s" % (share, verdict(share <= 1.5)))
        if load == "small" and "aria2c" in med:
            print("must: no slower than aria2c: %.2f %s" % (q[0] / med["aria2c"][0], verdict(q[0] <= med["aria2c"][0])))
        print("must: peak memory under 24 MiB: %.1f MiB %s" % (q[2] / 1024, verdict(q[2] < 24 * 1024)))
EOF
if [[ -s $WORK/counts ]]; then
  echo
  echo "system calls per small download (strace -c, outside the timing):"
  cat "$WORK/counts"
fi
