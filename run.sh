#!/usr/bin/env bash
# Builds Quorvel when needed and runs it with the given arguments.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/scripts/deps.sh" >&2
build="$here/build/release"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
cmake --build "$build" --target quorvel >&2
exec "$build/app/quorvel" "$@"
