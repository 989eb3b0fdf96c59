#!/usr/bin/env bash
# Renders each roff manual page given as an argument the way man shows it on a terminal and
# fails on any warning from man or groff (an unknown macro, a bad escape, a line that cannot
# be broken) or a page without its NAME section.
set -uo pipefail
command -v man >/dev/null || { echo "render: man is not installed (scripts/setup)" >&2; exit 77; }
status=0
for page in "$@"; do
  warnings=$( { LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -E UTF-8 -l "$page" | grep '^NAME' >/dev/null; } 2>&1) ||
    warnings+=" (no NAME section)"
  if [ -n "$warnings" ]; then
    printf '%s:\n%s\n' "$page" "$warnings" >&2
    status=1
  fi
done
exit $status
