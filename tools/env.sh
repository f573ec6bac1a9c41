# Sourced by the other scripts: a project virtual environment with the module installed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${ORVANE_VENV:-$ROOT/.venv}"
if [ ! -x "$VENV/bin/python" ]; then
  python3 -m venv "$VENV"
  "$VENV/bin/python" -m pip install --quiet --upgrade pip
fi
PY="$VENV/bin/python"
export PATH="$VENV/bin:$PATH"
install_module() {  # $1: extras, e.g. "test" or "demo"
  "$PY" -m pip install --quiet "$ROOT[$1]"
}
