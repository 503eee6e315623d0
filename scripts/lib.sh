# Shared by the scripts: installing what is missing, checking that every
# outside command a script calls is there, finding CPython, building.
# Source it from the repository root.

# Debian packages every script may need.  The libFuzzer and sanitizer
# runtimes of clang come in their own package: libclang-rt-14-dev for
# Debian 12's clang 14 (pl_apt_setup adds the one of another clang version).
PL_APT_PACKAGES=(g++ make pkg-config git rapidjson-dev libcurl4-openssl-dev libgtest-dev libssl-dev
                 clang libclang-rt-14-dev clang-format curl strace binutils php-cli fdisk
                 util-linux)
command -v cmake >/dev/null 2>&1 || PL_APT_PACKAGES+=(cmake)

# The package that brings each outside command the scripts call.
declare -A PL_TOOL_PACKAGE=(
  [g++]=g++ [gcc]=gcc [make]=make [pkg-config]=pkg-config [git]=git [cmake]=cmake
  [clang]=clang [clang++]=clang [clang-format]=clang-format [curl]=curl [strace]=strace
  [nm]=binutils [strings]=binutils [php]=php-cli [fdisk]=fdisk [unshare]=util-linux
  [setpriv]=util-linux [valgrind]=valgrind [gcov]=gcc
)

# Commands each script calls (scripts/test also runs the demo and the fuzz
# targets, so it needs theirs).
PL_TOOLS_BUILD=(g++ gcc make cmake pkg-config)
PL_TOOLS_DEMO=("${PL_TOOLS_BUILD[@]}" php fdisk)
PL_TOOLS_FUZZ=("${PL_TOOLS_BUILD[@]}" clang clang++)
PL_TOOLS_TEST=("${PL_TOOLS_DEMO[@]}" clang clang++ clang-format git curl strace nm strings unshare
               setpriv)
# Python packages of the benchmarks (bench/run), import name:package.
PL_PIP_BENCH=(cryptography:cryptography orjson:orjson)

pl_log() { printf '==> %s\n' "$*" >&2; }

# Stops the script with one line.
pl_die() {
  printf '%s: %s\n' "${0#"$PWD"/}" "$*" >&2
  exit 1
}

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

# The Debian package holding clang's runtime libraries (libFuzzer, the
# sanitizers) for the clang installed: libclang-rt-<major>-dev.
pl_clang_rt_package() {
  local major
  major=$(clang -dumpversion 2>/dev/null | cut -d. -f1)
  [ -n "$major" ] && echo "libclang-rt-$major-dev"
}

# Installs the common packages (and any extra ones given), then clang's
# runtime libraries.
pl_apt_setup() {
  pl_apt_install "${PL_APT_PACKAGES[@]}" "$@"
  local rt
  rt=$(pl_clang_rt_package || true)
  [ -n "$rt" ] && pl_apt_install "$rt"
  return 0
}

# After the install step: stops at once, with one line naming the command
# and its package, when a command the script will call is missing.
pl_require_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 ||
      pl_die "the command '$tool' is missing after the install step: add the Debian package" \
        "'${PL_TOOL_PACKAGE[$tool]:-?}' to PL_APT_PACKAGES in scripts/lib.sh"
  done
}

# The same for files the build needs (headers, runtime libraries); pairs of
# path:package.
pl_require_files() {
  local pair
  for pair in "$@"; do
    [ -e "${pair%%:*}" ] ||
      pl_die "'${pair%%:*}' is missing after the install step: add the Debian package" \
        "'${pair#*:}' to PL_APT_PACKAGES in scripts/lib.sh"
  done
}

# Headers of the libraries the module builds with.
pl_require_module_headers() {
  pl_require_files /usr/include/rapidjson/document.h:rapidjson-dev \
    "$(pl_curl_header):libcurl4-openssl-dev"
}

pl_curl_header() {
  local dir
  for dir in /usr/include /usr/include/x86_64-linux-gnu; do
    [ -e "$dir/curl/curl.h" ] && { echo "$dir/curl/curl.h"; return; }
  done
  echo /usr/include/curl/curl.h
}

# clang's libFuzzer and sanitizer runtimes (clang prints the bare name when
# it has no such file).
pl_require_clang_runtimes() {
  local rt lib path
  rt=$(pl_clang_rt_package || echo libclang-rt-dev)
  for lib in libclang_rt.fuzzer-x86_64.a libclang_rt.asan-x86_64.a libclang_rt.ubsan_standalone-x86_64.a; do
    path=$(clang -print-file-name="$lib")
    pl_require_files "$path:$rt"
  done
}

# Prints the path of the newest CPython of the version given (3.12 when
# none is given) under pyenv, or of python<version> on the search path.
pl_find_python() {
  local version=${1:-3.12}
  local root=""
  if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root 2>/dev/null || true); fi
  [ -n "$root" ] || root="${PYENV_ROOT:-$HOME/.pyenv}"
  local best
  best=$(ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V | tail -n 1)
  if [ -n "$best" ]; then echo "$best"; return; fi
  if command -v "python$version" >/dev/null 2>&1; then command -v "python$version"; return; fi
  echo "no CPython $version found (looked under $root/versions)" >&2
  return 1
}

# Prints the path of the interpreter to build for: $PL_PYTHON (CPython 3.12
# or 3.13), else the newest CPython 3.12.
pl_python() {
  if [ -n "${PL_PYTHON:-}" ]; then echo "$PL_PYTHON"; return; fi
  pl_find_python 3.12
}

# "3.12", "3.13": the version of an interpreter.
pl_python_version() {
  "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

# Installs the PyPI packages given (module:package pairs) into the
# interpreter when their module cannot be imported, then checks that each
# imports.
pl_pip_install() {
  local py=$1
  shift
  local missing=()
  local pair
  for pair in "$@"; do
    "$py" -c "import ${pair%%:*}" 2>/dev/null || missing+=("${pair#*:}")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    pl_log "installing Python packages: ${missing[*]}"
    "$py" -m pip install -q --disable-pip-version-check "${missing[@]}"
  fi
  for pair in "$@"; do
    "$py" -c "import ${pair%%:*}" 2>/dev/null ||
      pl_die "the Python module '${pair%%:*}' is missing after the install step: add the" \
        "PyPI package '${pair#*:}'"
  done
}

# The secrets a test, demo or bench build is made with: a file of three
# random lines, written once per checkout outside the build directories (so
# that no build output holds them) and readable by its owner only.
pl_test_secrets() {
  local py=$1 file=$2
  if [ ! -s "$file" ]; then
    mkdir -p "$(dirname "$file")"
    "$py" tests/make_secrets.py "$file"
  fi
  echo "$PWD/$file"
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
