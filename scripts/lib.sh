# Shared by scripts/test and scripts/demo: installing what is missing and
# finding CPython 3.12.  Source it from the repository root.

PL_APT_PACKAGES=(g++ make pkg-config rapidjson-dev libcurl4-openssl-dev libgtest-dev libssl-dev
                 clang-format curl strace binutils php-cli)
command -v cmake >/dev/null 2>&1 || PL_APT_PACKAGES+=(cmake)

pl_log() { printf '==> %s\n' "$*" >&2; }

pl_sudo() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages given that are not installed yet.
pl_apt_install() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  pl_log "installing Debian packages: ${missing[*]}"
  pl_sudo apt-get update -qq
  pl_sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# Prints the path of a CPython 3.12 interpreter.
pl_python() {
  if [ -n "${PL_PYTHON:-}" ]; then echo "$PL_PYTHON"; return; fi
  local root=""
  if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root 2>/dev/null || true); fi
  [ -n "$root" ] || root="${PYENV_ROOT:-$HOME/.pyenv}"
  local best
  best=$(ls -d "$root"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V | tail -n 1)
  if [ -n "$best" ]; then echo "$best"; return; fi
  if command -v python3.12 >/dev/null 2>&1; then command -v python3.12; return; fi
  echo "no CPython 3.12 found (looked under $root/versions)" >&2
  return 1
}

# Installs the PyPI packages given (module:package pairs) into the 3.12
# interpreter when their module cannot be imported.
pl_pip_install() {
  local py=$1
  shift
  local missing=()
  local pair
  for pair in "$@"; do
    "$py" -c "import ${pair%%:*}" 2>/dev/null || missing+=("${pair#*:}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  pl_log "installing Python packages: ${missing[*]}"
  "$py" -m pip install -q --disable-pip-version-check "${missing[@]}"
}

# Configures (when needed) and builds one build directory; extra arguments
# are CMake cache settings.
pl_build() {
  local dir=$1
  shift
  local py
  py=$(pl_python)
  cmake -S . -B "$dir" -DPython3_EXECUTABLE="$py" "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)" >&2
}
