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

# The requirements of pyproject.toml at a dotted key (build-system.requires,
# project.dependencies, project.optional-dependencies.<extra>), one per line.
requirements() {
  "$PY" - "$ROOT/pyproject.toml" "$1" <<'EOF'
import sys, tomllib
node = tomllib.load(open(sys.argv[1], "rb"))
for key in sys.argv[2].split("."):
    node = node[key]
print("\n".join(node))
EOF
}

# What the installed build was made from: every file that goes into the wheel (tracked or new,
# ignored ones left out), the interpreter, and the settings that change how it compiles. The
# installed extension's own hash is part of the stamp, so a module installed by other means is
# never taken for ours.
source_stamp() {
  {
    "$PY" -c 'import sys; print(sys.version)'
    env | grep -E '^(CC|CXX|CFLAGS|CXXFLAGS|LDFLAGS|CMAKE_ARGS|SKBUILD_[A-Z_]*)=' | sort || true
    if git -C "$ROOT" rev-parse --is-inside-work-tree > /dev/null 2>&1; then
      (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard -- \
        CMakeLists.txt pyproject.toml README.md cmake src orvane_keldra |
        sort -z | xargs -0 -r sha256sum 2> /dev/null)
    else
      (cd "$ROOT" && find CMakeLists.txt pyproject.toml README.md cmake src orvane_keldra \
        -type f ! -name '*.pyc' -print0 | sort -z | xargs -0 -r sha256sum)
    fi
  } | sha256sum | cut -d' ' -f1
}

installed_extension_hash() {
  local so
  so="$(cd / && "$PY" -c 'import importlib.util as u; s = u.find_spec("orvane_keldra._native"); print(s.origin if s else "")' 2> /dev/null || true)"
  [ -n "$so" ] && [ -f "$so" ] && sha256sum "$so" | cut -d' ' -f1
}

# Installs the module with the given extras ("test", "demo"). When nothing it is built from has
# changed since the last install into this environment, only the extras' requirements are
# installed and the build is reused. Otherwise the build runs without isolation in its persistent
# build directory (pyproject.toml: build-dir), so that only changed sources compile again.
install_module() {  # $1: extras, e.g. "test" or "demo"
  local stamp_file="$VENV/.orvane_keldra-build" want have=""
  want="$(source_stamp)"
  [ -f "$stamp_file" ] && have="$(cat "$stamp_file")"
  if [ "$have" = "$want $(installed_extension_hash || true)" ]; then
    "$PY" -m pip install --quiet -r <(requirements project.dependencies &&
      requirements "project.optional-dependencies.$1")
    return
  fi
  rm -f "$stamp_file"
  # without isolation the build takes CMake and Ninja from this environment
  "$PY" -m pip install --quiet "cmake>=3.24" ninja -r <(requirements build-system.requires)
  "$PY" -m pip install --quiet --no-build-isolation "$ROOT[$1]"
  echo "$want $(installed_extension_hash)" > "$stamp_file"
}
