#!/usr/bin/env bash
# make fuzz: makes sure clang++ with libFuzzer is here (installs it with apt
# as root, else says what to install), builds the fuzz targets in their own
# folder and runs each for FUZZ_SECONDS seconds, starting from the seed
# corpus in fuzz/corpus/<target>. New inputs go to <build>/corpus/<target>;
# crashes to <build>/crashes/. Prints executions per second and coverage
# per target; fails when a target fails.
set -u
build=${1:-build-fuzz}
seconds=${2:-60}
jobs=${3:-2}

have_fuzzer() {
  command -v clang++ >/dev/null 2>&1 &&
    echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
      clang++ -x c++ -fsanitize=fuzzer -o /dev/null - >/dev/null 2>&1
}
if ! have_fuzzer; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "Installing clang (libFuzzer)"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q && apt-get install -y -q clang || exit 1
  else
    echo "clang++ with libFuzzer is missing. Install it as root with: apt-get install -y clang" >&2
    exit 1
  fi
fi

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DSANITIZE=address,undefined \
  -DOWL_FUZZ=ON -DOWL_TESTS=OFF >/dev/null || exit 1
cmake --build "$build" -j "$jobs" --target fuzz_targets >/dev/null || exit 1

status=0
summary=""
mkdir -p "$build/crashes"
for target in "$build"/fuzz_*; do
  [ -x "$target" ] || continue
  name=${target##*/fuzz_}
  work="$build/corpus/$name"
  mkdir -p "$work"
  log="$build/$name.log"
  echo "== fuzz_$name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/crashes/$name-" "$work" "fuzz/corpus/$name" >"$log" 2>&1
  rc=$?
  execs=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$')
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  line=$(printf '%-12s %10s runs %8s exec/s  %s' "$name" "${runs:-?}" "${execs:-?}" "${cov:-cov: ?}")
  if [ $rc -ne 0 ]; then
    line="$line  FAILED (see $log)"
    tail -30 "$log"
    status=1
  fi
  echo "$line"
  summary="$summary$line"$'\n'
done
echo "== fuzz summary"
printf '%s' "$summary"
exit $status
