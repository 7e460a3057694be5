#!/usr/bin/env python3
"""What the full-screen saver costs while it sits there: `brivane /s` at
1024x768 under its own Xvfb with two accounts (IMAP over TLS and POP3 on a
loopback Dovecot, 25 unseen messages each: 50 rows), measured for 60 s
starting 10 s after the start, panel moves included. Reports

  CPU       utime+stime of the process (/proc/PID/stat) over the window, as a
            share of one core (goal: at most 0.1 %)
  memory    VmRSS at the end and the highest sample (goal: at most 50 MB)
  wake-ups  voluntary + involuntary context switches of all its threads
            (/proc/PID/task/*/status) per second, and `perf stat -e
            context-switches` over the same window when perf works
  Xvfb      the X server's CPU over the window (the drawing it is asked for)

    bench/saver_idle.py [BUILD_DIR] [--window S] [--settle S] [--poll-ms MS]
                        [--perf-record FILE]

BUILD_DIR defaults to ./build (it must hold src/app/brivane). The poll
interval is the default 5 minutes, so the window holds no mail check; pass
--poll-ms 60000 (the shortest interval the settings accept; a shorter one is
raised to it) and a window over a minute to include checks. The IMAP account
uses TLS and verifies the harness's certificate (SSL_CERT_FILE is set to the
harness's CA). --perf-record FILE also samples the saver with `perf record
-g` over the window. Exit status 0 when both goals are met.
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
RSS_GOAL = 50.0  # MB
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
    ap.add_argument("--perf-record", metavar="FILE")
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
    xvfb = saver = None
    try:
        make_mail(os.path.join(work, "mail"), 25)
        subprocess.run([os.path.join(HARNESS, "start.sh"), dovecot, os.path.join(work, "mail")],
                       check=True, stdout=subprocess.DEVNULL)
        env = read_env(os.path.join(dovecot, "env"))
        store = os.path.join(private, "brivane.reg")
        write_store(store, env, args.poll_ms)
        xvfb, display = start_xvfb(work)
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
        t0, c0, s0, x0 = time.monotonic(), cpu_ticks(saver.pid), switches(saver.pid), cpu_ticks(xvfb.pid)
        peak = 0
        while time.monotonic() - t0 < args.window:
            time.sleep(1)
            peak = max(peak, status_kb(saver.pid, "VmRSS"))
        elapsed = time.monotonic() - t0
        c1, s1, x1 = cpu_ticks(saver.pid), switches(saver.pid), cpu_ticks(xvfb.pid)
        rss = status_kb(saver.pid, "VmRSS")
        threads = len(os.listdir(f"/proc/{saver.pid}/task"))

        cpu = 100.0 * (c1 - c0) / TICK / elapsed
        xcpu = 100.0 * (x1 - x0) / TICK / elapsed
        print(f"window            {elapsed:.1f} s from {args.settle:.0f} s after start, poll {args.poll_ms} ms")
        print(f"saver CPU         {(c1 - c0) * 1000 // TICK} ms = {cpu:.3f} % of one core (goal <= {CPU_GOAL} %)")
        print(f"saver VmRSS       {rss / 1024:.1f} MB at the end, {peak / 1024:.1f} MB peak (goal <= {RSS_GOAL:.0f} MB)")
        print(f"wake-ups          {(s1 - s0) / elapsed:.1f} /s (context switches of {threads} threads, /proc)")
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
        ok = cpu <= CPU_GOAL and max(rss, peak) <= RSS_GOAL * 1024
        print("goal met" if ok else "goal missed")
        return 0 if ok else 1
    finally:
        if saver and saver.poll() is None:
            saver.send_signal(signal.SIGTERM)
            try:
                saver.wait(20)
            except subprocess.TimeoutExpired:
                saver.kill()
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        subprocess.run([os.path.join(HARNESS, "stop.sh"), dovecot], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
