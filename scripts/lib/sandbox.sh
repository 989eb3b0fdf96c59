# Sourced by scripts/run and the acceptance test: the daemon on its fixed paths inside a private
# mount namespace, a private system bus with the daemon's policy, and lighttpd on a loopback
# port in front of the DfRM socket. Nothing outside the sandbox folder is written, except the
# three mount points. With SANDBOX_REMOVE_MOUNT_POINTS=1 (scripts/run) sandbox_cleanup removes
# those it had to create; scripts that may run beside another sandbox leave them, because
# removing a folder detaches whatever is mounted on it in every other namespace.
#
# Inputs (environment, each with a default from the source tree):
#   DATALOGGER_BIN               the daemon executable
#   DATALOGGER_LOAD              the steady producer (tools/datalogger-load)
#   DATALOGGER_CTL               the service tool (ctl/datalogger-ctl), run in the sandbox
#   DATALOGGER_DBSCRIPTS         folder of migration scripts (*.sql)
#   DATALOGGER_DBUS_POLICY       the bus policy file
#   DATALOGGER_LIGHTTPD_SNIPPET  the lighttpd configuration snippet for /dfrm and /liveview/
#   DATALOGGER_WWW               the built live view page (served at /liveview/)
#   DATALOGGER_LOG_LEVEL         the daemon's --log-level (default Info)
#   KEEP_SANDBOX=1               keep the sandbox folder after cleanup
# Outputs: SANDBOX (folder), SANDBOX_PORT, DAEMON_PID, DAEMON_LOG, DBUS_SYSTEM_BUS_ADDRESS.

sandbox_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
: "${DATALOGGER_BIN:=$sandbox_top/build/app/datalogger}"
: "${DATALOGGER_LOAD:=$sandbox_top/build/tools/datalogger-load}"
: "${DATALOGGER_CTL:=$sandbox_top/build/ctl/datalogger-ctl}"
: "${DATALOGGER_DBSCRIPTS:=$sandbox_top/dbscripts/sqlite}"
: "${DATALOGGER_DBUS_POLICY:=$sandbox_top/config/dbus/com.quorix.datalogger.conf}"
: "${DATALOGGER_LIGHTTPD_SNIPPET:=$sandbox_top/config/lighttpd/10-datalogger-dfrm.conf}"
: "${DATALOGGER_WWW:=$sandbox_top/build/web/www}"

sandbox_pids=()
sandbox_made_dirs=()  # "mount point:topmost folder created for it"
DAEMON_PID=

# Creates the sandbox folder with the daemon's three folders, the migration scripts, a firmware
# version and one device.
sandbox_create() {
  SANDBOX=$(mktemp -d /tmp/datalogger-sandbox-XXXXXX)
  mkdir -p "$SANDBOX"/{etc/poll,etc/devices,run,data/dbscripts/sqlite,bus,www}
  chmod 0770 "$SANDBOX/run"  # the DfRM socket's folder must be open to the web server's group
  cp "$DATALOGGER_DBSCRIPTS"/*.sql "$SANDBOX/data/dbscripts/sqlite/"
  echo "1.0.0-sandbox" >"$SANDBOX/etc/firmware-version"
  echo '{"serialNumber":"SANDBOX-0001","type":"magnet controller"}' >"$SANDBOX/etc/devices/controller"
  local dir top
  for dir in /etc/datalogger /run/datalogger /data/datalogger; do
    [ -d "$dir" ] && continue
    top=$dir
    while [ ! -d "$(dirname "$top")" ]; do top=$(dirname "$top"); done
    mkdir -p "$dir"
    sandbox_made_dirs+=("$dir:$top")
  done
}

sandbox_start_bus() {
  sed -e "s|@SOCKET@|$SANDBOX/bus/socket|" -e "s|@POLICY@|$DATALOGGER_DBUS_POLICY|" \
    "$sandbox_top/tests/support/system-bus.conf.in" >"$SANDBOX/bus/system.conf"
  dbus-daemon --config-file="$SANDBOX/bus/system.conf" --nofork >"$SANDBOX/bus/log" 2>&1 &
  sandbox_pids+=($!)
  export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$SANDBOX/bus/socket"
  local _
  for _ in $(seq 1 200); do [ -S "$SANDBOX/bus/socket" ] && return 0; sleep 0.05; done
  echo "sandbox: dbus-daemon did not start: $(cat "$SANDBOX/bus/log")" >&2
  return 1
}

sandbox_start_lighttpd() {
  SANDBOX_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  sed -e "s|/run/datalogger/dfrm.socket|$SANDBOX/run/dfrm.socket|" \
    -e "s|/usr/share/datalogger/www/|${DATALOGGER_WWW%/}/|" "$DATALOGGER_LIGHTTPD_SNIPPET" \
    >"$SANDBOX/www/dfrm.conf"
  cat >"$SANDBOX/www/lighttpd.conf" <<CONF
server.document-root = "$SANDBOX/www"
server.bind = "127.0.0.1"
server.port = $SANDBOX_PORT
server.errorlog = "$SANDBOX/www/error.log"
include "$SANDBOX/www/dfrm.conf"
CONF
  lighttpd -D -f "$SANDBOX/www/lighttpd.conf" &
  sandbox_pids+=($!)
  local _
  for _ in $(seq 1 200); do
    curl -s -o /dev/null "http://127.0.0.1:$SANDBOX_PORT/" && return 0
    sleep 0.05
  done
  echo "sandbox: lighttpd did not start: $(cat "$SANDBOX/www/error.log" 2>/dev/null)" >&2
  return 1
}

# Starts the daemon in the namespace. Its output is appended to DAEMON_LOG, so a restart keeps
# one log; sandbox_wait_log looks only at what this start wrote.
sandbox_start_daemon() {
  # The daemon refuses poll files that a user other than root can write; what the scripts wrote
  # follows the umask of whoever runs them.
  find "$SANDBOX/etc/poll" -type f -exec chown root:root {} + -exec chmod 0644 {} +
  DAEMON_LOG="$SANDBOX/daemon.log"
  touch "$DAEMON_LOG"
  daemon_log_start=$(($(wc -l <"$DAEMON_LOG") + 1))
  "$sandbox_top/scripts/sandbox-exec" "$SANDBOX" "$DATALOGGER_BIN" \
    --log-level "${DATALOGGER_LOG_LEVEL:-Info}" "$@" >>"$DAEMON_LOG" 2>&1 &
  DAEMON_PID=$!
}

# Waits until the daemon's log holds TEXT (fixed string); fails when the daemon ended first or
# SECONDS passed.
sandbox_wait_log() {  # TEXT SECONDS
  local deadline=$((SECONDS + $2)) running=1
  while [ $running -eq 1 ] && [ $SECONDS -lt $deadline ]; do
    kill -0 "$DAEMON_PID" 2>/dev/null || running=0
    tail -n "+$daemon_log_start" "$DAEMON_LOG" | grep -qF -- "$1" && return 0
    sleep 0.05
  done
  return 1
}

# The daemon is up when its D-Bus name is owned; DfRM is served from the same start-up.
sandbox_wait_daemon_up() {  # [SECONDS]
  sandbox_wait_log "onNameAcquired: name = 'com.quorix.datalogger.daemon'" "${1:-20}"
}

# Waits at most SECONDS for the daemon to end; sets DAEMON_STATUS to its exit status, or to
# "timeout" after a SIGKILL. Not in a subshell: only this shell can wait for the daemon.
sandbox_wait_daemon_exit() {  # SECONDS
  local pid=$DAEMON_PID deadline=$((SECONDS + $1)) rc=0
  DAEMON_STATUS=0
  while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.02; done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    DAEMON_STATUS=timeout
  fi
  wait "$pid" || rc=$?
  [ "$DAEMON_STATUS" = timeout ] || DAEMON_STATUS=$rc
  DAEMON_PID=
}

sandbox_stop_daemon() {  # SECONDS
  kill -TERM "$DAEMON_PID" 2>/dev/null || true
  sandbox_wait_daemon_exit "$1"
}

sandbox_cleanup() {
  [ -z "$DAEMON_PID" ] || sandbox_stop_daemon 10
  local i entry dir top
  for ((i = ${#sandbox_pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${sandbox_pids[$i]}" 2>/dev/null || true
    wait "${sandbox_pids[$i]}" 2>/dev/null || true
  done
  [ "${SANDBOX_REMOVE_MOUNT_POINTS:-0}" = 1 ] || sandbox_made_dirs=()
  for entry in "${sandbox_made_dirs[@]}"; do
    dir=${entry%%:*}
    top=${entry#*:}
    while rmdir "$dir" 2>/dev/null && [ "$dir" != "$top" ]; do dir=$(dirname "$dir"); done
  done
  [ -n "${KEEP_SANDBOX:-}" ] || rm -rf "${SANDBOX:?}"
}

# D-Bus clients of the daemon's two services.
dl_call() {  # METHOD ARGS...
  local method=$1; shift
  gdbus call --system --dest com.quorix.datalogger.daemon --object-path /com/quorix/datalogger/daemon \
    --method "com.quorix.datalogger.interface.$method" "$@"
}

# Registers a channel and prints its hash.
dl_register() {  # PATH UNIT STATS_STORAGE STATS_PERIOD STORAGE DESCRIPTION
  local reply
  reply=$(dl_call registerOrUpdateChannel "$@" 0) || return 1
  case "$reply" in
    "(uint64 "*", uint16 0)"|"(uint64 "*", uint16 2)") ;;
    *) echo "sandbox: registerOrUpdateChannel $1 answered $reply" >&2; return 1 ;;
  esac
  echo "$reply" | sed -E 's/^\(uint64 ([0-9]+),.*/\1/'
}

# pushData through dbus-send: typed on the command line, so no introspection round trip, which
# makes it the lighter client for steady load. Prints the status (0 = stored).
dl_push() {  # HASH VALUES TIMESTAMPS (comma-separated)
  dbus-send --system --print-reply=literal --dest=com.quorix.datalogger.daemon \
    /com/quorix/datalogger/daemon com.quorix.datalogger.interface.pushData \
    "uint64:$1" "array:double:$2" "array:int64:$3" | awk '{ print $2 }'
}

# SQL counting the points of a database (of one channel with HASH) as the storage does: those in
# blocks and the open ones, which are the tail rows beyond the newest row their channel's blocks
# hold.
points_sql() {  # [HASH]
  local only=${1:+"WHERE channelHash = $1"}
  echo "WITH closed AS (SELECT channelHash, sum(count) AS n, max(lastSeq) AS seq FROM block $only
                        GROUP BY channelHash)
        SELECT (SELECT ifnull(sum(n), 0) FROM closed) + (SELECT count(*) FROM tail t
          LEFT JOIN closed c ON c.channelHash = t.channelHash
          WHERE t.seq > ifnull(c.seq, 0) ${1:+AND t.channelHash = $1});"
}

# Pushes the values 0, 1, ... COUNT-1 at FIRST, FIRST+STEP, ... µs in calls of 10,000 points,
# waiting while the daemon's queue is full; fails on any other answer.
dl_push_series() {  # HASH COUNT FIRST STEP
  /usr/bin/python3 - "$@" <<'PY'
import sys, time
from gi.repository import Gio, GLib
channel, count, first, step = (int(a) for a in sys.argv[1:5])
bus = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
for start in range(0, count, 10000):
    points = range(start, min(start + 10000, count))
    call = GLib.Variant("(tadax)", (channel, [float(i) for i in points],
                                    [first + i * step for i in points]))
    while True:
        status = bus.call_sync("com.quorix.datalogger.daemon", "/com/quorix/datalogger/daemon",
                               "com.quorix.datalogger.interface", "pushData", call, None,
                               Gio.DBusCallFlags.NONE, 60000, None).unpack()[0]
        if status == 0:
            break
        if status != 18:  # QueueFull: the writer catches up
            sys.exit("pushData answered %d" % status)
        time.sleep(0.05)
PY
}

now_us() { echo $(($(date +%s%N) / 1000)); }
