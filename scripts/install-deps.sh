#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and the machine lacks.
# Quiet and quick when everything is already there.
set -euo pipefail

# fsspec, dask and distributed are optional for users; the tests of repair_many's URLs and
# of its Dask road need them, and those of open_repaired read its stream with pandas. jinja2
# makes the HTML report; chromium shows it to the tests as a browser would.
packages=(g++ cmake ninja-build python3-dev python3-pytest python3-hypothesis python3-numpy python3-mypy
          python3-tqdm python3-zstandard python3-charset-normalizer python3-fsspec python3-dask
          python3-distributed python3-pandas python3-jinja2 chromium
          libgtest-dev libbenchmark-dev "$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
