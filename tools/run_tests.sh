#!/usr/bin/env bash
# The project's test command, from a fresh checkout.
#
#   bash tools/run_tests.sh          the everyday run (7 minutes measured on
#                                    two cores shared with other work):
#     build        one CMake build, GCC, Release, warnings as errors: the
#                  kernel, its GoogleTest tests and the abi3 wheel, all at once
#                  (the wheel's build is the one build);
#     kernel       the kernel tests through CTest;
#     pytest       the wheel with every optional dependency (the `test` extra)
#                  under the newest CPython found, with the newest NumPy 2.x.
#   bash tools/run_tests.sh --all    the everyday run, then the slow stages:
#     kernel-clang the kernel tests built by Clang, and bits_digest of both
#                  builds compared: a fixed set of layouts gives the same bits;
#     kernel-asan  the kernel tests under AddressSanitizer and UBSan;
#     kernel-tsan  the kernel tests under ThreadSanitizer (the worker pool);
#     python-asan  a wheel built with ASan and UBSan, and the Python suite (the
#                  fuzz suite included) run against it;
#     py310-numpy1 the everyday wheel under CPython 3.10 with NumPy 1.26.x.
#   Every digest the other builds print must match GCC's.
#
# The fuzz suite runs its derandomised profile, so every run tries the same
# examples. Installs what it needs: Debian packages (apt_packages below; Clang
# for the slow stages) when missing, Python packages into virtual environments
# under build/test-run. A test that needs another Debian package adds it to
# apt_packages; a Python package goes into the `test` extra of pyproject.toml.
# Each stage header shows the time since the start; the seconds each stage
# took, and the total, are written to build/test-run/stage-times.txt.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work="$root/build/test-run"
jobs=${JOBS:-2}
slow=""
case "${1:-}" in
  "") ;;
  --all) slow=yes ;;
  *)
    echo "usage: bash tools/run_tests.sh [--all]" >&2
    exit 2
    ;;
esac

# Debian packages the tests need, installed when missing.
# GoogleTest for the kernel tests; Chromium and its driver for the HTML
# view's browser tests.
apt_packages=(libgtest-dev chromium chromium-driver)

mkdir -p "$work"
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
started=$SECONDS
stage_started=$SECONDS
stage_name=""
: >"$work/stage-times.txt"

export TALLOW_FUZZ_PROFILE=ci

elapsed() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

log() { printf '\n=== %s (at %s)\n' "$*" "$(elapsed $((SECONDS - started)))"; }

# Records the running stage's seconds in stage-times.txt.
close_stage() {
  if [ -n "$stage_name" ]; then
    printf '%-20s %5d s\n' "$stage_name" $((SECONDS - stage_started)) >>"$work/stage-times.txt"
  fi
}

# Starts a named stage, closing the previous one.
stage() {
  close_stage
  stage_name=$1
  stage_started=$SECONDS
  log "$1: $2"
}

apt_updated=""
apt_install() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if [ -z "$apt_updated" ]; then
    $sudo apt-get update -qq >&2
    apt_updated=yes
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

# Installs those of the Debian packages given that are not installed yet.
ensure_apt_packages() {
  local package missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    log "installing ${missing[*]} from Debian's packages"
    apt_install "${missing[@]}"
  fi
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

# ---------------------------------------------------------------- builds

# Builds a wheel into $work/$2 with interpreter $1 and any further pip wheel
# options, keeping the CMake build tree in $work/$2-build.
build_wheel() {
  local python=$1 out="$work/$2"
  shift 2
  local venv="$work/venv-build"
  "$python" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  rm -rf "$out"
  "$venv/bin/python" -m pip wheel -q --no-deps -w "$out" -Cbuild-dir="$out-build" "$@" "$root"
  ls "$out"/tallow_forceatlas2-*-cp310-abi3-*.whl
}

# Configures and builds the kernel tests in $work/$1 with the further cmake
# arguments given, then runs them through CTest.
build_and_test_kernel() {
  local dir="$work/$1"
  shift
  cmake -S "$root" -B "$dir" -DTALLOW_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

# Runs bits_digest of build $1 and fails unless it prints what GCC's did.
compare_digest() {
  "$work/$1/tests/kernel/bits_digest" >"$work/digest-$1.txt"
  if ! diff -u "$work/digest-gcc.txt" "$work/digest-$1.txt"; then
    echo "bits_digest: the $1 build gives other bits than the GCC build (diff above)" >&2
    return 1
  fi
  echo "bits_digest: $1 gives the bits of the GCC build ($(wc -l <"$work/digest-$1.txt") layouts)"
}

# ---------------------------------------------------------------- Python

# Installs the wheel in $work/$4 with its test extras into a fresh venv
# $work/venv-$3, then imports it; extra arguments are environment settings for
# that import (an ASan build can only be imported with its runtime preloaded).
install_wheel() {
  local python=$1 numpy_spec=$2 name=$3 wheels="$work/$4"
  shift 4
  local venv="$work/venv-$name"
  "$python" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  local wheel
  wheel=$(ls "$wheels"/tallow_forceatlas2-*.whl)
  "$venv/bin/python" -m pip install -q "$numpy_spec" "${wheel}[test]"
  env "$@" "$venv/bin/python" -c "import numpy, tallow_forceatlas2; print('numpy', numpy.__version__)"
}

pytest_in() {
  local venv="$work/venv-$1"
  shift
  (cd "$work" && "$venv/bin/python" -m pytest -c "$root/pyproject.toml" --rootdir "$root" \
    "$root/tests/python" -q "$@")
}

# Installs the everyday wheel with its test extras into a fresh venv and runs
# pytest; further arguments go to pytest.
run_python_tests() {
  local python=$1 numpy_spec=$2 name=$3
  shift 3
  stage "pytest-$name" "pytest: $("$python" --version) with $numpy_spec"
  install_wheel "$python" "$numpy_spec" "$name" wheels
  pytest_in "$name" "$@"
}

# ---------------------------------------------------------------- everyday

everyday() {
  local python
  python=$(newest_python)
  stage build "kernel, kernel tests and abi3 wheel in one build (GCC, Release) with $python"
  ensure_apt_packages "${apt_packages[@]}"
  build_wheel "$python" wheels -Ccmake.define.TALLOW_BUILD_TESTS=ON \
    -Ccmake.define.TALLOW_WERROR=ON
  stage kernel "kernel tests through CTest"
  ctest --test-dir "$work/wheels-build" --output-on-failure -j "$jobs"
  "$work/wheels-build/tests/kernel/bits_digest" >"$work/digest-gcc.txt"
  stage pytest-newest "pytest: $("$python" --version) with the newest NumPy 2.x"
  install_wheel "$python" "numpy>=2" newest wheels
  pytest_in newest | tee "$work/pytest-newest.txt"
  # Every optional dependency is installed: a test skipped for a missing
  # module means the `test` extra lacks it.
  if grep -E "^SKIPPED .*could not import" "$work/pytest-newest.txt" >&2; then
    echo "optional packages are missing (skips above): add them to the test extra" >&2
    return 1
  fi
}

# ---------------------------------------------------------------- slow stages

# The kernel reports failures with std::source_location, which libstdc++ 12
# gives Clang from version 15 on.
clang_compiles_kernel() {
  printf '#include <source_location>\nint main() { return int(std::source_location::current().line()); }\n' |
    "$1" -std=c++20 -x c++ - -o /dev/null >/dev/null 2>&1
}

# Prints a clang++ that compiles the kernel, newest version first, or nothing.
find_clang() {
  local candidate
  for candidate in $(compgen -c clang++- | grep -E '^clang\+\+-[0-9]+$' | sort -t- -k2 -rn | uniq) clang++; do
    if command -v "$candidate" >/dev/null 2>&1 && clang_compiles_kernel "$candidate"; then
      echo "$candidate"
      return
    fi
  done
}

# Debian's clang package first; where it is too old (bookworm's is 14), the
# newest versioned clang-N the archive offers.
ensure_clang() {
  local found newest
  found=$(find_clang)
  if [ -z "$found" ]; then
    log "installing Clang (clang)" >&2
    apt_install clang
    found=$(find_clang)
  fi
  if [ -z "$found" ]; then
    newest=$(apt-cache search --names-only '^clang-[0-9]+$' | awk '{print $1}' | sort -t- -k2 -n | tail -n 1)
    log "clang is too old for std::source_location: installing $newest" >&2
    apt_install "$newest"
    found=$(find_clang)
  fi
  if [ -z "$found" ]; then
    echo "no clang++ that compiles the kernel could be installed" >&2
    return 1
  fi
  echo "$found"
}

# Leak checking is on for the kernel tests: they are plain C++.
asan_options=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
ubsan_options=print_stacktrace=1:halt_on_error=1

run_slow_kernel_tests() {
  stage kernel-clang "kernel tests built by Clang, through CTest; bits compared with GCC"
  local clang
  clang=$(ensure_clang)
  echo "using $clang ($("$clang" --version | head -n 1))"
  # Warnings only: Clang's -Wconversion also checks signedness, which GCC's
  # does not; the gate here is the bits.
  CXX=$clang build_and_test_kernel kernel-clang -DTALLOW_WERROR=OFF -DCMAKE_BUILD_TYPE=Release
  compare_digest kernel-clang

  stage kernel-asan "kernel tests with AddressSanitizer and UBSan, through CTest"
  ASAN_OPTIONS=$asan_options UBSAN_OPTIONS=$ubsan_options \
    build_and_test_kernel kernel-asan -DTALLOW_WERROR=ON -DTALLOW_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
  ASAN_OPTIONS=$asan_options UBSAN_OPTIONS=$ubsan_options compare_digest kernel-asan

  stage kernel-tsan "kernel tests with ThreadSanitizer, through CTest"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    build_and_test_kernel kernel-tsan -DTALLOW_WERROR=ON -DTALLOW_TSAN=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
  TSAN_OPTIONS=halt_on_error=1 compare_digest kernel-tsan
}

# The whole Python suite against a wheel built with ASan and UBSan. The
# interpreter is not instrumented, so the ASan runtime is preloaded, with
# libstdc++ (without it every C++ throw aborts); PYTHONMALLOC=malloc routes
# Python objects through ASan's allocator, so that the module's use of a
# freed object is caught. Leak checking is off: the interpreter keeps memory
# to its exit by design. A failed malloc returns null (NumPy then raises
# MemoryError), but ASan's operator new aborts instead of throwing
# std::bad_alloc, so the one test that needs the kernel's allocation to fail
# is left out. Reports go to files, which pytest's capture cannot swallow.
run_sanitized_python_tests() {
  local python=$1
  stage python-asan "Python tests against a wheel built with ASan and UBSan"
  build_wheel "$python" wheels-asan -Ccmake.define.TALLOW_SANITIZE=ON \
    -Ccmake.build-type=RelWithDebInfo
  local preload
  preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
  install_wheel "$python" "numpy>=2" asan wheels-asan LD_PRELOAD="$preload" \
    ASAN_OPTIONS=detect_leaks=0
  local reports="$work/sanitizer-reports"
  rm -rf "$reports"
  mkdir -p "$reports"
  local status=0
  LD_PRELOAD="$preload" \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="$ubsan_options:log_path=$reports/ubsan" \
    PYTHONMALLOC=malloc TALLOW_FUZZ_TRACE="$reports/last-fuzz-example.txt" \
    pytest_in asan -p no:cacheprovider \
    -k "not (test_huge_node_counts_fail_cleanly and allocated)" || status=$?
  if compgen -G "$reports/[au]*san.*" >/dev/null; then
    echo "sanitizer reports:" >&2
    cat "$reports"/[au]*san.* >&2
  fi
  if [ "$status" -ne 0 ] && [ -f "$reports/last-fuzz-example.txt" ]; then
    echo "last fuzz example tried: $(head -c 4000 "$reports/last-fuzz-example.txt")" >&2
  fi
  return "$status"
}

slow_stages() {
  run_slow_kernel_tests
  run_sanitized_python_tests "$(newest_python)"
  local python310
  python310=$(find_python 3.10)
  if [ -n "$python310" ]; then
    run_python_tests "$python310" "numpy>=1.26,<2" py310-numpy1
  else
    log "no CPython 3.10 found: skipping the NumPy 1.x run"
  fi
}

everyday
if [ -n "$slow" ]; then
  slow_stages
fi
close_stage
printf '%-20s %5d s\n' total $((SECONDS - started)) >>"$work/stage-times.txt"
cat "$work/stage-times.txt"
printf '\n=== all tests passed\n'
