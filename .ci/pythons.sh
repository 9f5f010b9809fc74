# Interpreter lookup shared by ./dev, .ci/run and .ci/lint (sourced; the
# sourcing script defines die).

pyenv_root() { command -v pyenv >/dev/null && pyenv root || echo "${PYENV_ROOT:-$HOME/.pyenv}"; }

# Newest pyenv interpreter of version $1 (e.g. 3.8), empty if none.
pyenv_python() {
  ls -d "$(pyenv_root)/versions/$1".*/bin/python 2>/dev/null | sort -V | tail -n1 || true
}

# $PLEXOR_PYTHON, else the newest pyenv 3.8, else python3.8 on PATH.
find_python() {
  if [[ -n "${PLEXOR_PYTHON:-}" ]]; then echo "$PLEXOR_PYTHON"; return; fi
  local py; py="$(pyenv_python 3.8)"
  [[ -n "$py" ]] || py="$(command -v python3.8 || true)"
  [[ -n "$py" ]] || die "no Python 3.8 found; set PLEXOR_PYTHON"
  echo "$py"
}
