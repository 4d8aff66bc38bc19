#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test (C++ and Python).
# ROWMENDER_PYTHON names the interpreter (default /usr/bin/python3, which has pytest);
# ROWMENDER_BUILD_DIR the build tree; ROWMENDER_CMAKE_ARGS adds configure options.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${ROWMENDER_PYTHON:-/usr/bin/python3}
build=${ROWMENDER_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" -G Ninja -DPython3_EXECUTABLE="$python" ${ROWMENDER_CMAKE_ARGS:-} >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2
