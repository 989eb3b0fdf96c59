# Usage: backfill.py KIND POINTS HASH...
# Pushes POINTS points, spread evenly over the registered channels HASH..., 10 s apart and ending
# now, in pushData calls of 1000 points, waiting whenever the daemon's queue is full. KIND is
# "sensor" (a two-decimal random walk per channel) or "random" (full-precision doubles).
import random, sys, time
from gi.repository import Gio, GLib
kind, total, hashes = sys.argv[1], int(sys.argv[2]), [int(h) for h in sys.argv[3:]]
bus = Gio.bus_get_sync(Gio.BusType.SYSTEM)
rng = random.Random(7)
batch = 1000
per_channel = total // len(hashes)
start = (int(time.time()) - per_channel * 10) * 1000000
levels = [rng.uniform(-50, 50) for _ in hashes]
for first in range(0, per_channel, batch):
    n = min(batch, per_channel - first)
    stamps = [start + (first + i) * 10000000 for i in range(n)]
    for c, h in enumerate(hashes):
        values = []
        for _ in range(n):
            if kind == "sensor":
                levels[c] += rng.choice((-0.02, -0.01, 0, 0, 0.01, 0.02))
                values.append(round(levels[c], 2))
            else:
                values.append(rng.uniform(-1e6, 1e6))
        while True:
            reply = bus.call_sync("com.quorix.datalogger.daemon", "/com/quorix/datalogger/daemon",
                                  "com.quorix.datalogger.interface", "pushData",
                                  GLib.Variant("(tadax)", (h, values, stamps)), None,
                                  Gio.DBusCallFlags.NONE, 60000, None)
            if reply.unpack()[0] == 0:
                break
            time.sleep(0.05)  # the queue is full: the writer catches up
