#!/usr/bin/env bash
# Builds the module and the C++ tests with clang 14 and LLVM's libc++ (as on systems whose C++
# library is not GCC's), warnings as errors, then runs the C++ tests of that build.
#
# Usage: bash tools/clang_libcxx.sh   (as root on Debian 12 it installs clang-14 and libc++ itself)
# Run tools/test.sh first on a fresh clone: it makes .venv with CMake, Ninja and scipy-openblas32.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/clang14-libcxx"
start=$SECONDS
missing=()
for p in clang-14 libc++-14-dev libc++abi-14-dev; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
PY="$ROOT/.venv/bin/python"
[ -x "$PY" ] || PY="$(command -v python3)"
export PATH="$(dirname "$PY"):$PATH"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_FLAGS="-stdlib=libc++" \
  -DCMAKE_EXE_LINKER_FLAGS="-stdlib=libc++" -DCMAKE_MODULE_LINKER_FLAGS="-stdlib=libc++" \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DORVANE_BUILD_NATIVE_TESTS=ON \
  -DPython_EXECUTABLE="$PY" > /dev/null
cmake --build "$BUILD" --target _native orvane_native_tests
# both really use libc++
for f in "$BUILD/orvane_native_tests" "$BUILD/package/orvane_keldra/"_native*.so; do
  # read ldd's whole answer first: grep -q may stop early, and pipefail would count ldd's SIGPIPE
  libs="$(ldd "$f")"
  [[ "$libs" == *"libc++.so"* ]] || { echo "$f does not use libc++" >&2; exit 1; }
done
"$BUILD/orvane_native_tests"
echo "clang 14 + libc++: built and C++ tests run ($((SECONDS - start)) s)"
