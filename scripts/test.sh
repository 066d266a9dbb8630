#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: in a release build and in a build
# with the address and undefined-behaviour sanitizers. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

jobs=${VELM_JOBS:-2}
status=0

# Every tracked C++ source as .clang-format lays it out: the formatter changes nothing.
echo "=== format check"
if ! git rev-parse --git-dir >/dev/null 2>&1; then
  echo "test.sh: not a git checkout, the format check needs the tracked files: skipped"
elif ! git ls-files -z '*.h' '*.cpp' | xargs -0 clang-format-14 --dry-run --Werror; then
  echo "test.sh: run: git ls-files -z '*.h' '*.cpp' | xargs -0 clang-format-14 -i"
  status=1
fi

run_build() {
  local dir=$1; shift
  echo "=== configure $dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVELM_BUILD_BENCH=OFF "$@"
  echo "=== build $dir"
  cmake --build "$dir" -j "$jobs"
  echo "=== test $dir"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_build build/release || status=1
# The Python module is built and tested with the release build (its tests run in CTest there).
if ! ls build/release/python/velm/_velm*.so >/dev/null 2>&1; then
  echo "test.sh: the Python module was not built"
  status=1
fi
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build build/sanitize -DVELM_SANITIZE=ON -DVELM_PYTHON=OFF || status=1

if [ -x scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh || status=1
fi

if [ $status -ne 0 ]; then
  echo "test.sh: FAILED"
else
  echo "test.sh: all builds and tests passed"
fi
exit $status
