#!/usr/bin/env bash
# Installs the x86_64 wheel from tools/wheel.sh into a fresh venv and runs the test suite against
# that installation, as a user of the wheel would have it.
#
# Usage: bash tools/wheel_test.sh [DIST_DIR] [extra pytest arguments]   (DIST_DIR: dist/)
# Left out: the wheel-building tests (marked slow; a built wheel is what is under test) and the
# ones that drive the C++ test program (not part of a wheel; tools/test.sh runs them).
# The aarch64 wheel is checked under qemu by `bash tools/cross_test.sh aarch64-wheel`.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIST="$(realpath -m "${1:-$ROOT/dist}")"
shift || true
wheel="$(ls "$DIST"/orvane_keldra-*-manylinux*_x86_64*.whl | tail -n 1)"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
python3 -m venv "$WORK/venv"
PY="$WORK/venv/bin/python"
"$PY" -m pip install -q --disable-pip-version-check "$wheel[test]"
cd "$WORK"
"$PY" -I "$ROOT/tools/wheel_smoke.py"
PYTHONSAFEPATH=1 "$PY" -m pytest -q -p no:cacheprovider "$ROOT/tests" -m "not slow" \
  --ignore="$ROOT/tests/test_native.py" \
  -k "not test_native_digests_do_not_depend_on_the_worker_count" "$@"
