#!/usr/bin/env bash
# The main job: builds the launcher and the example application, runs the
# log-collection service (python3 -m collector) on port 80 of a private
# loopback, ships a normal run and a failing run of the application through
# the launcher, and prints the failure groups from the service's API and
# where its pages are. Installs what is missing first. Needs root (for the
# private network).
#   tools/demo.sh [application arguments of the normal run...]
#                 (default: --echo "Hello from the demo")
# On a terminal it then serves the pages on http://127.0.0.1:8080/ until
# Ctrl-C; DEMO_SERVE=0 skips that, DEMO_SERVE=1 serves anyway.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/demo
python=/usr/bin/python3.11
token=demo

tools/install-deps.sh

echo "== building the launcher"
cmake -S "$root" -B "$work/launcher" -DCMAKE_BUILD_TYPE=Release -DLAUNCHER_TESTS=OFF >/dev/null
cmake --build "$work/launcher" -j"$(nproc)" --target launcher

echo "== building the example application (dist/mendrix and dist/lib.dll)"
rm -rf "$work/dist" "$work/home" "$work/collector-data"
"$python" tools/mkapp.py --launcher "$work/launcher/launcher" --rc resources/launcher.rc \
  --boot-script examples/boot.py --app examples/app -o "$work/dist/mendrix"
mkdir -p "$work/home/.local/share"

if [ "$#" -eq 0 ]; then
  set -- --echo "Hello from the demo"
fi

# The example's configuration names the log server "localhost", port 80: the
# service listens there inside a network namespace of its own, so nothing
# leaves the machine.
export DEMO_WORK=$work DEMO_PYTHON=$python DEMO_TOKEN=$token
unshare --net bash -euo pipefail -c '
  ip link set lo up
  "$DEMO_PYTHON" -m collector serve --data "$DEMO_WORK/collector-data" \
    --listen 127.0.0.1:80 --token "$DEMO_TOKEN" --verbose > "$DEMO_WORK/collector.out" 2>&1 &
  service=$!
  trap "kill $service 2>/dev/null || true" EXIT
  for _ in $(seq 200); do
    grep -q "^listening on" "$DEMO_WORK/collector.out" 2>/dev/null && break
    kill -0 $service 2>/dev/null || { cat "$DEMO_WORK/collector.out"; exit 1; }
    sleep 0.05
  done
  run() {
    echo "== running: dist/mendrix $*"
    status=0
    HOME="$DEMO_WORK/home" XDG_DATA_HOME="$DEMO_WORK/home/.local/share" \
      "$DEMO_WORK/dist/mendrix" "$@" || status=$?
    echo "   exit code: $status"
  }
  run "$@"
  run --echo "This run is about to fail" --fail
  echo
  echo "== what the service received"
  cat "$DEMO_WORK/collector.out"
  echo
  echo "== the failure groups, from GET /api/groups?product=Mendrix"
  "$DEMO_PYTHON" - <<PYTHON
import json, urllib.request
request = urllib.request.Request("http://127.0.0.1/api/groups?product=Mendrix",
                                 headers={"Authorization": "Bearer $DEMO_TOKEN"})
for group in json.load(urllib.request.urlopen(request, timeout=30)):
    print(json.dumps(group, indent=2))
PYTHON
  kill $service; wait $service 2>/dev/null || true
' demo "$@"

serve_command="$python -m collector serve --data $work/collector-data --listen 127.0.0.1:8080 --token $token"
echo
echo "== the pages"
echo "The logs are in $work/collector-data. To read them in a browser, run"
echo "   (cd $root && $serve_command)"
echo "and open http://127.0.0.1:8080/ (token: $token)."
if [ "${DEMO_SERVE:-}" = 1 ] || { [ -z "${DEMO_SERVE:-}" ] && [ -t 0 ] && [ -t 1 ]; }; then
  echo "Serving them now; Ctrl-C stops."
  exec $serve_command
fi
