#!/usr/bin/env bash
# Builds the module into .venv and runs the demo on scikit-learn's digits.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
install_module demo
"$PY" "$ROOT/examples/demo.py" "$@"
