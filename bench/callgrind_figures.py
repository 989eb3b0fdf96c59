#!/usr/bin/env python3
"""Instructions per point from a callgrind profile of bench_push_path.

Usage: callgrind_figures.py CALLGRIND_OUT POINTS
Prints table rows "label|measured|floor|ratio": inclusive instructions (and system calls) of
the push path, the processing thread and the bare insert loop, each divided by POINTS.
"""
import re
import subprocess
import sys

FUNCTIONS = {
    "handler": "DBusMethodHandler::pushData(",
    "core": "DataLoggerCore::pushOwnedData(",
    "thread": "DataLoggerCore::writeBatch(",
    "bare": "bareInsertLoop(",
}


def inclusive(profile):
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", profile],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True, check=True).stdout
    found = {}
    for line in text.splitlines():
        for key, name in FUNCTIONS.items():
            if name in line and key not in found:
                # Ir, sysCount, sysTime columns; "." stands for zero.
                counts = re.findall(r"(\.|[\d,]+) (?:\([ \d.]+%\))?", line.split("???:")[0])
                values = [0 if c == "." else int(c.replace(",", "")) for c in counts]
                found[key] = values + [0] * (2 - len(values))
    return found


def main():
    profile, points = sys.argv[1], int(sys.argv[2])
    f = inclusive(profile)
    per = {k: v[0] / points for k, v in f.items()}
    print("Push path per point: D-Bus handler incl. queueing (Ir; system calls in all) |"
          f"{per['handler']:.0f} ({f['handler'][1]}) | - | -")
    print(f"  of which the core queueing the points (Ir per point)|{per['core']:.1f} | - | -")
    print("Processing thread per stored point (Ir) |"
          f"{per['thread']:.0f} | {per['bare']:.0f} | {per['bare'] / per['thread']:.2f}")


if __name__ == "__main__":
    main()
