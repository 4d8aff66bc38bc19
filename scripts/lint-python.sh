#!/usr/bin/env bash
# Checks the Python sources: black's formatting (settings in pyproject.toml), then flake8
# (settings in .flake8). Fails on any difference or finding; `black .` formats.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh" black python3-flake8
cd "$root"
mapfile -t sources < <(git ls-files '*.py' '*.pyi')
black --check --quiet "${sources[@]}" || { black --check --diff "${sources[@]}" 2>/dev/null | head -40 >&2; echo "format with: black ." >&2; exit 1; }
/usr/bin/python3 -m flake8 "${sources[@]}"
echo "python lint: ${#sources[@]} files formatted, no findings"
