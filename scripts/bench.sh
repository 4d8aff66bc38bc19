#!/usr/bin/env bash
# Builds the module and the benchmark programs in Release (build-release/) and runs the
# Python benchmark: salvage_file, the reader, the csv module and the read-scan-write floor
# on generated files. Extra arguments go to bench/bench_salvage.py, e.g. --size-mb 10
# --repeat 1 for a quick run. ROWMENDER_PYTHON names the interpreter (default
# /usr/bin/python3).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${ROWMENDER_PYTHON:-/usr/bin/python3}
build=$root/build-release

# shellcheck source=scripts/quietly.sh
source "$root/scripts/quietly.sh"
quietly cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE="$python" \
  -DROWMENDER_INPLACE=OFF
# Only what the benchmarks need; the tests are built by scripts/test.sh.
quietly cmake --build "$build" --target _rowmender_backend rowmender_floor rowmender_bench
# Byte-compiled, as an installed package is (pip compiles it), so that no timed process
# compiles the package's modules again, even where PYTHONDONTWRITEBYTECODE is set.
"$python" -m compileall -q "$build/python/rowmender"

cd "$root"
PYTHONPATH="$build/python" "$python" bench/bench_salvage.py "$@"
