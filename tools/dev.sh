#!/usr/bin/env bash
# Developer entry point for a fresh machine.
#   bash tools/dev.sh demo   set everything up, then run the demo
#   bash tools/dev.sh test   set everything up, then run every test (native and Python)
#   bash tools/dev.sh setup  set everything up only
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
VENV=${TAVOL_VENV:-$ROOT/.venv}
PY=$VENV/bin/python
JOBS=$(nproc 2>/dev/null || echo 2)

DEBIAN_PACKAGES=(g++ pkg-config libsndfile1-dev libsoxr-dev portaudio19-dev
                 libgtest-dev espeak-ng clang-format)

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
  echo "[setup] building and installing tavol"
  "$PY" -m pip install -q ".[test,metrics,audio]"
}

format_check() {
  # clang-format keeps the C++ style; a file out of style fails the run.
  git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror
}

native_tests() {
  # Plain build, then the same tests under AddressSanitizer + UndefinedBehaviorSanitizer,
  # then the threading primitives under ThreadSanitizer.
  local dir
  for config in "plain:" "asan:address,undefined" "tsan:thread"; do
    dir=build/native-${config%%:*}
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOL_BUILD_PYTHON=OFF \
      -DTAVOL_BUILD_TESTS=ON -DTAVOL_SANITIZE="${config#*:}" >/dev/null
    cmake --build "$dir" -j "$JOBS"
    if [ "${config%%:*}" = tsan ]; then
      # TSan covers the code that shares memory between threads.
      (cd "$dir" && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -R 'WorkerPool|Arena|Semaphore|Fifo|Cache|MixRenderer')
    else
      (cd "$dir" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j "$JOBS")
    fi
  done
}

python_tests() {
  # Run from tests/ so the installed package, not the source folder, is imported.
  (cd tests && MPLBACKEND=Agg "$PY" -m pytest -c ../pyproject.toml --rootdir .. python "$@")
}

case "${1:-}" in
  setup) setup ;;
  demo) setup; MPLBACKEND=Agg "$PY" examples/demo.py ;;
  test) setup; shift; format_check; native_tests; python_tests "$@" ;;
  *) echo "usage: bash tools/dev.sh {demo|test|setup}" >&2; exit 2 ;;
esac
