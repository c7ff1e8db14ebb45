#!/usr/bin/env bash
# Builds the launcher in Release and runs every benchmark.
#   bench/run.sh [BENCH_NAME...]      e.g. bench/run.sh startup stub_log
#
# Convention: a benchmark is a file bench/bench_<name>.py. It is run as
#   /usr/bin/python3.11 bench/bench_<name>.py LAUNCHER BUILD_DIR
# with the path of the Release launcher binary first and the build folder
# second. It makes the application executables it needs itself (with
# tools/mkapp.py), measures its baseline in the same run, prints its figures
# and ratios, and exits nonzero only when something fails to run, never
# because of a figure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build/bench"

tools/install-deps.sh

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLAUNCHER_TESTS=OFF >/dev/null
cmake --build "$build" --target launcher bench_python_main -j"$(nproc)"

if [ "$#" -gt 0 ]; then
  benches=()
  for name in "$@"; do benches+=("bench/bench_$name.py"); done
else
  benches=(bench/bench_*.py)
fi

status=0
for bench in "${benches[@]}"; do
  echo
  echo "== $bench"
  /usr/bin/python3.11 "$bench" "$build/launcher" "$build" || { echo "$bench failed"; status=1; }
done
exit "$status"
