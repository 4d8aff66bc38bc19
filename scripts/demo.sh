#!/usr/bin/env bash
# Installs what is missing, builds, and repairs the bundled damaged example with the
# command line, then shows the first lines of the repaired and the quarantine file.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${ROWMENDER_PYTHON:-/usr/bin/python3}
build=${ROWMENDER_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DPython3_EXECUTABLE="$python" >/dev/null
cmake --build "$build" --target _rowmender_backend >/dev/null

out="$root/examples/output"
mkdir -p "$out"
cd "$root"
echo "\$ python -m rowmender repair examples/damaged.csv examples/output/repaired.csv --quarantine examples/output/quarantine.csv --no-fill"
PYTHONPATH="$root" "$python" -m rowmender repair examples/damaged.csv "$out/repaired.csv" --quarantine "$out/quarantine.csv" --no-fill
echo
echo "== first lines of examples/output/repaired.csv =="
head -n 12 "$out/repaired.csv"
echo
echo "== first lines of examples/output/quarantine.csv =="
head -n 12 "$out/quarantine.csv"
