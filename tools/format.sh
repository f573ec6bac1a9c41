#!/usr/bin/env bash
# Formats the C++ (clang-format, .clang-format) and the Python (ruff, pyproject.toml) of the tree.
# `--check` changes nothing and fails when a file is not formatted or ruff's checks find a fault.
# The tools are pinned, in a virtual environment of their own, so that every machine agrees.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ORVANE_FORMAT_VENV:-$ROOT/build/format-venv}"
if [ ! -x "$VENV/bin/ruff" ] || [ ! -x "$VENV/bin/clang-format" ]; then
  python3 -m venv "$VENV"
  "$VENV/bin/python" -m pip install --quiet "clang-format==18.1.8" "ruff==0.8.6"
fi
cd "$ROOT"
mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp' '*.inc' '*.h')
if [ "${1:-}" = "--check" ]; then
  "$VENV/bin/clang-format" --dry-run --Werror "${cxx[@]}"
  "$VENV/bin/ruff" format --check --quiet .
  "$VENV/bin/ruff" check --quiet .
else
  "$VENV/bin/clang-format" -i "${cxx[@]}"
  "$VENV/bin/ruff" format --quiet .
  "$VENV/bin/ruff" check --quiet --fix .
fi
