#!/usr/bin/env bash
# Builds the module and the C++ tests with AddressSanitizer + UndefinedBehaviorSanitizer into
# build/asan, runs the C++ tests and the pytest suite against that build, then a LeakSanitizer pass
# over every class. Any sanitizer report fails the script.
#
# Usage: bash tools/sanitize.sh [extra pytest arguments]
# Run tools/test.sh first on a fresh clone: it makes .venv with pytest, NumPy, CMake and Ninja.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/asan"
if [ -x "$ROOT/.venv/bin/python" ]; then
  PY="$ROOT/.venv/bin/python"
  export PATH="$ROOT/.venv/bin:$PATH"
else
  PY="$(command -v python3)"
fi
# The interpreter itself, not a launcher script: the sanitizer runtime is preloaded into it.
PY="$("$PY" -c 'import sys; print(sys.executable)')"
start=$SECONDS
# the source folder orvane_keldra/ holds no extension and must not shadow the build's package
export PYTHONSAFEPATH=1

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_SANITIZE=ON \
  -DORVANE_BUILD_NATIVE_TESTS=ON -DPython_EXECUTABLE="$PY" > /dev/null
cmake --build "$BUILD" --target _native orvane_native_tests

# Every report ends its process with a non-zero status (ASan always, UBSan by halt_on_error,
# LSan at exit), which fails the step that ran it.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# The interpreter is not built with ASan, so the runtime is preloaded; libstdc++ with it, because
# ASan resolves the C++ exception interceptors only at start-up.
PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"

failed=0
echo "== C++ tests (ASan, UBSan, LSan)"
ASAN_OPTIONS="detect_leaks=1" "$BUILD/orvane_native_tests" || failed=1

# Left out under sanitizers:
#  - the resident-memory leak tests: ASan's quarantine keeps freed memory resident by design
#    (the LeakSanitizer pass below covers leaks instead);
#  - the address-space limit tests (memory, pool start-up): ASan reserves terabytes of shadow
#    address space, and its operator new aborts on exhausted memory instead of throwing;
#  - tests marked slow (the wheel build and install): they build and test an uninstrumented wheel;
#  - the Ray tests and the README block that starts a cluster: Ray's own server processes inherit
#    the preloaded runtime and, on a two-core machine, sometimes miss their start-up deadline;
#    they run in the uninstrumented pass.
# --capture=sys leaves file descriptor 2 alone, so a report that kills the pytest process itself
# is not lost with its captured output; the module's own panic reports are filtered out.
echo "== pytest against build/asan"
LD_PRELOAD="$PRELOAD" ASAN_OPTIONS="detect_leaks=0" \
  PYTHONPATH="$BUILD/package" ORVANE_NATIVE_TESTS="$BUILD/orvane_native_tests" \
  "$PY" -m pytest -q -p no:cacheprovider --capture=sys "$ROOT/tests" -m "not slow" \
  --ignore="$ROOT/tests/test_distributed.py" --ignore="$ROOT/tests/test_distributed_selection.py" \
  -k "not repeated_calls_do_not_grow_memory and not beyond_the_address_space and not threads_it_can_get and not starts_ray_cluster" \
  "$@" 2>&1 | { grep -v -E '^(orvane_keldra: internal failure in | +left: 0$| +right: 0$)' || true; } \
  || failed=1

# Leaks at exit. CPython, NumPy, the dynamic loader and OpenBLAS keep allocations until the
# process ends by design; they are suppressed by the functions and libraries that make them.
# LSan matches a suppression against every frame of a leak's stack, and our frames always sit on
# an interpreter frame (type_call, cfunction_call, ...), so nothing here may name libpython or
# the interpreter's call path, or a leak made by our module would be hidden too.
SUPP="$BUILD/lsan.supp"
cat > "$SUPP" <<'EOF'
leak:_PyObject_Malloc
leak:_PyObject_Realloc
leak:_PyObject_GC_Resize
leak:pymalloc_realloc
leak:PyMem_Raw
leak:PyThread_allocate_lock
leak:resize_compact
leak:list_resize
leak:_multiarray_umath
leak:_multiarray_tests
leak:numpy/linalg
leak:numpy/random
leak:libscipy_openblas
leak:add_name_to_object
leak:_dl_new_object
leak:_dl_map_object
EOF
echo "== LeakSanitizer pass over every class"
# use_tls=0: this LSan build crashes ("Tracer caught signal 11") scanning the dynamic TLS of the
# worker threads of a dlopen'ed module; thread-local storage holds no pointers of ours.
LD_PRELOAD="$PRELOAD" ASAN_OPTIONS="detect_leaks=1" \
  LSAN_OPTIONS="suppressions=$SUPP:print_suppressions=0:use_tls=0" \
  PYTHONPATH="$BUILD/package:$ROOT/tests" \
  "$PY" "$ROOT/tests/sanitizer_smoke.py" 2> >(grep -v -E '^(orvane_keldra: internal failure in | +left: 0$| +right: 0$)' >&2) \
  || failed=1

if [ "$failed" != 0 ]; then
  echo "sanitizers: FAILED ($((SECONDS - start)) s)" >&2
  exit 1
fi
echo "sanitizers: no reports ($((SECONDS - start)) s)"
