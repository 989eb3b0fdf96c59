# Sourced by the scripts in scripts/ and tests/: the steps and checks they share. Works with and
# without set -e; every function returns its status instead of exiting, except need_root.

common_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

need_root() {  # NAME WHY [STATUS]: unless root, says so and exits with STATUS (default 1; 77 skips a test)
  [ "$(id -u)" -eq 0 ] && return 0
  echo "$1: needs root ($2)" >&2
  exit "${3:-1}"
}

# configure_and_build DIR [CMAKE_OPTION...] [TARGET...]: installs what is missing
# (scripts/setup), configures DIR with Ninja, RelWithDebInfo unless an option says otherwise,
# and builds the targets (all when none is named) with JOBS jobs if set, else as many as Ninja
# picks. Quiet unless a step fails, which prints its whole output.
configure_and_build() {
  local dir=$1 options=() targets=() arg out
  shift
  for arg in "$@"; do
    case $arg in -*) options+=("$arg") ;; *) targets+=(--target "$arg") ;; esac
  done
  "$common_top/scripts/setup" || return
  out=$(cmake -S "$common_top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" 2>&1 &&
        cmake --build "$dir" ${JOBS:+-j "$JOBS"} "${targets[@]}" 2>&1) || { echo "$out" >&2; return 1; }
}

failures=0
check() {  # DESCRIPTION COMMAND...: one "ok"/"not ok" line; failures counts the latter
  if "${@:2}"; then
    echo "ok - $1"
  else
    echo "not ok - $1"
    failures=$((failures + 1))
  fi
}

equals() {  # EXPECTED ACTUAL: for check; shows both when they differ
  [ "$1" = "$2" ] || { echo "  expected: $1" >&2; echo "  actual:   $2" >&2; return 1; }
}

within() {  # SECONDS COMMAND...: repeats COMMAND until it succeeds; the last try shows its errors
  local deadline=$((SECONDS + $1))
  shift
  until "$@" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || { "$@"; return; }
    sleep 0.1
  done
}

sql() { sqlite3 -batch -cmd ".timeout 5000" "$@"; }  # DB SQL: waits while the daemon writes
