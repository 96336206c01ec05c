#!/usr/bin/env bash
# The download window with a long list: scrolled a page at a time and painted at once, against a
# plain Qt list (QListWidget) of as many two-line rows in a window of the same size, taking turns
# run by run. A frame under 16 ms keeps up with a 60 Hz screen.
#
#   bench/list_scroll.sh [COUNT]          (default 10000)
#
# Environment: RUNS (default 3), STEPS per run (default 200), BUILD (default build-list-release).
set -euo pipefail
COUNT=${1:-10000}
RUNS=${RUNS:-3}
STEPS=${STEPS:-200}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-list-release}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-list-XXXXXX")
source "$ROOT/bench/lib.sh"
trap bench_cleanup EXIT
bench_build list_scroll_bench

ours=() plain=()
for ((run = 0; run < RUNS; run++)); do
  home=$WORK/home; rm -rf "$home"; mkdir -p "$home/runtime"; chmod 700 "$home/runtime"
  line=$(env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM=offscreen HOME="$home" \
    XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" \
    XDG_RUNTIME_DIR="$home/runtime" "$BUILD/bench/list_scroll_bench" "$COUNT" "$STEPS" 2>/dev/null)
  echo "$line"
  ours+=("$(awk '{print $6}' <<<"$line")"); plain+=("$(awk '{print $8}' <<<"$line")")
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
q=$(median "${ours[@]}"); p=$(median "${plain[@]}")
awk -v q="$q" -v p="$p" -v n="$COUNT" 'BEGIN {
  printf "%d rows, a page a frame: quorvel %.2f ms, plain list %.2f ms, ratio %.2f; %s a 16 ms frame\n",
    n, q, p, q / p, (q < 16 ? "within" : "NOT within") }'
