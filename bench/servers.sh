# Sourced by the benchmark scripts: a work folder removed on exit, and loopback
# servers started in the background and stopped on exit.
#
#   bench_init PREFIX          makes $work (/tmp/PREFIX.XXXXXX) and the exit trap
#   start_server NAME CMD...   runs CMD, waits for its "listening on
#                              127.0.0.1:PORT" line and prints PORT
bench_pids=()
bench_cleanup() {
    local pid
    for pid in "${bench_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    [ -n "${work:-}" ] && rm -rf "$work"
}

bench_init() {
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    trap bench_cleanup EXIT
    trap 'exit 130' INT TERM
}

start_server() {
    local name=$1 pid line
    shift
    "$@" >"$work/$name.out" 2>"$work/$name.err" &
    pid=$!
    bench_pids+=("$pid")
    for _ in $(seq 600); do   # generating 100,000 features takes a few seconds
        line=$(grep -m1 '^listening on 127\.0\.0\.1:' "$work/$name.out" 2>/dev/null || true)
        if [ -n "$line" ]; then
            echo "${line##*:}"
            return
        fi
        kill -0 "$pid" 2>/dev/null || { cat "$work/$name.err" >&2; exit 1; }
        sleep 0.1
    done
    echo "$name did not start" >&2
    exit 1
}
