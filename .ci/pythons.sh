# The interpreters the module supports, and their lookup; shared by ./dev,
# .ci/run, .ci/lint, .ci/ruff and .ci/debian-root.sh (sourced; find_python
# needs the sourcing script's die).

# CPython from pyenv, by version; the first is the primary interpreter.
PYENV_VERSIONS=(3.8 3.9 3.10 3.11 3.12 3.13)
# CPython of the Debian root (.ci/debian-root.sh), by command; a trailing "d"
# marks a debug build, which has no release wheel.
ROOT_PYTHONS=(python3.14 python3.15 python3.14d)
# Free-threaded CPython, by command, used where one is on PATH (no package
# offers one: it is built from CPython's sources); and the same built with
# ThreadSanitizer, for ./dev tsan.
FREE_THREADED_PYTHON=python3.14t
TSAN_PYTHON=python3.14t-tsan

pyenv_root() { command -v pyenv >/dev/null && pyenv root || echo "${PYENV_ROOT:-$HOME/.pyenv}"; }

# Newest pyenv interpreter of version $1 (e.g. 3.8), empty if none.
pyenv_python() {
  ls -d "$(pyenv_root)/versions/$1".*/bin/python 2>/dev/null | sort -V | tail -n1 || true
}

# $PLEXOR_PYTHON, else the newest pyenv interpreter of the primary version, else
# that version's command on PATH (python3.8, say).
find_python() {
  if [[ -n "${PLEXOR_PYTHON:-}" ]]; then echo "$PLEXOR_PYTHON"; return; fi
  local version=${PYENV_VERSIONS[0]} py; py="$(pyenv_python "$version")"
  [[ -n "$py" ]] || py="$(command -v "python$version" || true)"
  [[ -n "$py" ]] || die "no Python $version found; set PLEXOR_PYTHON"
  echo "$py"
}
