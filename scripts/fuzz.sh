#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the CMake option ROWMENDER_FUZZ, in build-fuzz/)
# and runs each for a while (default 30 seconds) on a copy of its seed corpus.
# Usage: scripts/fuzz.sh [seconds] [target...]; without targets, every tests/fuzz/fuzz_*.cpp.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-30}
shift || true
"$root/scripts/install-deps.sh" clang libclang-rt-dev

build="$root/build-fuzz"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$root"/tests/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

# shellcheck source=scripts/quietly.sh
source "$root/scripts/quietly.sh"
# -O1 keeps the programs quick while the sanitizers' reports stay readable.
quietly cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DPython3_EXECUTABLE=/usr/bin/python3 \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DROWMENDER_FUZZ=ON -DROWMENDER_SANITIZE=ON \
  -DROWMENDER_TESTS=OFF -DROWMENDER_BENCHMARKS=OFF -DROWMENDER_INPLACE=OFF
quietly cmake --build "$build" -j2 --target "${targets[@]}"

for target in "${targets[@]}"; do
  corpus="$build/corpus-$target"
  mkdir -p "$corpus"
  cp -n "$root/tests/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
  echo "== $target: ${seconds}s"
  artifacts="$build/artifacts-$target/"
  mkdir -p "$artifacts"
  status=0
  ASAN_OPTIONS=allocator_may_return_null=1 "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=4096 -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts" "$corpus" \
    >"$build/$target.log" 2>&1 || status=$?
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$build/$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$build/$target.log" >&2
    echo "$target found a failing input (kept in $artifacts)" >&2
    exit 1
  fi
done
