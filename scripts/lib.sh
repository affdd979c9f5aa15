# Sourced by every stage script (scripts/test.sh lists the stages): root
# or sudo, Debian packages, the caches, and what a stage builds once per run.
# The sourcing script has already changed to the clone's top directory.
#
#   need_debs PACKAGE...    installs those Debian packages that are missing
#   done_this_run NAME      true once mark_done NAME ran in this run
#   mark_done NAME
#   dev_venv                .venv with tests/requirements.txt and this tree
#                           installed, made or updated once per run
#   pyenv_python MINOR      the newest pyenv CPython 3.MINOR, or nothing
#   elapsed SINCE           "1m05s" from a date +%s value
#
# A run is one scripts/test.sh command, or one stage script run by hand: its
# QUILLMERE_RUN names it, so that a stage never takes what another left from
# an earlier run of older sources, and nothing is built twice in one run.

REPO=$PWD
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# The caches that outlive a clone: root file systems and the Debian packages
# they were made of, ccache, zig's. A user who is not root keeps their own,
# so that no cache holds files another user owns.
if [ -z "${QUILLMERE_CI_CACHE:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    QUILLMERE_CI_CACHE=/var/cache/quillmere-ci
  else
    QUILLMERE_CI_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/quillmere-ci"
  fi
fi
export QUILLMERE_CI_CACHE
mkdir -p "$QUILLMERE_CI_CACHE"

if [ -z "${QUILLMERE_RUN:-}" ]; then
  QUILLMERE_RUN="$(date +%s)-$$"
  export QUILLMERE_RUN
fi
stamps="$REPO/build/run-stamps"
mkdir -p "$stamps"

done_this_run() {
  [ "$(cat "$stamps/$1" 2>/dev/null)" = "$QUILLMERE_RUN" ]
}

# Removed first: a stage run as root (sudo) may have left the stamp.
mark_done() {
  rm -f "$stamps/$1"
  printf '%s\n' "$QUILLMERE_RUN" > "$stamps/$1"
}

# Every CMake build, pip's included, goes through ccache. Paths under the
# clone are hashed relative to it, so a fresh clone elsewhere (as CI makes
# one per run) hits what an earlier clone compiled.
if command -v ccache >/dev/null 2>&1; then
  CMAKE_CXX_COMPILER_LAUNCHER=ccache
  CCACHE_DIR="$QUILLMERE_CI_CACHE/ccache"
  CCACHE_BASEDIR="$REPO"
  CCACHE_NOHASHDIR=1
  CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-4G}"
  export CMAKE_CXX_COMPILER_LAUNCHER CCACHE_DIR CCACHE_BASEDIR CCACHE_NOHASHDIR CCACHE_MAXSIZE
fi
CMAKE_BUILD_PARALLEL_LEVEL=2
export CMAKE_BUILD_PARALLEL_LEVEL
# pip as root (CI) installs into environments and directories of its own only.
PIP_ROOT_USER_ACTION=ignore
export PIP_ROOT_USER_ACTION

# apt-get update runs at most once per run, and only when something is missing.
need_debs() {
  missing=""
  for package in "$@"; do
    dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qx installed ||
      missing="$missing $package"
  done
  [ -n "$missing" ] || return 0
  echo "== installing Debian packages:$missing" >&2
  if ! done_this_run apt-update; then
    $SUDO apt-get update -qq
    mark_done apt-update
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing >/dev/null
}

# python3 with venv and ensurepip (Debian splits them off).
need_venv_module() {
  python3 -c "import venv, ensurepip" 2>/dev/null || need_debs python3-venv
}

dev_venv() {
  done_this_run dev-venv && return 0
  need_debs g++ ccache
  need_venv_module
  echo "== Python environment (.venv): tests/requirements.txt and this tree"
  [ -x .venv/bin/python ] || python3 -m venv .venv
  .venv/bin/python -m pip install -q -r tests/requirements.txt
  .venv/bin/python -m pip install -q .
  mark_done dev-venv
}

pyenv_root="${PYENV_ROOT:-}"
[ -n "$pyenv_root" ] || pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
pyenv_python() {
  v=$(ls "$pyenv_root/versions" 2>/dev/null | grep -E "^3\.$1\.[0-9]+\$" | sort -t . -k 3 -n | tail -n 1)
  [ -n "$v" ] && [ -x "$pyenv_root/versions/$v/bin/python3" ] && echo "$pyenv_root/versions/$v/bin/python3"
  return 0
}

elapsed() {
  s=$(( $(date +%s) - $1 ))
  printf '%dm%02ds' $((s / 60)) $((s % 60))
}
