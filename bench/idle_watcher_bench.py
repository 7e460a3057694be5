#!/usr/bin/env python3
"""What the idle watcher costs while it waits: `brivane --idle` under its own
Xvfb with an idle time of an hour (BRIVANE_IDLE_SECONDS=3600), measured over
a shortened window (default 60 s) twice: while input comes every few seconds
(xdotool moves the pointer; the watcher must not look at each move), and
with no input at all. Reports for each phase

  wake-ups  voluntary + involuntary context switches of all its threads
            (/proc/PID/task/*/status), over the window and per idle hour
            (goal: at most 60 per hour, i.e. no polling); one decision
            costs about four (its round trips to the X server)
  CPU       utime+stime (/proc/PID/stat) over the window, as a share of one
            core (goal: at most 0.01 %)
  memory    VmRSS at the end

    bench/idle_watcher_bench.py [BUILD_DIR] [--window S] [--input-every S]
                                [--idle-seconds S]

BUILD_DIR defaults to ./build (it must hold src/app/brivane). With a shorter
--idle-seconds T the watcher wakes about once per T seconds while input
keeps coming (it then sleeps until the last input plus T): the figure per
hour is then that of an idle time of T. Exit status 0 when the goals are met.
"""
import argparse
import glob
import os
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WAKE_GOAL = 60.0  # per idle hour
CPU_GOAL = 0.01   # per cent of one core
TICK = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def status_kb(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def switches(pid):
    total = 0
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(status) as f:
                for line in f:
                    if "ctxt_switches" in line:
                        total += int(line.split()[1])
        except OSError:
            pass  # a thread that just ended
    return total


def start_xvfb():
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    deadline = time.time() + 30
    while not number.endswith(b"\n") and time.time() < deadline:
        chunk = os.read(r, 16)
        if not chunk:
            break
        number += chunk
    os.close(r)
    if not number.strip():
        xvfb.kill()
        sys.exit("Xvfb did not start")
    return xvfb, ":" + number.decode().strip()


def measure(pid, window, input_every, display):
    """Counts over `window` seconds; moves the pointer every `input_every` s (0: never)."""
    t0, c0, s0 = time.monotonic(), cpu_ticks(pid), switches(pid)
    moves = 0
    next_move = t0 + input_every if input_every > 0 else float("inf")
    while (now := time.monotonic()) - t0 < window:
        if now >= next_move:
            moves += 1
            subprocess.run(["xdotool", "mousemove", str(100 + 40 * (moves % 10)), "200"],
                           env=dict(os.environ, DISPLAY=display), check=True)
            next_move += input_every
        time.sleep(min(0.5, max(0.0, next_move - time.monotonic())))
    elapsed = time.monotonic() - t0
    wakes = switches(pid) - s0
    cpu = 100.0 * (cpu_ticks(pid) - c0) / TICK / elapsed
    return {"elapsed": elapsed, "wakes": wakes, "per_hour": wakes * 3600.0 / elapsed, "cpu": cpu, "moves": moves,
            "rss": status_kb(pid, "VmRSS") / 1024.0}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    ap.add_argument("--window", type=float, default=60.0)
    ap.add_argument("--input-every", type=float, default=3.0)
    ap.add_argument("--settle", type=float, default=3.0)
    ap.add_argument("--idle-seconds", type=int, default=3600)
    args = ap.parse_args()
    brivane = os.path.join(os.path.abspath(args.build), "src", "app", "brivane")
    if not os.access(brivane, os.X_OK):
        sys.exit(f"no {brivane}: build the brivane target first")

    work = tempfile.mkdtemp(prefix="brivane-idle-bench-")
    for d in ("state", "runtime", "config"):
        os.mkdir(os.path.join(work, d), 0o700)
    xvfb = watcher = None
    try:
        xvfb, display = start_xvfb()
        env = dict(os.environ, DISPLAY=display, BRIVANE_IDLE_SECONDS=str(args.idle_seconds), XDG_SESSION_TYPE="x11",
                   BRIVANE_STORE=os.path.join(work, "config", "brivane.reg"),
                   XDG_STATE_HOME=os.path.join(work, "state"), XDG_RUNTIME_DIR=os.path.join(work, "runtime"),
                   # A saver that ends at once stands in (it would only start with a short idle time).
                   BRIVANE_IDLE_SAVER="/bin/true")
        env.pop("WAYLAND_DISPLAY", None)
        watcher = subprocess.Popen([brivane, "--idle"], env=env, stdin=subprocess.DEVNULL)
        time.sleep(args.settle)
        if watcher.poll() is not None:
            sys.exit(f"brivane --idle ended early with {watcher.returncode}")
        results = [("input every %g s" % args.input_every,
                    measure(watcher.pid, args.window, args.input_every, display)),
                   ("no input", measure(watcher.pid, args.window, 0, display))]
        threads = len(os.listdir(f"/proc/{watcher.pid}/task"))
    finally:
        if watcher is not None and watcher.poll() is None:
            watcher.send_signal(signal.SIGTERM)
            watcher.wait(10)
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait(10)

    ok = True
    print(f"brivane --idle, idle time {args.idle_seconds} s, {threads} thread(s)")
    for name, r in results:
        # The goal is per idle hour: an idle time under an hour may wake once per idle time.
        goal = WAKE_GOAL * max(1.0, 3600.0 / args.idle_seconds)
        good = r["per_hour"] <= goal and r["cpu"] <= CPU_GOAL
        ok = ok and good
        print(f"  {name:18} {r['elapsed']:5.1f} s, {r['moves']:3d} pointer moves: {r['wakes']:3d} wake-ups "
              f"({r['per_hour']:.0f} per hour, goal <= {goal:.0f}), CPU {r['cpu']:.4f} % of a core "
              f"(goal <= {CPU_GOAL} %), RSS {r['rss']:.1f} MB {'ok' if good else 'MISSED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
