#!/usr/bin/env bash
# Runs every test of the project from a fresh checkout: the GoogleTest kernel
# tests through CTest, then one built wheel under two interpreters with pytest:
# CPython 3.10 with the newest NumPy 1.26.x, and the newest CPython found with
# the newest NumPy 2.x. Installs what it needs (GoogleTest from Debian's
# packages when missing; Python packages into virtual environments under build/).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work="$root/build/test-run"
jobs=${JOBS:-2}
mkdir -p "$work"

log() { printf '\n=== %s\n' "$*"; }

ensure_gtest() {
  if [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; then
    return
  fi
  log "installing GoogleTest (libgtest-dev)"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev >/dev/null
}

# Prints the path of a working interpreter for version $1 (e.g. 3.10), or nothing.
find_python() {
  local version=$1 candidate
  for candidate in "python$version" "$(pyenv root 2>/dev/null)"/versions/"$version".*/bin/"python$version"; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c "import venv" >/dev/null 2>&1; then
      command -v "$candidate"
      return
    fi
  done
}

newest_python() {
  local minor found
  for minor in 14 13 12 11; do
    found=$(find_python "3.$minor")
    if [ -n "$found" ]; then
      echo "$found"
      return
    fi
  done
  command -v python3
}

run_kernel_tests() {
  log "kernel: build and CTest"
  ensure_gtest
  cmake -S "$root" -B "$work/kernel" -DTALLOW_BUILD_TESTS=ON -DTALLOW_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$work/kernel" -j "$jobs"
  ctest --test-dir "$work/kernel" --output-on-failure -j "$jobs"
}

build_wheel() {
  log "building the abi3 wheel with $1"
  local venv="$work/venv-build"
  "$1" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  rm -rf "$work/wheels"
  "$venv/bin/python" -m pip wheel -q --no-deps -w "$work/wheels" "$root"
  ls "$work/wheels"/tallow_forceatlas2-*-cp310-abi3-*.whl
}

# Installs the built wheel with its test extras into a fresh venv and runs pytest.
run_python_tests() {
  local python=$1 numpy_spec=$2 name=$3
  local venv="$work/venv-$name"
  log "pytest: $("$python" --version) with $numpy_spec"
  "$python" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  local wheel
  wheel=$(ls "$work/wheels"/tallow_forceatlas2-*.whl)
  "$venv/bin/python" -m pip install -q "$numpy_spec" "${wheel}[test]"
  "$venv/bin/python" -c "import numpy, tallow_forceatlas2; print('numpy', numpy.__version__)"
  (cd "$work" && "$venv/bin/python" -m pytest -c "$root/pyproject.toml" --rootdir "$root" "$root/tests/python" -q)
}

run_kernel_tests
python310=$(find_python 3.10)
newest=$(newest_python)
build_wheel "${python310:-$newest}"
if [ -n "$python310" ]; then
  run_python_tests "$python310" "numpy>=1.26,<2" py310-numpy1
else
  log "no CPython 3.10 found: skipping the NumPy 1.x run"
fi
run_python_tests "$newest" "numpy>=2" newest-numpy2
log "all tests passed"
