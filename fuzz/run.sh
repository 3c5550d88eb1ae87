#!/usr/bin/env bash
# Runs every fuzz target of a build for a bounded time, each on its working
# corpus (BUILD/fuzz-corpus/<target>, kept between runs) seeded as
# fuzz/seeds.sh says. A crash, a leak, a time-out or running out of memory
# fails the run; the input that did it is in BUILD/fuzz-artifacts/<target>/
# and the fuzzer's output in BUILD/fuzz-logs/<target>.log.
# Usage: fuzz/run.sh BUILD SECONDS [TARGET...]
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -gt 0 ]; then targets=("$@"); else mapfile -t targets < "$build/fuzz/targets.txt"; fi

# Documents can be large; addresses are short; images are kept small enough
# that decoding them stays far from the time limit.
max_len() {
  case $1 in
    fuzz_url) echo 4096 ;;
    fuzz_image_import) echo 262144 ;;
    *) echo 1048576 ;;
  esac
}

failed=()
for target in "${targets[@]}"; do
  seeds="$build/fuzz-seeds/$target"
  corpus="$build/fuzz-corpus/$target"
  artifacts="$build/fuzz-artifacts/$target/"
  log="$build/fuzz-logs/$target.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  "$here/seeds.sh" "$target" "$seeds" || { echo "FAIL $target: seeds could not be collected"; exit 1; }
  status=0
  # The plug-in installs its own crash handler; the sanitizers must keep theirs.
  ASAN_OPTIONS=${ASAN_OPTIONS:-allow_user_segv_handler=0:detect_leaks=1} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  OGCWEB_LOG= \
    "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
      -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts" \
      "$corpus" "$seeds" > "$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -ne 0 ]; then
    echo "FAIL $target (exit $status); last lines of $log:"
    tail -n 40 "$log" | sed 's/^/  /'
    failed+=("$target")
  else
    echo "ok   $target: ${runs:-?} inputs in ${seconds}s, corpus $(find "$corpus" -type f | wc -l) files"
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
