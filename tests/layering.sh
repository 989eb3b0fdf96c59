#!/usr/bin/env bash
# Fails on any #include that reaches from a folder into one its library does not link. Every
# library exports the repository root as its include path, so such an include compiles quietly
# and only this check sees it. Each folder may include itself and what its target links,
# directly or through another library (target_link_libraries in its CMakeLists.txt):
#   platform -> core -> storage, stats, systime, inputs/filepoll, inputs/dbus -> dfrm (routes)
#   -> dfrm server -> engine -> app; ctl and tools are programs on top of what they link.
# codec/ is a layer of its own that includes nothing of ours outside itself; storage uses it.
# dfrm/ holds two libraries: its server files (DFRM_SERVER_SOURCES in dfrm/CMakeLists.txt) count
# as the layer "dfrm/server" above the routes.
# tests/, bench/ and fuzz/ sit above everything and are not checked.
set -uo pipefail
cd "${1:-$(dirname "$0")/..}" || exit 1

declare -A may=(
  [platform]=""
  [codec]=""
  [core]="platform"
  [storage]="codec core platform"
  [stats]="core platform"
  [systime]="core platform"
  [inputs/filepoll]="core platform"
  [inputs/dbus]="core platform"
  [dfrm]="systime core platform"
  [dfrm/server]="dfrm systime core platform"
  [engine]="dfrm/server dfrm storage stats systime core platform"
  [app]="engine inputs/dbus inputs/filepoll dfrm/server dfrm storage stats systime core platform"
  [ctl]="storage inputs/filepoll core platform"
  [tools]=""
)

folder_of() {  # path -> the layer it belongs to
  case $1 in
    dfrm/DataLoggerDfrm.*|dfrm/DataLoggerRequest.*) echo dfrm/server ;;
    engine/*|inputs/dbus/*|inputs/filepoll/*) echo "${1%/*}" ;;
    */*) echo "${1%%/*}" ;;
  esac
}

folders=()
for layer in "${!may[@]}"; do [ -d "$layer" ] && folders+=("$layer"); done
includes=$(find "${folders[@]}" -name '*.h' -o -name '*.cpp' | sort -u |
           xargs grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"') || exit 1

status=0
while IFS=: read -r file line text; do
  from=$(folder_of "$file")
  target=${text#*\"}; target=${target%%\"*}
  [[ $target == */* ]] || continue  # beside its own header
  to=$(folder_of "$target")
  if [[ -z ${may[$from]+set} ]]; then
    echo "$file: folder $from has no layer here" >&2; status=1
  elif [[ $to != "$from" && " ${may[$from]} " != *" $to "* ]]; then
    echo "$file:$line: $from must not include $target" >&2; status=1
  fi
done <<<"$includes"
exit $status
