#!/usr/bin/env bash
# The queue's own bookkeeping for long lists: restoring the queue archive, a scheduling pass among
# many finished rows, and writing the archive, for lists of 1,000, 10,000 and 100,000 downloads,
# taking turns run by run. No other program keeps such a queue, so there is no peer to compare
# with: every figure is set against the smallest list of the same run.
#
#   bench/queue.sh [COUNTS]          (default "1000 10000 100000")
#
# Environment: RUNS (default 3), BUILD (default build-queue-release, a Release build folder of its
# own). Each run is a fresh process in a fresh home folder: a queue archive of COUNT downloads is
# written (every tenth with its data in a bundle, a third paused), then timed: the restore (file read
# and every download made), the first archive write after it and the next one (what every finished
# download costs), and the median of 200 scheduling passes when all but 100 waiting downloads are
# complete or aborted.
#
# Prints the medians per list length, then the growth against the smallest list: for the restore,
# the archive and memory, the cost per download (1.00: grows in proportion to the list); for the
# pass, the cost per pass (1.00: does not grow with the finished rows at all).
set -euo pipefail

COUNTS=${1:-${COUNTS:-"1000 10000 100000"}}
RUNS=${RUNS:-3}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-queue-release}
PYTHON=$(command -v /usr/bin/python3 || command -v python3)

for tool in cmake "$PYTHON"; do
  command -v "$tool" >/dev/null || { echo "cannot find <$tool>" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-queue-XXXXXX")
source "$ROOT/bench/lib.sh"
trap bench_cleanup EXIT

bench_build queue_bench
DRIVER=$BUILD/bench/queue_bench

run_one() { # count run
  local count=$1 home=$WORK/home line
  rm -rf "$home"
  mkdir -p "$home/.config" "$home/.local/share" "$home/.cache" "$home/Downloads"
  # These machines hand idle memory back to the host: touch some before timing.
  dd if=/dev/zero of="$WORK/warm" bs=1M count=256 status=none
  rm -f "$WORK/warm"
  line=$(env -i PATH="$PATH" HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
           XDG_CACHE_HOME="$home/.cache" XDG_DOWNLOAD_DIR="$home/Downloads" QT_QPA_PLATFORM=offscreen \
           "$DRIVER" "$count") || { echo "cannot run the queue driver for $count downloads" >&2; exit 1; }
  echo "$2 $line" >> "$WORK/results"
  echo "  run $2  $line" >&2
}

echo "queue of $COUNTS downloads, $RUNS runs" >&2
for ((run = 1; run <= RUNS; run++)); do
  for count in $COUNTS; do
    run_one "$count" "$run"
  done
done

"$PYTHON" - "$WORK/results" <<'EOF'
import statistics, sys
figures = {}
for line in open(sys.argv[1]):
    fields = line.split()
    values = dict(zip(fields[1::2], fields[2::2]))
    figures.setdefault(int(values["count"]), []).append(values)
def median(count, key):
    return statistics.median(float(v[key]) for v in figures[count])
counts = sorted(figures)
print("%9s %10s %12s %10s %10s %10s %10s" % ("downloads", "restore s", "archive 1 s", "archive s",
                                              "pass us", "RSS MiB", "peak MiB"))
for c in counts:
    print("%9d %10.3f %12.3f %10.3f %10.1f %10.1f %10.1f" % (
        c, median(c, "restore_s"), median(c, "archive_first_s"), median(c, "archive_s"),
        median(c, "pass_us"), median(c, "rss_kib") / 1024, median(c, "peak_kib") / 1024))
base = counts[0]
print()
print("growth against %d downloads (per download; the pass: per pass)" % base)
print("%9s %10s %12s %10s %10s %10s" % ("downloads", "restore", "archive 1", "archive", "pass", "peak"))
for c in counts:
    per = lambda key, n: median(n, key) / n
    print("%9d %10.2f %12.2f %10.2f %10.2f %10.2f" % (
        c, per("restore_s", c) / per("restore_s", base),
        per("archive_first_s", c) / per("archive_first_s", base),
        per("archive_s", c) / per("archive_s", base),
        median(c, "pass_us") / median(base, "pass_us"),
        per("peak_kib", c) / per("peak_kib", base)))
if 10000 in figures:
    print()
    print("10,000 downloads: restore %.3f s, archive %.3f s (must be under 1 s each)" % (
        median(10000, "restore_s"), max(median(10000, "archive_first_s"), median(10000, "archive_s"))))
EOF
