#!/usr/bin/env bash
# Acceleration: one large file from a loopback nginx that limits every connection to the same rate,
# fetched by quorvel over one connection and over several, by aria2c and axel over several, and by
# curl over one, interleaved run by run.
#
#   bench/accel.sh [SIZE_MIB]          (default 200)
#
# Environment:
#   SIZE_MIB   size of the file in MiB (default 200)
#   RATE       nginx limit_rate for each connection (default 20m, i.e. 20 MiB/s)
#   CHANNELS   connections for the programs that split (default 4)
#   RUNS       timed runs per program (default 3); the median is reported
#   PEERS      programs besides quorvel (default "aria2c axel curl")
#   LOGS       a folder: quorvel runs with its debug log on and its stderr is kept there, one file
#              per run (the log costs a little time, so compare such runs only with each other)
#   BUILD      Release build folder of its own (default build-accel-release)
#
# Prints, per program, the median wall seconds, MB/s, CPU seconds (user+sys) and peak RSS, and the
# speed-up over quorvel on one connection; then whether quorvel with acceleration reaches the
# expected share of the ideal and keeps up with aria2c, and whether its speed-up is at least axel's.
# Every downloaded file is checked for size and checksum after every run (outside the timing), so
# that a fast failure never counts.
set -euo pipefail

SIZE_MIB=${1:-${SIZE_MIB:-200}}
RATE=${RATE:-20m}
CHANNELS=${CHANNELS:-4}
RUNS=${RUNS:-3}
PEERS=${PEERS:-"aria2c axel curl"}
LOGS=${LOGS:-}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-accel-release}
NGINX=${NGINX:-/usr/sbin/nginx}
PYTHON=$(command -v /usr/bin/python3 || command -v python3)

# Loopback only, whatever proxy the calling shell knows about.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY ftp_proxy FTP_PROXY
export no_proxy='127.0.0.1,localhost' NO_PROXY='127.0.0.1,localhost'

rate_bytes() { # nginx size: 20m, 512k, 1048576
  local value=${1,,} factor=1
  case $value in
    *k) factor=1024; value=${value%k} ;;
    *m) factor=$((1024 * 1024)); value=${value%m} ;;
    *g) factor=$((1024 * 1024 * 1024)); value=${value%g} ;;
  esac
  [[ $value =~ ^[0-9]+$ ]] || { echo "cannot read the rate <$1>" >&2; exit 1; }
  echo $(( value * factor ))
}
RATE_BYTES=$(rate_bytes "$RATE")
(( RATE_BYTES > 0 )) || { echo "cannot benchmark acceleration without a rate limit" >&2; exit 1; }

source "$ROOT/bench/lib.sh"

# Peers that are missing are installed when possible, and left out when not.
declare -A PACKAGE_OF=([aria2c]=aria2 [axel]=axel [curl]=curl)
pairs=()
for peer in $PEERS; do pairs+=("$peer=${PACKAGE_OF[$peer]:-$peer}"); done
available=$(bench_install_peers "${pairs[@]}")
PROGRAMS="quorvel-1 quorvel-$CHANNELS $available"

for tool in "$NGINX" cmake sha256sum "$PYTHON"; do
  command -v "$tool" >/dev/null || { echo "cannot find <$tool>" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-accel-XXXXXX")
trap bench_cleanup EXIT

bench_build quorvel
QUORVEL=$BUILD/app/quorvel

# The large file, and a small one that every program fetches once untimed, so that programs and
# their libraries are loaded from the page cache in the timed runs.
mkdir -p "$WORK/www" "$WORK/out" "$WORK/temp" "$WORK/peerhome"
head -c $(( SIZE_MIB * 1024 * 1024 )) /dev/urandom > "$WORK/www/large.bin"
head -c $(( 4 * 1024 * 1024 )) /dev/urandom > "$WORK/www/warm.bin"
declare -A SUM_OF SIZE_OF
for file in large warm; do
  SUM_OF[$file]=$(sha256sum < "$WORK/www/$file.bin" | cut -d' ' -f1)
  SIZE_OF[$file]=$(stat -c %s "$WORK/www/$file.bin")
done

PORT=$(bench_free_port)
BASE=http://127.0.0.1:$PORT
# limit_rate holds for each request, so each connection gets RATE. nginx sends a response's first
# chunk before the limit applies; small chunks keep that head start to a few milliseconds.
bench_start_nginx "$BASE/warm.bin" "
  log_format bench '\$uri \$status \$bytes_sent \$msec';
  access_log $WORK/access.log bench;
  sendfile_max_chunk 256k;" "
  server {
    listen 127.0.0.1:$PORT;
    root $WORK/www;
    limit_rate $RATE;
  }"

# quorvel's own world: preferences written once, home, queue, caches and runtime folder new for
# every run. Only the engine worker splits downloads, so "Throttle: Supported" stays at its default.
QHOME=$WORK/qhome
write_preferences() { # folder accelerates
  local debug=""
  [[ -n $LOGS ]] && debug="<key>ZRDebugLog</key><true/>"
  mkdir -p "$1"
  cat > "$1/Preferences.plist" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>Acceleration: Enabled</key><$2/>
  <key>Acceleration: Channels</key><integer>$CHANNELS</integer>
  $debug
</dict>
</plist>
EOF
}
write_preferences "$QHOME/config-1/Quorvel" false
write_preferences "$QHOME/config-$CHANNELS/Quorvel" true
[[ -n $LOGS ]] && mkdir -p "$LOGS"

# Runs a command in a session of its own and prints "wall cpu maxrss_kib status" from the rusage
# of its process tree. A run that outlasts the limit is stopped with its whole session.
cat > "$WORK/measure.py" <<'EOF'
import os, resource, signal, subprocess, sys, threading, time
limit = float(sys.argv[1])
started = time.monotonic()
child = subprocess.Popen(sys.argv[2:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=open(os.environ["MEASURE_LOG"], "wb"), start_new_session=True)
# A blocking wait, with the limit on a timer: wait(timeout=...) polls, sleeping up to 50 ms between
# looks, which added up to 50 ms at random to every program's time.
expired = threading.Event()
def kill():
    expired.set()
    os.killpg(child.pid, signal.SIGKILL)
watchdog = threading.Timer(limit, kill)
watchdog.start()
status = child.wait()
watchdog.cancel()
if expired.is_set():
    status = 124
wall = time.monotonic() - started
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.4f %.4f %d %d %.3f" % (wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, status, time.time()))
EOF
# Ten times the time one connection needs, and a minute more.
LIMIT=$(( SIZE_MIB * 1024 * 1024 * 10 / RATE_BYTES + 60 ))

warm() {
  # These machines hand idle memory back to the host; touch it before timing, and read the
  # served files so that they come from the page cache.
  dd if=/dev/zero of="$WORK/warm" bs=1M count=$(( SIZE_MIB + 64 )) status=none
  rm -f "$WORK/warm"
  cat "$WORK/www/large.bin" "$WORK/www/warm.bin" > /dev/null
}

command_for() { # program file
  local program=$1 url=$BASE/$2.bin out=$WORK/out
  case $program in
    quorvel-*)
      local config=$QHOME/config-${program#quorvel-}
      rm -rf "$QHOME/data" "$QHOME/cache" "$QHOME/runtime" "$QHOME/home"
      mkdir -p "$QHOME/data" "$QHOME/cache" "$QHOME/runtime" "$QHOME/home"
      chmod 700 "$QHOME/runtime"
      CMD=(env -u DISPLAY -u WAYLAND_DISPLAY HOME="$QHOME/home" XDG_CONFIG_HOME="$config"
           XDG_DATA_HOME="$QHOME/data" XDG_CACHE_HOME="$QHOME/cache" XDG_RUNTIME_DIR="$QHOME/runtime"
           "$QUORVEL" --headless --to "$out" "$url")
      ;;
    aria2c)
      # -k1M lets the file be split into as many pieces as connections; a fresh output folder per
      # run leaves no control file behind to resume from.
      CMD=(env HOME="$WORK/peerhome" aria2c -q --no-conf -x"$CHANNELS" -s"$CHANNELS" -k1M
           --file-allocation=none --allow-overwrite=true --auto-file-renaming=false
           --remove-control-file=true -d "$out" -o "$2.bin" "$url")
      ;;
    axel)
      CMD=(env HOME="$WORK/peerhome" axel -q -n "$CHANNELS" -o "$out/$2.bin" "$url")
      ;;
    curl)
      CMD=(curl -s --fail --noproxy '*' -o "$out/$2.bin" "$url")
      ;;
  esac
}

verify() { # program file
  local file=$WORK/out/$2.bin
  if [[ ! -f $file || $(stat -c %s "$file") != "${SIZE_OF[$2]}" ]]; then
    echo "cannot verify $2.bin of $1: missing or of the wrong size" >&2; ls -la "$WORK/out" >&2; return 1
  fi
  if [[ $(sha256sum < "$file" | cut -d' ' -f1) != "${SUM_OF[$2]}" ]]; then
    echo "cannot verify $2.bin of $1: its checksum differs" >&2; return 1
  fi
  # Nothing but the file: no control, state or intermediate files left over.
  local leftovers
  leftovers=$(find "$WORK/out" -mindepth 1 ! -name "$2.bin" | head -5)
  [[ -z $leftovers ]] || echo "note: $1 left <$leftovers> beside $2.bin" >&2
}

run_one() { # program file run
  local program=$1 file=$2 run=$3 log=$WORK/stderr.log
  rm -rf "$WORK/out"; mkdir -p "$WORK/out"
  command_for "$program" "$file"
  [[ $file == large ]] && warm
  local logged
  logged=$(wc -l < "$WORK/access.log")
  read -r wall cpu rss status ended < <(MEASURE_LOG=$log "$PYTHON" "$WORK/measure.py" "$LIMIT" "${CMD[@]}")
  [[ -n $LOGS && $program == quorvel-* ]] && cp "$log" "$LOGS/$program-$file-run$run.log"
  if [[ $status != 0 ]]; then
    echo "cannot download $file.bin with $program (exit $status):" >&2; tail -5 "$log" >&2
    echo "$program $run failed" >> "$WORK/results"
    return 0
  fi
  if ! verify "$program" "$file"; then
    echo "$program $run failed" >> "$WORK/results"
    return 0
  fi
  [[ $file == large ]] || return 0
  # What the server sent, to show how many connections a program really used and how much it
  # fetched twice, and how long the program took after the last byte had left the server. nginx
  # logs a request when it ends, a cancelled one a moment after the client left.
  sleep 0.5
  read -r requests served tail < <(tail -n +$(( logged + 1 )) "$WORK/access.log" \
    | awk -v ended="$ended" '$1 == "/large.bin" { n++; b += $3; if ($4 <= ended && $4 > last) last = $4 }
                             END { printf "%d %d %.3f\n", n, b, last ? ended - last : -1 }')
  echo "$program $run $wall $cpu $rss $requests $served $tail" >> "$WORK/results"
  printf '  run %d  %-10s %7.3f s  %6.3f CPU s  %7d KiB  %d requests  %d bytes served  %.3f s after the last byte\n' \
    "$run" "$program" "$wall" "$cpu" "$rss" "$requests" "$served" "$tail" >&2
}

echo "$SIZE_MIB MiB from <$BASE>, limit_rate $RATE per connection, $CHANNELS channels," \
     "$RUNS runs of: $PROGRAMS" >&2
: > "$WORK/results"
for program in $PROGRAMS; do
  run_one "$program" warm 0
done
: > "$WORK/results"
for ((run = 1; run <= RUNS; run++)); do
  for program in $PROGRAMS; do
    run_one "$program" large "$run"
  done
done

"$PYTHON" - "$WORK/results" "$SIZE_MIB" "$RATE_BYTES" "$CHANNELS" "$RUNS" "$PROGRAMS" <<'EOF'
import statistics, sys
path, size_mib, rate, channels, runs, programs = sys.argv[1:7]
size_bytes, rate, channels, runs = int(size_mib) * 1024 * 1024, int(rate), int(channels), int(runs)
programs = programs.split()
good, failed = {p: [] for p in programs}, {p: 0 for p in programs}
for line in open(path):
    fields = line.split()
    if fields[2] == "failed":
        failed[fields[0]] += 1
    else:
        good[fields[0]].append(tuple(float(x) for x in fields[2:8]))
names = {"quorvel-1": "quorvel, acceleration off", "quorvel-%d" % channels: "quorvel, %d channels" % channels,
         "aria2c": "aria2c -x%d -s%d" % (channels, channels), "axel": "axel -n %d" % channels,
         "curl": "curl (one connection)"}
med = {p: tuple(statistics.median(r[i] for r in good[p]) for i in range(6)) for p in programs if good[p]}
one = "quorvel-1"
quick = "quorvel-%d" % channels
single = size_bytes / rate
print("\n1 file of %s MiB, limit_rate %.1f MiB/s per connection; median of %d runs" % (size_mib, rate / 1048576, runs))
print("server bound: %.2f s on one connection, %.2f s on %d" % (single, single / channels, channels))
print("(requests: GETs of the file the server answered; served: bytes it sent per byte of the file;")
print(" after: seconds from the server's last byte to the program's exit)")
header = ("program", "wall s", "MB/s", "CPU s", "RSS MiB", "speed-up", "requests", "served", "after", "failed")
print("%-28s %8s %8s %8s %8s %9s %9s %7s %7s %7s" % header)
for p in programs:
    if p not in med:
        print("%-28s %8s %8s %8s %8s %9s %9s %7s %7s %7d" % ((names.get(p, p),) + ("-",) * 8 + (failed[p],)))
        continue
    wall, cpu, rss, requests, served, after = med[p]
    speedup = "%.2f\u00d7" % (med[one][0] / wall) if one in med else "-"
    print("%-28s %8.3f %8.1f %8.3f %8.1f %9s %9g %7.3f %7.3f %7d" % (
        names.get(p, p), wall, size_bytes / 1e6 / wall, cpu, rss / 1024, speedup, requests, served / size_bytes,
        after, failed[p]))
print()
missed = []
if one in med and quick in med and failed[quick] == 0:
    share = med[one][0] / med[quick][0]
    print("quorvel %d channels: %.2f\u00d7 one connection (expected \u2265 3.6)" % (channels, share))
    if round(share, 2) < 3.6:
        missed.append("speed-up")
else:
    print("quorvel %d channels: no figure, runs failed" % channels)
    missed.append("speed-up")
if "aria2c" in med and quick in med and failed[quick] == 0:
    versus = med["aria2c"][0] / med[quick][0]
    print("quorvel %d channels vs aria2c -x%d: %.2f (expected \u2265 1.00)" % (channels, channels, versus))
    if round(versus, 2) < 1.0:
        missed.append("aria2c")
else:
    print("quorvel %d channels vs aria2c -x%d: no figure (aria2c missing or failed)" % (channels, channels))
if "axel" in med and one in med and quick in med and failed[quick] == 0:
    # Both speed-ups are over quorvel on one connection, so this is the ratio of the wall times.
    ours, theirs = med[one][0] / med[quick][0], med[one][0] / med["axel"][0]
    print("quorvel %d channels vs axel -n %d: speed-up %.2f\u00d7 against %.2f\u00d7 (expected at least axel's)" % (
        channels, channels, ours, theirs))
    if round(ours, 2) < round(theirs, 2):
        missed.append("axel")
else:
    print("quorvel %d channels vs axel -n %d: no figure (axel missing or failed)" % (channels, channels))
print("expectations: %s" % ("met" if not missed else "MISSED (" + ", ".join(missed) + ")"))
EOF
