# Shared by the scripts in this folder: finding interpreters, system
# packages, and one virtual environment per interpreter with the module
# installed from this tree.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

log() { printf '==> %s\n' "$*" >&2; }

# Installs the Debian packages that are missing, each named once (apt-get
# update first).
ensure_debian_packages() {
  local missing=()
  for package in "$@"; do
    [[ " ${missing[*]} " == *" $package "* ]] && continue
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Prints the path of a Python of the given minor version (3.12, 3.13), or
# nothing: pyenv's versions first, then the PATH.
find_python() {
  local version=$1 candidate
  local pyenv_root
  pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for candidate in "$pyenv_root"/versions/"$version".*/bin/python"$version" \
                   "$(command -v "python$version" 2>/dev/null)"; do
    if [ -x "$candidate" ] && "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  provision_python "$version"
}

# The interpreters to use: $PYTHON alone when set, else every one of the
# given versions that is found. Prints one path a line; on failure says why
# in one sentence and returns 2.
select_pythons() {
  if [ -n "${PYTHON:-}" ]; then
    local path version
    if ! path=$(command -v "$PYTHON" 2>/dev/null) || [ -z "$path" ]; then
      log "PYTHON=$PYTHON names no executable program (not on the PATH, or not executable); set PYTHON to a Python 3.12 or later, or unset it to search pyenv and the PATH."
      return 2
    fi
    if ! version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) ||
        [ -z "$version" ]; then
      log "PYTHON=$PYTHON ($path) does not run (an inactive pyenv shim?); set PYTHON to a Python 3.12 or later, or unset it to search pyenv and the PATH."
      return 2
    fi
    if ! "$PYTHON" -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null; then
      log "PYTHON=$PYTHON is Python $version, older than the 3.12 this project needs; set PYTHON to a Python 3.12 or later."
      return 2
    fi
    echo "$path"
    return 0
  fi
  local found=0
  for version in "$@"; do
    if find_python "$version"; then found=1; else log "Python $version not found"; fi
  done
  [ "$found" -eq 1 ] ||
    { log "no Python 3.12 or later was found under pyenv or on the PATH; install one or set PYTHON to it."; return 2; }
}

# $PYTHON when set, else the first of 3.12 and 3.13 found: the interpreter
# that carries the build tools.
first_python() {
  if [ -n "${PYTHON:-}" ]; then select_pythons; return; fi
  find_python 3.12 || find_python 3.13 ||
    { log "neither Python 3.12 nor 3.13 was found under pyenv or on the PATH; install one or set PYTHON to it."; return 2; }
}

# Fills the array `pythons` from select_pythons, or ends the script with
# status 2 (its message already printed).
choose_pythons() {
  local listing
  listing=$(select_pythons "$@") || exit 2
  mapfile -t pythons <<<"$listing"
}

# MAJOR.MINOR of an interpreter, with a "t" for a free-threaded build
# (3.14t), which needs venvs and build trees of its own.
python_version() {
  "$1" -c 'import sys, sysconfig
print("%d.%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))'
}

# Creates (once) $ROOT/.venv/<name> from the interpreter, with the build
# tools and the given extra packages, and prints its python.
make_venv() {
  local python=$1 name=$2
  shift 2
  local venv="$ROOT/.venv/$name"
  if [ ! -x "$venv/bin/python" ]; then
    log "creating $venv"
    "$python" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.11" cmake ninja "$@" >&2
  echo "$venv/bin/python"
}

# Builds and installs the module from this tree into a venv; the build
# directory is kept so rebuilds are incremental. Extra arguments are CMake
# definitions (NAME=VALUE).
install_module() {
  local python=$1 build_name=$2
  shift 2
  local defines=()
  for define in "$@"; do defines+=("-Ccmake.define.$define"); done
  log "building the module into $(dirname "$(dirname "$python")") ($build_name)"
  "$python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -Cbuild-dir="$ROOT/build/$build_name" "${defines[@]}" "$ROOT" >&2
}

# The options of every pytest run of the suite: warnings are errors, skips
# say why, and nothing is cached in the tree.
pytest_options=(-q -rs -W error -p no:cacheprovider)

# cmake_build DIR CMAKE_ARGUMENT...: configures DIR as a Ninja build of the
# core alone (no Python module; the arguments add tests, fuzzers, compilers
# or sanitizers) and builds it, with the cmake and ninja of the first
# interpreter's venv (or of $cmake_bin when set). The build's output goes to
# DIR/build.log, shown when it fails.
cmake_build() {
  local dir=$1
  shift
  if [ -z "${cmake_bin:-}" ]; then
    local python
    python=$(first_python) || return
    cmake_bin=$(dirname "$(make_venv "$python" "$(python_version "$python")")")
  fi
  mkdir -p "$dir"
  "$cmake_bin/cmake" -S "$ROOT" -B "$dir" -G Ninja -Wno-deprecated -DCMAKE_MAKE_PROGRAM="$cmake_bin/ninja" \
    -DMESH_BUILD_MODULE=OFF "$@" >"$dir/build.log" 2>&1 &&
    "$cmake_bin/cmake" --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" >>"$dir/build.log" 2>&1 ||
    { cat "$dir/build.log"; log "${dir#"$ROOT"/} does not configure or build"; return 1; }
}

# The folder of the public test corpora: $VENNU_MESH_TEST_DATA, by default
# ../shared/data beside the clone.
test_data_folder() {
  echo "${VENNU_MESH_TEST_DATA:-$ROOT/../shared/data}"
}

under_ci() { case "${CI:-}" in "" | 0 | false) return 1 ;; *) return 0 ;; esac; }

# Succeeds when the corpus folder exists. Otherwise says so and fails, or,
# under CI, ends the script with status 1.
have_test_data() {
  local folder=$1
  [ -d "$folder" ] && return 0
  if under_ci; then
    log "test corpus folder $folder not found and CI is set (set VENNU_MESH_TEST_DATA)"
    exit 1
  fi
  log "test corpus folder $folder not found: going on without it (set VENNU_MESH_TEST_DATA)"
  return 1
}

# Interpreters that pyenv lacks here (3.14, 3.15): Debian's unstable builds,
# unpacked into a cache by scripts/pythons (its header says how); anything
# else is not found.
provision_python() {
  case "$1" in
    3.14 | 3.15) "$ROOT/scripts/pythons" "$1" ;;
    *) return 1 ;;
  esac
}

# Prints the interpreter that scripts/pythons builds from the CPython source
# release (3.14t, 3.14t-tsan; 3.14 x86_64-musl), building it the first time.
# Without the source release it says so and returns 3 outside CI (the
# caller skips what needs it), 1 under CI.
built_python() {
  local status=0
  "$ROOT/scripts/pythons" "$@" || status=$?
  if [ "$status" -eq 3 ] && under_ci; then
    log "CI is set, so the missing CPython source release fails what needs Python $*"
    return 1
  fi
  return "$status"
}
