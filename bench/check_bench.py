#!/usr/bin/env python3
"""Checks one IMAP account with 2,000 unseen messages in one folder on a
loopback Dovecot: `brivane --check --json` against the same command sequence
run by Python's imaplib (LOGIN, CAPABILITY x2, LIST, SELECT, STATUS, SEARCH
UNSEEN, per message FETCH (RFC822.HEADER) and FETCH (UID), SEARCH NEW,
LOGOUT), in the same run. Reports wall time and client CPU of both, every round and the medians.

    bench/check_bench.py [BUILD_DIR] [--messages N] [--rounds R]

BUILD_DIR defaults to ./build (it must hold src/app/brivane). Starts its own
Dovecot with the test harness (tests/support/dovecot/start.sh) and stops it.
"""
import argparse
import email
import email.header
import email.utils
import imaplib
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDER = "Bench"


def make_mail(data, count):
    os.makedirs(os.path.join(data, "INBOX", "cur"))
    new = os.path.join(data, FOLDER, "new")
    os.makedirs(new)
    for i in range(count):
        body = f"Hello,\r\nthis is message {i} of the benchmark.\r\n" + "Some text. " * 40 + "\r\n"
        msg = (
            f"Return-Path: <sender{i}@example.org>\r\n"
            f"Received: from mx{i % 7}.example.org by mail.test; Sun, 6 Dec 2026 10:{i % 60:02d}:00 +0100\r\n"
            f"Received: from client.example.org by mx{i % 7}.example.org; Sun, 6 Dec 2026 10:{i % 60:02d}:00 +0100\r\n"
            f"From: =?ISO-8859-1?Q?J=F6rg_Sender_{i}?= <sender{i}@example.org>\r\n"
            f"To: brivane@example.test\r\n"
            f"Subject: =?UTF-8?Q?Benchmark_message_{i}_=E2=82=AC?=\r\n"
            f"Date: Sun, 6 Dec 2026 10:{i % 60:02d}:{i % 60:02d} +0100\r\n"
            f"Message-ID: <bench{i}@example.org>\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=utf-8\r\n"
            "\r\n" + body)
        with open(os.path.join(new, f"{i:05d}.eml"), "w", encoding="utf-8", newline="") as f:
            f.write(msg)


def read_env(path):
    env = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            env[key] = value[1:-1].replace("'\\''", "'")
    return env


def scramble(password):
    out = []
    for b in password.encode():
        c = b ^ 0xFF
        out.append(chr(c) if c in (0x81, 0x8D, 0x8F, 0x90, 0x9D) else bytes([c]).decode("cp1252"))
    return "".join(out).replace("\\", "\\\\").replace('"', '\\"')


def write_store(path, env):
    with open(path, "w", encoding="utf-8") as f:
        f.write("Windows Registry Editor Version 5.00\n\n"
                "[HKEY_CURRENT_USER\\Software\\torvex\\Brivane\\1.0\\Accounts\\0 Bench]\n"
                '"isIMAP"=dword:00000001\n'
                f'"username"="{env["USER"]}"\n'
                f'"password"="{scramble(env["PASSWORD"])}"\n'
                f'"server"="{env["HOST"]}"\n'
                f'"port"=dword:{int(env["IMAP_PORT"]):08x}\n'
                '"useTLS"=dword:00000000\n'
                f'"usersFolders"="{FOLDER};{FOLDER}"\n')


def run_brivane(exe, store, state, ca_file, expected):
    # The harness's CA as the trust store: brivane verifies the server's certificate.
    env = dict(os.environ, BRIVANE_STORE=store, XDG_STATE_HOME=state, SSL_CERT_FILE=ca_file)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    out = subprocess.run([exe, "--check", "--json", "--timeout", "600"], env=env, capture_output=True, check=False)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    doc = json.loads(out.stdout)
    rows = len(doc["accounts"][0]["messages"])
    if out.returncode != 0 or rows != expected:
        sys.exit(f"brivane --check failed: status {out.returncode}, {rows} rows\n{out.stdout.decode()[:2000]}\n{out.stderr.decode()}")
    return wall, cpu


def decode(value):
    return str(email.header.make_header(email.header.decode_header(value or "")))


def run_imaplib(env, expected):
    start_cpu = time.process_time()
    start = time.perf_counter()
    m = imaplib.IMAP4(env["HOST"], int(env["IMAP_PORT"]))
    m.login(env["USER"], env["PASSWORD"])
    m.capability()
    m.capability()
    m.list('""', "*")
    m.select(f'"{FOLDER}"')
    m.status(f'"{FOLDER}"', "(MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)")
    _, data = m.search(None, "UNSEEN")
    numbers = data[0].split()
    rows = []
    for n in numbers:
        _, header = m.fetch(n, "(RFC822.HEADER)")
        _, uid = m.fetch(n, "(UID)")
        msg = email.message_from_bytes(header[0][1])
        name, address = email.utils.parseaddr(decode(msg["From"]))
        date = msg["Date"]
        rows.append((name or address, decode(msg["Subject"]),
                     email.utils.parsedate_to_datetime(date) if date else None, uid[0]))
    m.search(None, "NEW")
    m.logout()
    wall = time.perf_counter() - start
    cpu = time.process_time() - start_cpu
    if len(rows) != expected:
        sys.exit(f"imaplib listed {len(rows)} messages")
    return wall, cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--keep", action="store_true", help="keep the work folder (logs, store, Dovecot files)")
    args = parser.parse_args()
    exe = os.path.join(args.build, "src", "app", "brivane")
    if not os.access(exe, os.X_OK):
        sys.exit(f"{exe} not found: build the project first")
    work = tempfile.mkdtemp(prefix="brivane-bench-")
    os.chmod(work, 0o755)  # the server's own users must reach their files
    harness = os.path.join(ROOT, "tests", "support", "dovecot")
    dovecot = os.path.join(work, "dovecot")
    try:
        make_mail(os.path.join(work, "mail"), args.messages)
        subprocess.run([os.path.join(harness, "start.sh"), dovecot, os.path.join(work, "mail")], check=True,
                       stdout=subprocess.DEVNULL)
        env = read_env(os.path.join(dovecot, "env"))
        store = os.path.join(work, "brivane.reg")
        write_store(store, env)
        results = {"brivane": [], "imaplib": []}
        # Warm up both (server caches, index files), then alternate.
        run_brivane(exe, store, os.path.join(work, "state"), env["CA_FILE"], args.messages)
        run_imaplib(env, args.messages)
        print(f"load average before: {os.getloadavg()[0]:.2f}")
        for r in range(args.rounds):
            results["brivane"].append(run_brivane(exe, store, os.path.join(work, "state"), env["CA_FILE"], args.messages))
            results["imaplib"].append(run_imaplib(env, args.messages))
            (bw, bc), (iw, ic) = results["brivane"][-1], results["imaplib"][-1]
            print(f"round {r + 1}: brivane wall {bw:.3f} s CPU {bc:.3f} s | imaplib wall {iw:.3f} s CPU {ic:.3f} s"
                  f" | load {os.getloadavg()[0]:.2f}", flush=True)
        med = {k: (statistics.median(w for w, _ in v), statistics.median(c for _, c in v)) for k, v in results.items()}
        print(f"{args.messages} unseen messages in one IMAP folder, loopback Dovecot, median of {args.rounds} rounds")
        print(f"{'client':<22}{'wall s':>10}{'client CPU s':>15}")
        print(f"{'brivane --check':<22}{med['brivane'][0]:>10.3f}{med['brivane'][1]:>15.3f}")
        print(f"{'Python imaplib':<22}{med['imaplib'][0]:>10.3f}{med['imaplib'][1]:>15.3f}")
        print(f"ratio brivane/imaplib: wall {med['brivane'][0] / med['imaplib'][0]:.2f}, "
              f"CPU {med['brivane'][1] / med['imaplib'][1]:.2f}")
    finally:
        subprocess.run([os.path.join(harness, "stop.sh"), dovecot], check=False)
        if args.keep:
            print(f"work folder kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
