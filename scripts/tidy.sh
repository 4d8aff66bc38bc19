#!/usr/bin/env bash
# Runs clang-tidy (the bugprone and performance checks of .clang-tidy) over the engine, the
# binding and the C++ tests, using the compile commands of a build tree (default build/).
# Fails on any finding.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ROWMENDER_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh" clang-tidy
cd "$root"
mapfile -t sources < <(git ls-files '*.cpp' | grep -v -e '^tests/fuzz/' -e '^bench/')
findings=$(printf '%s\n' "${sources[@]}" | xargs -P2 -n4 clang-tidy -p "$build" --quiet 2>/dev/null |
  grep -E '(warning|error):' | sort -u || true)
if [ -n "$findings" ]; then
  echo "$findings" >&2
  exit 1
fi
echo "clang-tidy: no findings in ${#sources[@]} files"
