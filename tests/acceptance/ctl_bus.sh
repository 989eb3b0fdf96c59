#!/usr/bin/env bash
# datalogger-ctl's bus commands against the whole daemon in its sandbox: status without and with
# the daemon, and a backup whose two copies are checked. 77 (skipped) when not root.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../scripts/lib/common.sh
. "$top/scripts/lib/common.sh"
need_root ctl_bus "a private mount namespace" 77
: "${DATALOGGER_CTL:=$top/build/ctl/datalogger-ctl}"
# shellcheck source=../../scripts/lib/sandbox.sh
. "$top/scripts/lib/sandbox.sh"
trap sandbox_cleanup EXIT
stored() {  # HOW MANY: status --json counts at least that many stored points
  "$DATALOGGER_CTL" status --json |
    python3 -c "import json, sys; sys.exit(json.load(sys.stdin)['points']['stored'] < $1)"
}

sandbox_create
echo '{ "volatile": { "Size": 4194304, "Path": "/run/datalogger/volatile.db" },
  "nonvolatile": { "Size": 4194304, "Path": "/data/datalogger/nonvolatile.db" } }' >"$SANDBOX/etc/storage.conf"
echo '{' >"$SANDBOX/etc/poll/broken.conf"
sandbox_start_bus || exit 1
out=$("$DATALOGGER_CTL" status 2>&1)
check "status without the daemon says so and exits 1" test "$?:$(grep -c 'not running' <<<"$out")" = 1:1
sandbox_start_daemon
sandbox_wait_daemon_up 20 || { echo "not ok - the daemon did not come up"; exit 1; }
hash=$(dl_register ctl/pushed 1 1 0 1 "one point") || exit 1
dl_push "$hash" 1.5 "$(now_us)" >/dev/null
check "status counts the pushed point as stored" within 10 stored 1
check "status shows each database's rows and UTC times (read anew at most once a second) and the refused poll file" \
  within 5 bash -c '"$0" status | { out=$(cat); grep -q "files: *0 loaded, 1 refused" <<<"$out" &&
    grep -A2 "^database Volatile: /run/datalogger/volatile.db" <<<"$out" |
      grep -qE "rows: *1, ([0-9-]{10}T[0-9:]{8}\.[0-9]{6}Z( to )?){2}$"; }' "$DATALOGGER_CTL"
out=$("$DATALOGGER_CTL" backup "$SANDBOX/backup/new")
check "backup creates its folder, checks two copies and reports their rows" \
  test "$?:$(grep -c 'integrity ok' <<<"$out"):$(grep -A1 '^Volatile:' <<<"$out" | grep -c 'ok, 1 rows')" = 0:2:1
check "a second backup into the same folder fails" bash -c '! "$0" backup "$1" >/dev/null 2>&1' \
  "$DATALOGGER_CTL" "$SANDBOX/backup/new"
exit $((failures != 0))
