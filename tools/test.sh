#!/usr/bin/env bash
# Builds the module into .venv, builds the C++ tests of the core, and runs every test.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
install_module test
NATIVE_BUILD="$ROOT/build/native-tests"
cmake -S "$ROOT" -B "$NATIVE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DORVANE_BUILD_NATIVE_TESTS=ON -DPython_EXECUTABLE="$PY" > /dev/null
cmake --build "$NATIVE_BUILD" --target orvane_native_tests
export ORVANE_NATIVE_TESTS="$NATIVE_BUILD/orvane_native_tests"
cd "$ROOT"
# the source folder orvane_keldra/ holds no extension: never let the working directory shadow the
# installed package, in this process or in the ones the tests start
export PYTHONSAFEPATH=1
"$PY" -m pytest "$@"
