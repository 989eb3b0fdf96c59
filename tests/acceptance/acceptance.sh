#!/usr/bin/env bash
# The whole daemon on its fixed paths, checked with real clients only: gdbus on a private system
# bus, curl through lighttpd, datalogger-ctl and sqlite3 on the database files. Prints one "ok"/"not ok" line per
# check and exits 0 only if every check passed; 77 (skipped) when not root.
# The files under test come from the environment (see scripts/lib/sandbox.sh), so the same test
# runs against the build tree and against an installed package.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../scripts/lib/common.sh
. "$top/scripts/lib/common.sh"
need_root acceptance "a private mount namespace" 77
# shellcheck source=../../scripts/lib/sandbox.sh
. "$top/scripts/lib/sandbox.sh"
DATALOGGER_LOG_LEVEL=Debug
finish() {
  if [ $failures -ne 0 ] && [ -n "${DAEMON_LOG:-}" ]; then
    echo "--- last lines of the daemon log"
    tail -n 60 "$DAEMON_LOG"
  fi
  sandbox_cleanup
}
trap finish EXIT

sandbox_create
v_db="$SANDBOX/run/volatile.db"
nv_db="$SANDBOX/data/nonvolatile.db"
ctl() { "$top/scripts/sandbox-exec" "$SANDBOX" "$DATALOGGER_CTL" "$@"; }
values_of() {  # PATH: the channel's values, oldest first, comma-separated, as export writes them
  ctl export "$1" | awk -F, 'NR > 1 { printf "%s%s", (NR > 2 ? "," : ""), $4 }'
}
has_values() {  # DB PATH VALUES: the channel is that database's and holds those values
  equals 1 "$(sql "$1" "SELECT count(*) FROM channel WHERE path = '$2';")" &&
    equals "$3" "$(values_of "$2")"
}
integrity() { equals ok "$(sql "$1" 'PRAGMA integrity_check;')"; }
both_whole() { integrity "$1" && integrity "$2"; }

dfrm() {  # BODY: POSTs a data request through lighttpd, prints the body; fails unless 200
  curl -s -f -X POST --data "$1" "http://127.0.0.1:$SANDBOX_PORT/dfrm/data"
}
json() {  # EXPRESSION over d, the document on stdin
  python3 -c "import json, sys; d = json.load(sys.stdin); print(json.dumps($1, separators=(',', ':')))"
}
dfrm_values() {  # PATH: the values DfRM returns for the channel on a first request
  dfrm "{\"channelRequests\":[{\"path\":\"$1\"}]}" | json 'd["measurements"][0]["values"]'
}

cat >"$SANDBOX/etc/storage.conf" <<'CONF'
{
    "volatile": { "Size": 4194304, "Path": "/run/datalogger/volatile.db" },
    "nonvolatile": { "Size": 33554432, "Path": "/data/datalogger/nonvolatile.db" }
}
CONF
echo 42.5 >"$SANDBOX/etc/polled-value"
cat >"$SANDBOX/etc/poll/acceptance.conf" <<'CONF'
{
    "level": {
        "ChannelPath": "acceptance/polled",
        "Unit": "Percent",
        "Storage": "NonVolatile",
        "PeriodInSeconds": 1,
        "StatisticsPeriodInSeconds": 0,
        "FileToRead": "/etc/datalogger/polled-value",
        "Description": "read from a file every second"
    }
}
CONF
# A statistics period beyond what the periodic caller takes, refused by the core with status 3.
echo '[{"ChannelPath":"acceptance/huge/stats","Unit":"None","Storage":"Volatile","PeriodInSeconds":1,
  "StatisticsPeriodInSeconds":4294967295,"StatisticsStorage":"Volatile",
  "FileToRead":"/etc/datalogger/polled-value"}]' >"$SANDBOX/etc/poll/huge-stats.conf"

sandbox_start_bus || exit 1
sandbox_start_lighttpd || exit 1
sandbox_start_daemon
check "the daemon comes up and owns its D-Bus name" sandbox_wait_daemon_up 20
[ $failures -eq 0 ] || exit 1

# Registration and pushes over D-Bus land in the database of the channel's storage type.
fast=$(dl_register acceptance/fast 1 1 1 1 "volatile, statistics every second")
durable=$(dl_register acceptance/durable 1 2 0 2 "non-volatile")
t=$(now_us)
dl_call pushData "$fast" "[1.0, 2.0, 3.0, 4.0]" "[$((t - 3000000)), $((t - 2000000)), $((t - 1000000)), $t]" >/dev/null
dl_call pushData "$durable" "[10.5, 11.5, 12.5]" "[$((t - 2000000)), $((t - 1000000)), $t]" >/dev/null
check "a volatile channel's values land in the volatile database" \
  within 5 has_values "$v_db" acceptance/fast 1,2,3,4
check "a non-volatile channel's values land in the non-volatile database" \
  within 5 has_values "$nv_db" acceptance/durable 10.5,11.5,12.5
check "neither database holds the other's channel" \
  equals "0 0" "$(sql "$nv_db" "SELECT count(*) FROM channel WHERE path = 'acceptance/fast';") $(
    sql "$v_db" "SELECT count(*) FROM channel WHERE path = 'acceptance/durable';")"
check "small pages on flash, large ones in memory" \
  equals "512 4096" "$(sql "$nv_db" "PRAGMA page_size;") $(sql "$v_db" "PRAGMA page_size;")"

polled_twice() { [ "$(values_of acceptance/polled | tr , '\n' | grep -cx 42.5)" -ge 2 ]; }
check "the poll file's channel fills from its file" within 10 polled_twice

status_of() { sed -E 's/.*uint16 ([0-9]+)\)$/\1/'; }
check "a statistics period above 1e9 s is refused over D-Bus with status 3" equals 3 "$(
  dl_call registerOrUpdateChannel acceptance/huge/bus 1 1 4294967295 1 d 0 | status_of)"
check "a statistics period of 1e9 s is taken" equals 0 "$(
  dl_call registerOrUpdateChannel acceptance/longest 1 1 1000000000 1 d 0 | status_of)"
check "a poll file's statistics period above 1e9 s is refused with status 3" sandbox_wait_log \
  "path 'acceptance/huge/stats'.DataLoggerStatusCode was 3" 1
check "a refused period leaves no channel behind, derived ones included" equals "0 0" "$(
  sql "$v_db" "SELECT count(*) FROM channel WHERE path LIKE 'acceptance/huge/%';") $(
  sql "$nv_db" "SELECT count(*) FROM channel WHERE path LIKE 'acceptance/huge/%';")"

stats_max() { equals 4 "$(values_of acceptance/fast.max | tr , '\n' | sort -g | tail -n 1)"; }
check "the statistics channel acceptance/fast.max appears with the maximum" within 10 stats_max

# DfRM: a data request returns the pushed values; its id then returns only newer ones.
first=$(dfrm '{"channelRequests":[{"path":"acceptance/durable"}]}')
check "a DfRM data request returns the pushed values" \
  equals "[10.5,11.5,12.5]" "$(echo "$first" | json 'd["measurements"][0]["values"]')"
id=$(echo "$first" | json 'd["dataRequestId"]' | tr -d '"')
dl_call pushData "$durable" "[13.5]" "[$((t + 1000000))]" >/dev/null
within 5 has_values "$nv_db" acceptance/durable 10.5,11.5,12.5,13.5
check "the same request by its id returns only the newer value" \
  equals "[13.5]" "$(dfrm "{\"dataRequestId\":\"$id\"}" | json 'd["measurements"][0]["values"]')"

# A value that is no number is no false zero: DfRM writes null where NaN or infinity was pushed.
gaps=$(dl_register acceptance/gaps 1 1 0 1 "values that are no numbers")
dl_call pushData "$gaps" "[0.0, nan, 2.0, inf, -inf]" "[$((t - 4)), $((t - 3)), $((t - 2)), $((t - 1)), $t]" >/dev/null
gaps_are_null() { equals "[0.0,null,2.0,null,null]" "$(dfrm_values acceptance/gaps)"; }
check "NaN and infinities come back through DfRM as null" within 5 gaps_are_null

# The documents describe the daemon, its device and its channels under one configuration hash.
get() { curl -s -f "http://127.0.0.1:$SANDBOX_PORT/dfrm/$1"; }
check "the channel list gives a channel's unit and description" equals '["Percent","non-volatile"]' \
  "$(get datachannels | json '[[c["type"], c["description"]] for c in d["dataChannels"] if c["path"] == "acceptance/durable"][0]')"
check "the identification names the device, the firmware and the protocol version" \
  equals '[true,"1.0.0-sandbox","0.113"]' \
  "$(get identification | json '["SANDBOX-0001" in d["devices"][0]["tpx"], d["devices"][0]["common"]["firmwareVersion"], d["devices"][0]["common"]["protocolVersion"]]')"
clock=$(get capabilities | json 'd["capabilities"]["clockType"]')
check "the volatile state carries the time of the capabilities' clock type ($clock)" equals true \
  "$(get volatilestate | json "'${clock//\"/}Time' in d['volatileState']")"
hashes=$(for r in identification capabilities volatilestate datachannels; do get $r | json 'd["configHash"]'; done | sort -u | wc -l)
check "every document carries the same configuration hash" equals 1 "$hashes"

# One request cannot cost the daemon without bound: a long history comes in capped answers,
# repeated paths are read once, too many channels and oversized bodies are refused.
dfrm_file() { curl -s -f -X POST --data-binary "@$1" "http://127.0.0.1:$SANDBOX_PORT/dfrm/data"; }
long=$(dl_register acceptance/long 1 2 0 2 "a long history")
long_stored() { equals 300000 "$(ctl channels acceptance/long | awk 'NR == 2 { print $4 }')"; }
pushed_long() { dl_push_series "$long" 300000 $((t - 400000000)) 1 && within 30 long_stored; }
check "300,000 values pushed in calls of 10,000 are stored" pushed_long
page_through() {  # prints the number of answers and whether they held 0..299999 once, in order
  local body='{"channelRequests":[{"path":"acceptance/long"}]}' n=0
  while [ $n -lt 10 ]; do
    dfrm "$body" >"$SANDBOX/page.$n" || return 1
    n=$((n + 1))
    [ "$(json 'any(m.get("hasMoreData") for m in d["measurements"])' <"$SANDBOX/page.$((n - 1))")" = true ] || break
    body="{\"dataRequestId\":$(json 'd["dataRequestId"]' <"$SANDBOX/page.$((n - 1))")}"
  done
  python3 - $(seq -f "$SANDBOX/page.%g" 0 $((n - 1))) <<'PY'
import json, sys
values, capped = [], True
for name in sys.argv[1:]:
    d = json.load(open(name))
    capped = capped and sum(len(m.get("values", [])) for m in d["measurements"]) <= 100000
    values += [v for m in d["measurements"] if m["path"] == "acceptance/long" for v in m["values"]]
print(len(sys.argv) - 1, capped and values == [float(i) for i in range(300000)])
PY
}
check "300,000 values 1 µs apart come in three capped answers, each once and in order" equals "3 True" "$(page_through)"
daemon_hwm() {  # the daemon's peak resident size in KiB (the innermost process of the sandbox)
  local p=$DAEMON_PID c
  while c=$(pgrep -P "$p" | head -n 1) && [ -n "$c" ]; do p=$c; done
  awk '/VmHWM/ { print $2 }' "/proc/$p/status"
}
python3 -c 'import sys; sys.stdout.write("{\"channelRequests\":[" + ",".join(["{\"path\":\"acceptance/long\"}"] * 20000) + "]}")' >"$SANDBOX/repeated.json"
hwm=$(daemon_hwm)
repeated() { dfrm_file "$SANDBOX/repeated.json" | json '[len(d["measurements"]), len(d["measurements"][0]["values"]), d["measurements"][0]["hasMoreData"]]'; }
check "20,000 copies of one channel request are read once" equals "[1,100000,true]" "$(repeated)"
echo "# peak resident size $hwm KiB before the repeated-path request, $(daemon_hwm) KiB after"
python3 -c 'import sys; sys.stdout.write("{\"channelRequests\":[" + ",".join("{\"path\":\"p%d\"}" % i for i in range(1001)) + "]}")' >"$SANDBOX/many.json"
too_many() { curl -s -X POST --data-binary "@$SANDBOX/many.json" -w ' %{http_code}' "http://127.0.0.1:$SANDBOX_PORT/dfrm/data"; }
check "1,001 channels are refused with 400" equals "Too many channel requests (1001), at most 1000. 400" "$(too_many)"
head -c 1000448 /dev/zero | tr '\0' x >"$SANDBOX/largest.body"
head -c 1000449 /dev/zero | tr '\0' x >"$SANDBOX/oversized.body"
status_of() { curl -s -o /dev/null -X POST --data-binary "@$1" -w '%{http_code}' "http://127.0.0.1:$SANDBOX_PORT/dfrm/data"; }
check "lighttpd passes a body up to its limit and refuses a larger one with 413" \
  equals "500 413" "$(status_of "$SANDBOX/largest.body") $(status_of "$SANDBOX/oversized.body")"

# A breaking change (another unit) archives the old channel with its data.
renewed=$(dl_register acceptance/durable 2 2 0 2 "non-volatile, another unit")
check "a breaking change registers a new hash" test -n "$renewed" -a "$renewed" != "$durable"
check "a breaking change archives the old channel with its data" \
  has_values "$nv_db" acceptance/durable_archive_NonVolatile_1 10.5,11.5,12.5,13.5
dl_call pushData "$renewed" "[20.5]" "[$((t + 2000000))]" >/dev/null
within 5 has_values "$nv_db" acceptance/durable 20.5

# SIGTERM ends the daemon quickly and cleanly.
started=$(date +%s%N)
sandbox_stop_daemon 10
stop_ms=$((($(date +%s%N) - started) / 1000000))
check "SIGTERM ends the daemon with status 0" equals 0 "$DAEMON_STATUS"
check "SIGTERM ends the daemon within 3 s (took $stop_ms ms)" test "$stop_ms" -lt 3000
check "both databases pass the integrity check after shutdown" both_whole "$nv_db" "$v_db"

# A restart keeps the non-volatile data and serves it.
sandbox_start_daemon
check "the daemon comes up again" sandbox_wait_daemon_up 20
check "after a restart DfRM serves the archived channel" \
  equals "[10.5,11.5,12.5,13.5]" "$(dfrm_values acceptance/durable_archive_NonVolatile_1)"
check "after a restart DfRM serves the renewed channel" equals "[20.5]" "$(dfrm_values acceptance/durable)"
sandbox_stop_daemon 10
check "the restarted daemon ends with status 0" equals 0 "$DAEMON_STATUS"

# A broken storage.conf ends start-up with status 10 and says why.
echo '{ "volatile": ' >"$SANDBOX/etc/storage.conf"
sandbox_start_daemon
sandbox_wait_daemon_exit 20
check "a broken storage.conf ends start-up with status 10" equals 10 "$DAEMON_STATUS"
check "a broken storage.conf is reported on a Critical line" sandbox_wait_log \
  "Critical DataLoggerDaemon: Failed to parse storage configuration file (/etc/datalogger/storage.conf). Errors were:" 1
check "the file's own error is reported once, by its one read" equals 1 "$(
  tail -n "+$daemon_log_start" "$DAEMON_LOG" | grep -c "Error DataLoggerStorageConfigFile: Parsing storage configuration file")"
check "nothing is built after a broken storage.conf" equals 0 "$(
  tail -n "+$daemon_log_start" "$DAEMON_LOG" | grep -c "storages created\|DBus initialized\|-preInit: OK")"

echo "acceptance: $failures failed"
[ $failures -eq 0 ]
