#!/bin/sh
# Starts the sample service (MapServer behind ogc_front.py) in the background
# on 127.0.0.1 and returns once it answers a WMS GetCapabilities request.
#
#   start.sh [--port N] [--no-add-service-wms] [--run-dir DIR]
#
# Port: 18080 unless OGC_DEMO_PORT or --port says otherwise (0 takes a free
# one). The run folder (OGC_DEMO_RUN_DIR, default /tmp/ogcweb-demo) keeps
# front.pid, front.port and front.log. Starting again while the front runs
# changes nothing and says where it is; stop.sh stops it.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
port=${OGC_DEMO_PORT:-18080}
run_dir=${OGC_DEMO_RUN_DIR:-/tmp/ogcweb-demo}
service_flag=--add-service-wms
python=${PYTHON3:-python3}

while [ $# -gt 0 ]; do
    case "$1" in
        --port) port=$2; shift 2 ;;
        --port=*) port=${1#--port=}; shift ;;
        --run-dir) run_dir=$2; shift 2 ;;
        --run-dir=*) run_dir=${1#--run-dir=}; shift ;;
        --add-service-wms|--no-add-service-wms) service_flag=$1; shift ;;
        -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
        *) echo "start.sh: unknown argument: $1" >&2; exit 2 ;;
    esac
done

pid_file=$run_dir/front.pid
port_file=$run_dir/front.port
log_file=$run_dir/front.log
out_file=$run_dir/front.out
mkdir -p "$run_dir"

# A pid file alone proves nothing: the number may have been reused by an
# unrelated process since the front died.
front_alive() {
    [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null &&
        tr '\0' ' ' < "/proc/$1/cmdline" 2>/dev/null | grep -q 'ogc_front\.py'
}

if [ -f "$pid_file" ]; then
    old_pid=$(cat "$pid_file" 2>/dev/null || true)
    if front_alive "$old_pid"; then
        echo "sample service already running (pid $old_pid): http://127.0.0.1:$(cat "$port_file" 2>/dev/null || echo '?')/wms"
        exit 0
    fi
    rm -f "$pid_file" "$port_file"
fi

if ! command -v "$python" >/dev/null 2>&1; then
    echo "start.sh: $python not found (Debian package python3)" >&2
    exit 1
fi
if [ ! -x /usr/lib/cgi-bin/mapserv ]; then
    echo "start.sh: /usr/lib/cgi-bin/mapserv not found (Debian package cgi-mapserver)" >&2
    exit 1
fi

: > "$out_file"
# setsid: the front must outlive this script and not get the terminal's
# Ctrl-C meant for whatever started the demo.
setsid "$python" "$here/ogc_front.py" --port "$port" $service_flag --log "$log_file" \
    > "$out_file" 2>> "$log_file" < /dev/null &
pid=$!
echo "$pid" > "$pid_file"

fail() {
    echo "start.sh: $1" >&2
    if [ -s "$log_file" ]; then
        echo "--- last lines of $log_file:" >&2
        tail -n 15 "$log_file" >&2
    fi
    kill "$pid" 2>/dev/null || true
    rm -f "$pid_file" "$port_file"
    exit 1
}

# The front prints its port once it listens; with --port 0 that is the only
# way to learn it.
actual=
tries=0
while [ -z "$actual" ]; do
    kill -0 "$pid" 2>/dev/null || fail "the front exited during start-up"
    actual=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$out_file")
    tries=$((tries + 1))
    [ -n "$actual" ] || [ $tries -lt 100 ] || fail "the front did not report listening within 10 s"
    [ -n "$actual" ] || sleep 0.1
done
echo "$actual" > "$port_file"

# Listening is not yet serving: MapServer must load the mapfile and answer.
url="http://127.0.0.1:$actual/wms?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.1.1"
if ! "$python" - "$url" <<'PY'
import sys, time, urllib.request
deadline = time.time() + 15
error = "no answer"
while time.time() < deadline:
    try:
        with urllib.request.urlopen(sys.argv[1], timeout=5) as answer:
            body = answer.read()
        if b"WMT_MS_Capabilities" in body:
            sys.exit(0)
        error = "unexpected answer: %r" % body[:300]
    except Exception as exc:  # the front may still be starting
        error = str(exc)
    time.sleep(0.2)
sys.stderr.write("start.sh: GetCapabilities failed: %s\n" % error)
sys.exit(1)
PY
then
    fail "the sample service does not answer GetCapabilities"
fi

echo "sample service running (pid $pid): http://127.0.0.1:$actual/wms ($service_flag; log $log_file)"
