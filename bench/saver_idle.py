#!/usr/bin/env python3
"""What the full-screen saver costs while it sits there: `brivane /s` at
1024x768 under its own Xvfb with two accounts (IMAP over TLS and POP3 on a
loopback Dovecot, 25 unseen messages each: 50 rows), measured for 60 s
starting 10 s after the start, panel moves included. Reports

  CPU       utime+stime of the process (/proc/PID/stat) over the window, as a
            share of one core (goal: at most 0.1 %)
  memory    VmRSS at the end and the highest sample (goal: at most 40 MB),
            Pss beside it (VmRSS counts every shared library page in full,
            Pss only this process's share), and the mappings that hold the
            most (/proc/PID/smaps, grouped by file; anonymous ones by kind)
  wake-ups  voluntary + involuntary context switches of all its threads
            (/proc/PID/task/*/status) per second between panel moves (goal:
            at most 1 a second; half-second samples, those around a move
            left out), over the whole window, each thread by name, and
            `perf stat -e context-switches` over the window when perf works
  Xvfb      the X server's CPU over the window (the drawing it is asked for)

    bench/saver_idle.py [BUILD_DIR] [--window S] [--settle S] [--poll-ms MS]
                        [--compositor] [--perf-record FILE]

BUILD_DIR defaults to ./build (it must hold src/app/brivane). The poll
interval is the default 5 minutes, so the window holds no mail check; pass
--poll-ms 60000 (the shortest interval the settings accept; a shorter one is
raised to it) and a window over a minute to include checks. The IMAP account
uses TLS and verifies the harness's certificate (SSL_CERT_FILE is set to the
harness's CA). --perf-record FILE also samples the saver with `perf record
-g` over the window. The panel moves every 20 s (a fade-out and a fade-in
each time), so the window holds three moves. --compositor runs xcompmgr on
the X server (skipped when it is not installed): the fades are seen there
and take ten-millisecond steps, so those figures have no goal. Exit status 0 when every goal is met, 1 otherwise.
"""
import argparse
import email.utils
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HARNESS = os.path.join(ROOT, "tests", "support", "dovecot")
CPU_GOAL = 0.1   # per cent of one core
RSS_GOAL = 40.0  # MB
WAKE_GOAL = 1.0  # context switches a second, all threads
TICK = os.sysconf("SC_CLK_TCK")


def make_mail(data, count):
    os.makedirs(os.path.join(data, "INBOX", "cur"))
    new = os.path.join(data, "INBOX", "new")
    os.makedirs(new)
    now = time.time()
    for i in range(count):
        date = email.utils.formatdate(now - 600 * (i + 1), localtime=True)
        with open(os.path.join(new, f"{i:03d}.eml"), "w", encoding="utf-8") as f:
            f.write(f"From: Sender {i % 9} <sender{i % 9}@example.org>\r\n"
                    f"To: bench@example.test\r\nSubject: Message {i} of the idle benchmark\r\n"
                    f"Date: {date}\r\nMessage-ID: <idle{i}@example.org>\r\n\r\n"
                    "A line of body text for the preview, long enough to be cut.\r\n")


def scrambled(text):
    return "".join(chr(c) if c in (0x81, 0x8d, 0x8f, 0x90, 0x9d) else bytes([c]).decode("cp1252")
                   for c in (b ^ 0xFF for b in text.encode()))


def write_store(path, env, poll_ms):
    def value(name, v):
        if isinstance(v, int):
            return f'"{name}"=dword:{v:08x}'
        return '"%s"="%s"' % (name, v.replace("\\", "\\\\").replace('"', '\\"'))
    base = "HKEY_CURRENT_USER\\Software\\torvex\\Brivane\\1.0"
    keys = {
        "Main": {"pollInterval": poll_ms, "checkForUpdates": 0, "hideFolders": 0},
        "Modules": {"displayMsgPreview": 1, "displayTime": 1, "displayDate": 1},
        "Accounts": {},
        "Accounts\\0 Imap": {"isIMAP": 1, "username": env["USER"], "password": scrambled(env["PASSWORD"]),
                             "server": env["HOST"], "port": int(env["IMAPS_PORT"]), "useTLS": 1,
                             "usersFolders": "INBOX;Inbox"},
        "Accounts\\1 Pop": {"isIMAP": 0, "username": env["BLANK_USER"],
                            "password": scrambled(env["BLANK_PASSWORD"]), "server": env["HOST"],
                            "port": int(env["POP3_PORT"]), "useTLS": 0},
    }
    with open(path, "w", encoding="utf-8") as f:
        f.write("Windows Registry Editor Version 5.00\r\n")
        for key, values in keys.items():
            f.write(f"\r\n[{base}\\{key}]\r\n")
            for name, v in values.items():
                f.write(value(name, v) + "\r\n")
    os.chmod(path, 0o600)


def read_env(path):
    env = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, v = line.rstrip("\n").partition("=")
            env[key] = v[1:-1].replace("'\\''", "'")
    return env


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


def thread_switches(pid):
    """{tid: (name, voluntary + involuntary context switches)} of the live threads."""
    out = {}
    for task in glob.glob(f"/proc/{pid}/task/*"):
        try:
            with open(os.path.join(task, "comm")) as f:
                name = f.read().strip()
            count = 0
            with open(os.path.join(task, "status")) as f:
                for line in f:
                    if "ctxt_switches" in line:
                        count += int(line.split()[1])
            out[int(os.path.basename(task))] = (name, count)
        except OSError:
            pass  # a thread that just ended
    return out


def smaps_rollup(pid):
    out = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                out[parts[0].rstrip(":")] = int(parts[1])
    return out


def mapping_totals(pid):
    """[(name, Rss kB, Pss kB)] per file or kind of anonymous mapping, largest Pss first."""
    totals = {}
    name = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            head = line.split()
            if not head:
                continue
            if not head[0].endswith(":"):  # a mapping's first line: range perms offset dev inode [path]
                path = head[5] if len(head) > 5 else ""
                name = os.path.basename(path) if path.startswith("/") else path or "[anonymous]"
                totals.setdefault(name, [0, 0])
            elif head[0] in ("Rss:", "Pss:") and name is not None:
                totals[name][0 if head[0] == "Rss:" else 1] += int(head[1])
    return sorted(((n, r, p) for n, (r, p) in totals.items()), key=lambda t: -t[2])


def top_windows(display):
    """The top-level windows with their places (xwininfo), to see the panels move."""
    r = subprocess.run(["xwininfo", "-root", "-children", "-display", display], capture_output=True, text=True)
    return [line.split(None, 1)[1] for line in r.stdout.splitlines() if line.strip().startswith("0x")]


def start_xvfb(work):
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    deadline = time.time() + 10
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


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    ap.add_argument("--window", type=float, default=60.0)
    ap.add_argument("--settle", type=float, default=10.0)
    ap.add_argument("--poll-ms", type=int, default=300000)
    ap.add_argument("--compositor", action="store_true")
    ap.add_argument("--perf-record", metavar="FILE")
    ap.add_argument("--mappings", type=int, default=12, help="how many of the largest mappings to list")
    args = ap.parse_args()
    brivane = os.path.join(os.path.abspath(args.build), "src", "app", "brivane")
    if not os.access(brivane, os.X_OK):
        sys.exit(f"no {brivane}: build the brivane target first")

    work = tempfile.mkdtemp(prefix="brivane-idle-")
    os.chmod(work, 0o755)  # the mail processes (another user under root) reach their Maildirs
    private = os.path.join(work, "private")
    for d in ("", "state", "runtime"):
        os.mkdir(os.path.join(private, d), 0o700)
    dovecot = os.path.join(work, "dovecot")
    xvfb = saver = compositor = None
    try:
        make_mail(os.path.join(work, "mail"), 25)
        subprocess.run([os.path.join(HARNESS, "start.sh"), dovecot, os.path.join(work, "mail")],
                       check=True, stdout=subprocess.DEVNULL)
        env = read_env(os.path.join(dovecot, "env"))
        store = os.path.join(private, "brivane.reg")
        write_store(store, env, args.poll_ms)
        xvfb, display = start_xvfb(work)
        if args.compositor:
            if not shutil.which("xcompmgr"):
                print("no xcompmgr: the compositor figures are skipped")
                return 0
            compositor = subprocess.Popen(["xcompmgr", "-d", display], stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL)
            time.sleep(0.5)
        # SSL_CERT_FILE: the harness's CA, so that the IMAP account's certificate verifies.
        run_env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", BRIVANE_STORE=store,
                       XDG_STATE_HOME=os.path.join(private, "state"),
                       XDG_RUNTIME_DIR=os.path.join(private, "runtime"), SSL_CERT_FILE=env["CA_FILE"])
        saver = subprocess.Popen([brivane, "/s"], env=run_env, stdin=subprocess.DEVNULL)
        time.sleep(args.settle)
        if saver.poll() is not None:
            sys.exit(f"brivane /s ended early with {saver.returncode}")

        perf = record = None
        if shutil.which("perf"):
            perf = subprocess.Popen(["perf", "stat", "-x,", "-e", "context-switches,task-clock", "-p",
                                     str(saver.pid), "--", "sleep", str(args.window)],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            if args.perf_record:
                record = subprocess.Popen(["perf", "record", "-g", "-F", "999", "-o", args.perf_record, "-p",
                                           str(saver.pid), "--", "sleep", str(args.window)],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        t0, c0, x0 = time.monotonic(), cpu_ticks(saver.pid), cpu_ticks(xvfb.pid)
        first = thread_switches(saver.pid)
        peak = 0
        # Half-second samples of the switches and of where the top-level
        # windows are: an interval in which a window moved, appeared or went
        # (and the one on each side of it, for the fades) is a panel move.
        samples = [(t0, first, top_windows(display))]
        while time.monotonic() - t0 < args.window:
            time.sleep(0.5)
            samples.append((time.monotonic(), thread_switches(saver.pid), top_windows(display)))
            peak = max(peak, status_kb(saver.pid, "VmRSS"))
        elapsed = time.monotonic() - t0
        moved = [samples[i][2] != samples[i + 1][2] for i in range(len(samples) - 1)]
        near_move = [any(moved[max(0, i - 1):i + 2]) for i in range(len(moved))]
        quiet_time = quiet_switches = 0.0
        for i, busy in enumerate(near_move):
            if not busy:
                quiet_time += samples[i + 1][0] - samples[i][0]
                quiet_switches += sum(c for _, c in samples[i + 1][1].values()) - \
                    sum(c for _, c in samples[i][1].values())
        moves = sum(1 for i in range(len(moved)) if moved[i] and (i == 0 or not moved[i - 1]))
        quiet = quiet_switches / quiet_time if quiet_time > 0 else float("inf")
        if os.environ.get("BRIVANE_BENCH_TRACE"):
            for i in range(len(moved)):
                per = {n: c - samples[i][1].get(t, (n, 0))[1] for t, (n, c) in samples[i + 1][1].items()}
                print(f"  {samples[i][0] - t0:5.1f} s {'move' if moved[i] else '    '} "
                      + " ".join(f"{n}={c}" for n, c in per.items() if c))
        c1, x1 = cpu_ticks(saver.pid), cpu_ticks(xvfb.pid)
        last = thread_switches(saver.pid)
        rss = status_kb(saver.pid, "VmRSS")
        rollup = smaps_rollup(saver.pid)
        mappings = mapping_totals(saver.pid)

        # Per thread: what it switched in the window (a thread born in it counts from 0).
        per_thread = sorted(((tid, name, count - first.get(tid, (name, 0))[1])
                             for tid, (name, count) in last.items()), key=lambda t: -t[2])
        gone = sum(1 for tid in first if tid not in last)
        wakes = sum(t[2] for t in per_thread) / elapsed
        cpu = 100.0 * (c1 - c0) / TICK / elapsed
        xcpu = 100.0 * (x1 - x0) / TICK / elapsed
        print(f"window            {elapsed:.1f} s from {args.settle:.0f} s after start, poll {args.poll_ms} ms"
              + (", under xcompmgr (no goals)" if args.compositor else ""))
        print(f"saver CPU         {(c1 - c0) * 1000 // TICK} ms = {cpu:.3f} % of one core (goal <= {CPU_GOAL} %)")
        print(f"saver VmRSS       {rss / 1024:.1f} MB at the end, {peak / 1024:.1f} MB peak (goal <= {RSS_GOAL:.0f} MB)")
        print(f"saver Pss         {rollup.get('Pss', 0) / 1024:.1f} MB: anonymous {rollup.get('Pss_Anon', 0) / 1024:.1f}, "
              f"files {rollup.get('Pss_File', 0) / 1024:.1f}, shared memory {rollup.get('Pss_Shmem', 0) / 1024:.1f}")
        print("largest mappings  Rss / Pss MB")
        for name, r, p in mappings[:args.mappings]:
            print(f"  {r / 1024:6.1f} {p / 1024:6.1f}  {name}")
        rest = mappings[args.mappings:]
        print(f"  {sum(m[1] for m in rest) / 1024:6.1f} {sum(m[2] for m in rest) / 1024:6.1f}  "
              f"{len(rest)} others")
        print(f"wake-ups          {quiet:.2f} /s between moves ({quiet_time:.1f} s without a panel move; "
              f"goal <= {WAKE_GOAL:.0f} /s)")
        print(f"                  {wakes:.2f} /s over the whole window with its {moves} moves (context switches "
              f"of {len(last)} threads, /proc)" + (f", {gone} threads ended in the window" if gone else ""))
        for tid, name, count in per_thread:
            print(f"  {count / elapsed:6.2f} /s  {name} ({tid})")
        if perf:
            _, err = perf.communicate()
            counts = {}
            for line in err.splitlines():
                parts = line.split(",")
                if len(parts) > 2 and parts[0].replace(".", "").isdigit():
                    counts[parts[2]] = float(parts[0])
            if "context-switches" in counts:
                print(f"perf              {counts['context-switches'] / elapsed:.1f} context switches/s, "
                      f"task-clock {counts.get('task-clock', 0):.1f} ms")
        if record:
            record.wait()
            print(f"perf record       {args.perf_record}")
        print(f"Xvfb CPU          {(x1 - x0) * 1000 // TICK} ms = {xcpu:.3f} % of one core")
        if args.compositor:
            return 0
        missed = [what for what, ok in (("CPU", cpu <= CPU_GOAL), ("memory", max(rss, peak) <= RSS_GOAL * 1024),
                                        ("wake-ups", quiet <= WAKE_GOAL)) if not ok]
        print("goals met" if not missed else "goal missed: " + ", ".join(missed))
        return 0 if not missed else 1
    finally:
        if saver and saver.poll() is None:
            saver.send_signal(signal.SIGTERM)
            try:
                saver.wait(20)
            except subprocess.TimeoutExpired:
                saver.kill()
        if compositor:
            compositor.terminate()
            compositor.wait()
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        subprocess.run([os.path.join(HARNESS, "stop.sh"), dovecot], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
