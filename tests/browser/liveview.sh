#!/usr/bin/env bash
# The live view page in the system's headless Chromium against the whole daemon in its sandbox:
# 497 channels from a poll file and three registered over D-Bus: one small, two holding 5,000
# points each over the last hour. liveview.cjs drives the page. Exit 77 (skipped) without root, Chromium or node.
# Environment: DATALOGGER_WWW (the built page), NODE_PATH (where playwright-core is installed),
# LIVEVIEW_SCREENSHOT (PNG written at the end), and the variables of scripts/lib/sandbox.sh.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
skip() { echo "liveview: $1; skipped"; exit 77; }
# shellcheck source=../../scripts/lib/common.sh
. "$top/scripts/lib/common.sh"
need_root liveview "a private mount namespace" 77
: "${CHROMIUM:=/usr/bin/chromium}"
[ -x "$CHROMIUM" ] || skip "no $CHROMIUM"
command -v node >/dev/null || skip "no node"

# shellcheck source=../../scripts/lib/sandbox.sh
. "$top/scripts/lib/sandbox.sh"
[ -f "$DATALOGGER_WWW/index.html" ] || { echo "liveview: no page built in $DATALOGGER_WWW" >&2; exit 1; }
# The volatile database on RAM, as on the controller: on this disk 10,000 single-row commits
# would take longer than the whole test should.
ram=$(mktemp -d /dev/shm/liveview-XXXXXX)
trap 'sandbox_cleanup; rm -rf "$ram"' EXIT

sandbox_create
cat >"$SANDBOX/etc/storage.conf" <<CONF
{
    "volatile": { "Size": 16777216, "Path": "$ram/volatile.db" },
    "nonvolatile": { "Size": 4194304, "Path": "/data/datalogger/nonvolatile.db" }
}
CONF
# 497 channels come from a poll file: the daemon registers them itself at start-up, far faster
# than one D-Bus client process per channel would.
echo 4.2 >"$SANDBOX/etc/bulk-value"
python3 - "$SANDBOX/etc/poll" <<'PY'
import json, sys
channels = [{"ChannelPath": f"plant/bulk/sensor{i:03}", "Unit": "Kelvin", "Storage": "Volatile",
             "PeriodInSeconds": 0, "StatisticsPeriodInSeconds": 0,
             "FileToRead": "/etc/datalogger/bulk-value", "Description": f"bulk channel {i}"}
            for i in range(1, 498)]
for first in range(0, len(channels), 100):  # a poll file may hold 64 KiB
    with open(f"{sys.argv[1]}/bulk{first}.conf", "w") as f:
        json.dump(channels[first:first + 100], f)
PY
sandbox_start_bus || exit 1
sandbox_start_lighttpd || exit 1
started=$SECONDS
sandbox_start_daemon
sandbox_wait_daemon_up 20 || { tail -n 40 "$DAEMON_LOG"; exit 1; }

LIVEVIEW_HASH=$(dl_register test/helium/level 1 2 0 1 "Helium level of the test magnet")
wave_a=$(dl_register test/trend/a 4 2 0 1 "5000 points, sine")
wave_b=$(dl_register test/trend/b 5 2 0 1 "5000 points, cosine")
echo "liveview: daemon up with 500 channels in $((SECONDS - started)) s"

now=$(now_us)
dl_push "$LIVEVIEW_HASH" 71.5,71.4,71.3 "$((now - 20000000)),$((now - 10000000)),$now" >/dev/null
read -r values_a values_b stamps < <(python3 - "$now" <<'PY'
import math, sys
now = int(sys.argv[1])
n = 5000
stamps = [now - 3500_000_000 + i * 700_000 for i in range(n)]
a = [f"{4 + math.sin(i / 300):.4f}" for i in range(n)]
b = [f"{20 + 3 * math.cos(i / 500):.4f}" for i in range(n)]
print(",".join(a), ",".join(b), ",".join(map(str, stamps)))
PY
)
[ "$(dl_push "$wave_a" "$values_a" "$stamps")" = 0 ] && [ "$(dl_push "$wave_b" "$values_b" "$stamps")" = 0 ] ||
  { echo "liveview: pushing the two trends failed" >&2; exit 1; }

export LIVEVIEW_URL="http://127.0.0.1:$SANDBOX_PORT/liveview/" LIVEVIEW_HASH CHROMIUM
node "$top/tests/browser/liveview.cjs"
