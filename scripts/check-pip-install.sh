#!/usr/bin/env bash
# Installs the package the way a Python user does, with pip into a fresh virtual
# environment, and checks the result from outside the source tree: the package imports from
# the environment, its metadata names the project's version, and the `rowmender` command runs.
#
# Offline, the build backend comes from its source: ROWMENDER_BACKEND_SRC names the folder
# (default: ../shared/tools/scikit-build-core/src beside the project). The environment sees
# the system's packages, where the backend's own dependencies come from.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${ROWMENDER_PYTHON:-/usr/bin/python3}
backend=${ROWMENDER_BACKEND_SRC:-$root/../shared/tools/scikit-build-core/src}

# Only this check needs pip, venv and the backend's dependencies; the build and the tests
# do not, so they are installed here rather than by every run of scripts/test.sh.
"$root/scripts/install-deps.sh" python3-venv python3-pip python3-packaging python3-pathspec

if [ ! -d "$backend/scikit_build_core" ]; then
  echo "check-pip-install: no build backend source in $backend" >&2
  exit 1
fi
backend=$(cd "$backend" && pwd)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$python" -m venv --system-site-packages "$scratch/venv"

# The user's command, run from the project root. pip builds the wheel in a fresh temporary
# build tree, so the build*/ folders and any module a development build placed into
# rowmender/ must not reach the wheel; the file list below checks that.
echo "== pip install --no-build-isolation --no-index ."
(cd "$root" && CMAKE_BUILD_PARALLEL_LEVEL=2 PYTHONPATH="$backend" \
  "$scratch/venv/bin/pip" install --no-build-isolation --no-index --disable-pip-version-check -q .)

version=$(sed -nE 's/^project\(rowmender VERSION ([^ )]+).*/\1/p' "$root/CMakeLists.txt")
mkdir "$scratch/elsewhere"
cd "$scratch/elsewhere"
printf 'a;b\n1\n2;3\n4;5\n' >in.csv

# Nothing but the installed copy may be found: no PYTHONPATH, and a working folder that
# holds no package.
env -u PYTHONPATH "$scratch/venv/bin/python" - "$scratch/venv" "$version" "$root/rowmender" <<'EOF'
import importlib.metadata
import pathlib
import sys

import rowmender

venv, version, source = pathlib.Path(sys.argv[1]).resolve(), sys.argv[2], pathlib.Path(sys.argv[3])
package = pathlib.Path(rowmender.__file__).resolve().parent
assert package.is_relative_to(venv), f"imported from {package}, not from the environment"
assert importlib.metadata.version("rowmender") == rowmender.__version__ == version, (
    importlib.metadata.version("rowmender"), rowmender.__version__, version)

# pip adds the bytecode it compiles on installing; the rest came from the wheel.
files = sorted(str(f) for f in importlib.metadata.files("rowmender")
               if f.parts[0] == "rowmender" and "__pycache__" not in f.parts)
modules = [f for f in files if f.startswith("rowmender/_rowmender_backend.") and f.endswith(".so")]
# The package's own files, as the source folder has them, and the one module.
expected = [f"rowmender/{f.name}" for f in source.iterdir() if f.suffix in (".py", ".pyi") or f.name == "py.typed"]
expected += modules
assert len(modules) == 1 and files == sorted(expected), files
print(f"installed rowmender {version} from the wheel: {', '.join(files)}")
EOF

fail() {
  echo "check-pip-install: $*" >&2
  exit 1
}
command_path=$(env -u PYTHONPATH PATH="$scratch/venv/bin:$PATH" bash -c 'command -v rowmender') || true
[ "$command_path" = "$scratch/venv/bin/rowmender" ] || fail "no rowmender command in the environment"
env -u PYTHONPATH "$command_path" --help | grep -q '^usage: rowmender ' || fail "--help does not name the program rowmender"
[ "$(env -u PYTHONPATH "$command_path" sniff in.csv)" = ";" ] || fail "rowmender sniff gave a wrong delimiter"
env -u PYTHONPATH "$command_path" repair in.csv out.csv --json >/dev/null || fail "rowmender repair failed"
[ "$(cat out.csv)" = "$(printf 'a;b\n1;\n2;3\n4;5')" ] || fail "rowmender repair wrote a wrong file"
# The wrapper pip writes passes main()'s return value to sys.exit: a file error must come out
# as exit status 1, as it does from `python -m rowmender`.
status=0
env -u PYTHONPATH "$command_path" repair missing.csv out.csv 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "a missing input gave exit status $status, not 1"
echo "the rowmender command runs"
