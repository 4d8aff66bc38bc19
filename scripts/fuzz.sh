#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while (default 30 seconds)
# on a copy of its seed corpus. Usage: scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-30}
shift || true
"$root/scripts/install-deps.sh" clang libclang-rt-dev

build="$root/build-fuzz"
mkdir -p "$build"
mapfile -t engine < <(cd "$root" && ls memory/*.cpp unicode/*.cpp simd/*.cpp simd/*/kernels.cpp parser/*.cpp heuristics/*.cpp io/*.cpp salvage/*.cpp error/*.cpp)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_parser fuzz_salvage fuzz_writer)

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -I"$root" -I"$root/tests/cpp" -I"$root/tests/fuzz")
# Each x86 target's kernels get that target's instructions, as CMakeLists.txt gives them.
target_flags() {
  case "$(uname -m)" in x86_64 | i?86) ;; *) return ;; esac
  case "$1" in
    simd/sse/*) echo -mssse3 ;;
    simd/avx2/*) echo -mavx2 ;;
  esac
}
# The engine is compiled once, with coverage instrumentation, into objects shared by the targets.
objects=()
for source in "${engine[@]}"; do
  object="$build/$(echo "$source" | tr / _).o"
  if [ ! -f "$object" ] || [ "$root/$source" -nt "$object" ]; then
    # shellcheck disable=SC2046
    clang++ "${flags[@]}" $(target_flags "$source") -fsanitize=fuzzer-no-link -c "$root/$source" -o "$object"
  fi
  objects+=("$object")
done

for target in "${targets[@]}"; do
  clang++ "${flags[@]}" -fsanitize=fuzzer "$root/tests/fuzz/$target.cpp" "${objects[@]}" -o "$build/$target"
  corpus="$build/corpus-$target"
  mkdir -p "$corpus"
  cp -n "$root/tests/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
  echo "== $target: ${seconds}s"
  artifacts="$build/artifacts-$target/"
  mkdir -p "$artifacts"
  status=0
  ASAN_OPTIONS=allocator_may_return_null=1 "$build/$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=4096 -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts" "$corpus" \
    >"$build/$target.log" 2>&1 || status=$?
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$build/$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$build/$target.log" >&2
    echo "$target found a failing input (kept in $artifacts)" >&2
    exit 1
  fi
done
