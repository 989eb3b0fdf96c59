#!/usr/bin/env bash
# datalogger-ctl beside a running daemon in its sandbox: check, poll-test, channels, latest and
# export, the last over 1,000,000 points while a producer keeps the daemon writing. Prints one
# "ok"/"not ok" line per check; 77 (skipped) when not root.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../scripts/lib/common.sh
. "$top/scripts/lib/common.sh"
need_root ctl_offline "a private mount namespace" 77
# shellcheck source=../../scripts/lib/sandbox.sh
. "$top/scripts/lib/sandbox.sh"
: "${DATALOGGER_CTL:=$top/build/ctl/datalogger-ctl}"
trap '[ $failures -eq 0 ] || tail -n 30 "${DAEMON_LOG:-/dev/null}"; sandbox_cleanup' EXIT
exits() { equals "$1" "$rc" && has "$out" "$2"; }  # STATUS TEXT: of the last ctl run
has() { grep -qF -- "$2" <<<"$1" || { echo "  no \"$2\" in:" >&2; echo "$1" >&2; return 1; }; }
ctl() { "$top/scripts/sandbox-exec" "$SANDBOX" "$DATALOGGER_CTL" "$@"; }
points_of() { ctl channels "$1" | awk 'NR == 2 { print $4 }'; }  # PATH: its stored points

sandbox_create
nv_db=$SANDBOX/data/nv.db
echo '{"volatile": {"Size": 4194304, "Path": "/run/datalogger/v.db"},
  "nonvolatile": {"Size": 268435456, "Path": "/data/datalogger/nv.db"}}' >"$SANDBOX/etc/storage.conf"
sed 's/"Size": 4194304/"Size": 1000/' "$SANDBOX/etc/storage.conf" >"$SANDBOX/etc/small.conf"
echo 21.5 >"$SANDBOX/etc/value"
section() {  # NAME PATH SOURCE_KEY SOURCE EXTRA
  echo "\"$1\": {\"ChannelPath\": \"$2\", \"Unit\": \"Percent\", \"Storage\": \"NonVolatile\",
    \"PeriodInSeconds\": 3600, \"StatisticsPeriodInSeconds\": 0, \"$3\": \"$4\"${5:-}}"
}
echo "{$(section level ctl/level FileToRead /etc/datalogger/value)}" >"$SANDBOX/etc/poll/level.conf"
mkdir "$SANDBOX/etc/poll-bad" "$SANDBOX/etc/poll-test"
echo '{"typo": {"ChannelPath": "ctl/typo", "Unit": "None", "Storage": "Volatile", "Fator": 2,
  "PeriodInSeconds": "5.5", "StatisticsPeriodInSeconds": 0, "FileToRead": "/x"}}' >"$SANDBOX/etc/poll-bad/typo.conf"
install -m 0666 /dev/null "$SANDBOX/etc/poll-bad/open.conf"
echo "{$(section scaled ctl/scaled FileToRead /etc/datalogger/value ', "Factor": 2, "Offset": 1'),
  $(section failing ctl/failing FileToExecute 'exit 3')}" >"$SANDBOX/etc/poll-test/test.conf"

sandbox_start_bus || exit 1
sandbox_start_daemon
check "the daemon comes up" sandbox_wait_daemon_up 20
[ $failures -eq 0 ] || exit 1

out=$(ctl check); rc=$?
check "check accepts the daemon's files with status 0" equals "0" "$rc"
out=$(ctl check --poll-dir /etc/datalogger/poll-bad); rc=$?
check "check names key, section and value, with status 1" exits 1 \
  'section "typo" (#1): PeriodInSeconds "5.5" is not a whole number'
check "check refuses a poll file others can write" has "$out" \
  "open.conf: refused: a user other than root can write it"
check "check suggests the nearest key" has "$out" '"Fator": unknown key, ignored; did you mean "Factor"?'
ctl check --bogus 2>/dev/null; rc=$?
check "a usage error gives status 2" equals 2 "$rc"
# STATUS|TEXT|ARGUMENTS: one ctl run each, its status and a text of its output or errors.
while IFS='|' read -r want text args; do
  out=$(eval "ctl $args" 2>&1); rc=$?
  check "ctl $args: status $want, \"$text\"" exits "$want" "$text"
done <<'RUNS'
1|/etc/datalogger/small.conf: section "volatile": Size 1000 is below the minimum of 1048576|check --storage /etc/datalogger/small.conf
1|/etc/datalogger/none.conf: does not exist|poll-test /etc/datalogger/none.conf
1|typo.conf: section "typo" (#1): PeriodInSeconds "5.5" is not a whole number from 0 to 1000000000|poll-test /etc/datalogger/poll-bad/typo.conf
1|typo.conf: refused: its only section is broken|poll-test /etc/datalogger/poll-bad/typo.conf
2|--from "-1h" is later than --to "-2h"|export 'ctl/*' --from -1h --to -2h
RUNS
out=$(ctl channels --storage /etc/datalogger/none.conf 2>&1)
check "a missing storage.conf is named once" equals "/etc/datalogger/none.conf: cannot open file" "$out"

out=$(ctl poll-test /etc/datalogger/poll-test); rc=$?
check "poll-test shows raw text, scaled value and unit" has "$out" 'ctl/scaled  raw "21.5"  → 44 Percent'
check "poll-test shows a failing command, with status 1" exits 1 'ctl/failing  error: Command failed'
out=$(ctl poll-test /etc/datalogger/poll-test/test.conf --section 1); rc=$?
check "poll-test --section runs that section alone" equals "0 1" "$rc $(wc -l <<<"$out")"
check "poll-test stores nothing" equals 0 "$(sql "$nv_db" "SELECT count(*) FROM channel WHERE path = 'ctl/scaled';")"

live=$(dl_register ctl/live 1 2 0 2 "pushed by the test")
dl_push "$live" 17.25 "$(now_us)" >/dev/null
latest_live() { has "$(ctl latest 'ctl/liv*')" "ctl/live  17.25  Percent  $(date -u +%Y-%m-%d)"; }
check "latest shows the newest value with its UTC time" within 5 latest_live
check "channels lists path, unit, storage, rows and description" has "$(ctl channels 'ctl/liv*')" \
  "ctl/live  Percent  NonVolatile  1     pushed by the test"

# 1,000,000 points, one per millisecond up to now, read after a restart has rebuilt the open
# blocks from the tail.
bulk=$(dl_register ctl/bulk 1 2 0 2 bulk)
check "1,000,000 points are pushed" dl_push_series "$bulk" 1000000 $(($(now_us) - 1000000000)) 1000
bulk_stored() { equals 1000000 "$(points_of ctl/bulk)"; }
check "all of them are stored" within 60 bulk_stored
# 30,003 points at one time stamp: every chunk of an export ends inside it.
ties=$(dl_register ctl/ties 1 2 0 2 ties)
check "30,003 points at one time stamp are pushed" dl_push_series "$ties" 30003 $(($(now_us) - 2000000000)) 0
ties_stored() { equals 30003 "$(points_of ctl/ties)"; }
check "all of them are stored" within 60 ties_stored
sandbox_stop_daemon 10
sandbox_start_daemon
check "the daemon comes up again" sandbox_wait_daemon_up 20
dl_register ctl/live 1 2 0 2 "pushed by the test" >/dev/null  # a restart forgets registrations
"$DATALOGGER_LOAD" "$live" 100 50 0 >"$SANDBOX/load.log" &
load=$!
sleep 1
ctl export 'ctl/bulk' --from -1h >"$SANDBOX/bulk.csv"; rc=$?
sleep 1
kill -TERM "$load"; wait "$load"
acked=$(awk 'END { print $4 + 0 }' "$SANDBOX/load.log")
check "export writes the header and all 1,000,000 rows" equals "0 1000001" "$rc $(wc -l <"$SANDBOX/bulk.csv")"
check "export rows are in time order, one per stored point" equals 1000000 \
  "$(tail -n +2 "$SANDBOX/bulk.csv" | cut -d, -f3 | sort -c -n -u && echo 1000000)"
check "the producer was acknowledged while the export ran" test "$acked" -gt 0
sql "$nv_db" ".backup '$SANDBOX/copy.db'"  # as the device log copies it
"$DATALOGGER_CTL" export ctl/bulk --database "$SANDBOX/copy.db" >"$SANDBOX/copy.csv"; rc=$?
check "export --database reads the same rows from a copied file" equals 0 \
  "$rc$(cmp "$SANDBOX/bulk.csv" "$SANDBOX/copy.csv")"
check "an export gives points sharing a time stamp once each, in the order they arrived" \
  equals "$(seq 0 30002 | tr '\n' ' ')" "$(ctl export ctl/ties | tail -n +2 | cut -d, -f4 | awk '{ printf "%d ", $1 }')"
stored_all() { equals $((acked + 1)) "$(points_of ctl/live)"; }
check "every point acknowledged during the export is stored" within 20 stored_all
check "export --format json holds the same rows" equals $((acked + 1)) \
  "$(ctl export 'ctl/live' --format json | grep -c '"path":"ctl/live"')"
exit $((failures != 0))
