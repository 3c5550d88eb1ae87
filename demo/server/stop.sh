#!/bin/sh
# Stops the sample service started by start.sh; nothing to do when it is not
# running. Same run folder as start.sh: OGC_DEMO_RUN_DIR or --run-dir.
set -eu

run_dir=${OGC_DEMO_RUN_DIR:-/tmp/ogcweb-demo}
while [ $# -gt 0 ]; do
    case "$1" in
        --run-dir) run_dir=$2; shift 2 ;;
        --run-dir=*) run_dir=${1#--run-dir=}; shift ;;
        *) echo "stop.sh: unknown argument: $1" >&2; exit 2 ;;
    esac
done
pid_file=$run_dir/front.pid
port_file=$run_dir/front.port

if [ ! -f "$pid_file" ]; then
    echo "sample service not running"
    exit 0
fi
pid=$(cat "$pid_file" 2>/dev/null || true)

# Only a process that really is the front gets a signal: the pid may have
# been reused since.
if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null ||
   ! tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -q 'ogc_front\.py'; then
    echo "sample service not running (stale pid file removed)"
    rm -f "$pid_file" "$port_file"
    exit 0
fi

kill -TERM "$pid"
tries=0
while kill -0 "$pid" 2>/dev/null && [ $tries -lt 50 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
if kill -0 "$pid" 2>/dev/null; then
    echo "stop.sh: the front ignored SIGTERM for 5 s; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
fi
rm -f "$pid_file" "$port_file"
echo "sample service stopped (pid $pid)"
