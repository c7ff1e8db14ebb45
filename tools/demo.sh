#!/usr/bin/env bash
# The main job: builds the launcher and the example application, runs the
# application through the launcher against the reference log collector on a
# private loopback, and shows the run's log and what the collector received.
# Installs what is missing first. Needs root (for the private network).
#   tools/demo.sh [application arguments...]   (default: --echo "Hello from the demo")
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/demo
python=/usr/bin/python3.11

tools/install-deps.sh

echo "== building the launcher"
cmake -S "$root" -B "$work/launcher" -DCMAKE_BUILD_TYPE=Release -DLAUNCHER_TESTS=OFF >/dev/null
cmake --build "$work/launcher" -j"$(nproc)" --target launcher

echo "== building the example application (dist/mendrix and dist/lib.dll)"
rm -rf "$work/dist" "$work/home" "$work/collected"
"$python" tools/mkapp.py --launcher "$work/launcher/launcher" --rc resources/launcher.rc \
  --boot-script examples/boot.py --app examples/app -o "$work/dist/mendrix"
mkdir -p "$work/home/.local/share"

if [ "$#" -eq 0 ]; then
  set -- --echo "Hello from the demo"
fi

# The example's configuration names the log server "localhost", port 80: the
# collector listens there inside a network namespace of its own, so nothing
# leaves the machine.
export DEMO_WORK=$work DEMO_PYTHON=$python
unshare --net bash -euo pipefail -c '
  ip link set lo up
  "$DEMO_PYTHON" tools/collector.py --address 127.0.0.1 --port 80 \
    --storage "$DEMO_WORK/collected" > "$DEMO_WORK/collector.out" 2>&1 &
  collector=$!
  trap "kill $collector 2>/dev/null || true" EXIT
  for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null && break
    sleep 0.05
  done
  echo "== running: dist/mendrix --keep-logs $*"
  status=0
  HOME="$DEMO_WORK/home" XDG_DATA_HOME="$DEMO_WORK/home/.local/share" \
    "$DEMO_WORK/dist/mendrix" --keep-logs "$@" || status=$?
  echo "   exit code: $status"
  kill $collector; wait $collector 2>/dev/null || true
' demo "$@"

echo
echo "== the run's log (kept: the script asked for --keep-logs)"
for log in "$work"/home/.local/share/MendrixSoftware/Mendrix/logs/*.log; do
  echo "--- $log"
  cat "$log"
done

echo
echo "== what the collector received"
cat "$work/collector.out"
for log in "$work"/collected/*.log; do
  [ -e "$log" ] || { echo "(nothing)"; break; }
  echo "--- $log ($(head -c 300 "${log%.log}.json"))"
  cat "$log"
done
