#!/usr/bin/env bash
# Checks that the C++ sources are formatted by .clang-format, then runs clang-tidy (the
# bugprone and performance checks of .clang-tidy) over the engine, the binding and the C++
# tests, using the compile commands of a build tree (default build/). Fails on any finding.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ROWMENDER_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh" clang-tidy clang-format
cd "$root"
mapfile -t all_sources < <(git ls-files '*.h' '*.cpp')
if ! clang-format --dry-run --Werror "${all_sources[@]}" 2>/dev/null; then
  clang-format --dry-run "${all_sources[@]}" 2>&1 | grep warning: >&2 || true
  echo "format with: clang-format -i \$(git ls-files '*.h' '*.cpp')" >&2
  exit 1
fi
mapfile -t sources < <(git ls-files '*.cpp' | grep -v -e '^tests/fuzz/' -e '^bench/')
findings=$(printf '%s\n' "${sources[@]}" | xargs -P2 -n4 clang-tidy -p "$build" --quiet 2>/dev/null |
  grep -E '(warning|error):' | sort -u || true)
if [ -n "$findings" ]; then
  echo "$findings" >&2
  exit 1
fi
echo "clang-tidy: no findings in ${#sources[@]} files"
