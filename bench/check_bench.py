#!/usr/bin/env python3
"""Checks one IMAP account with 2,000 unseen messages in one folder on a
loopback Dovecot: brivane against the same command sequence run by Python's
imaplib (LOGIN, CAPABILITY x2, LIST, SELECT, STATUS, SEARCH UNSEEN, per
message FETCH (RFC822.HEADER) and FETCH (UID), SEARCH NEW, LOGOUT), one
command at a time, in the same run.

    bench/check_bench.py [BUILD_DIR] [--messages N] [--rounds R] [--rtt MS] [--trace]
    bench/check_bench.py --selftest

Without --rtt: `brivane --check --json` against imaplib, straight to
Dovecot: wall time and client CPU of both, every round and the medians
(default 5 rounds), and their ratios against the goals (wall <= 0.7,
CPU <= 0.4).

With --rtt MS: both clients reach Dovecot through a latency proxy on
loopback that holds each direction's bytes for half the round trip (each
chunk is stamped when read and forwarded at that time plus the delay, in
order, without any bandwidth limit; the connection to Dovecot is opened
half a round trip after the client's). The proxy counts the round trips a
client waited for: one each time the client sends after the proxy has
delivered it something since its previous send, so commands sent without
waiting for the replies in between count once. brivane runs as
bench/brivane_check_driver, which checks the store's accounts twice in one
process as the saver does: the first check, then a re-check of the
unchanged folder that may use what the first one kept in memory. imaplib's
re-check is the same sequence again on a new connection. Reported per
client and check: wall time, CPU time (brivane: its whole process; imaplib:
the thread that runs it, without the proxy's threads) and round trips; then
the goals, stated for 2,000 unseen at --rtt 20: first check brivane/imaplib
wall <= 0.05, re-check wall <= 0.5 s, and re-check round trips that do not
grow with the message count (compare runs with --messages 20 and 2000).
Default 1 round (imaplib needs about 80 s a round for 2,000 messages at
20 ms). --trace prints the commands of each brivane check as the proxy saw
them, the LOGIN password masked and runs of commands of one form shortened.

--selftest checks the proxy alone against an echo server: a known number
of exchanges gives that many round trips and takes as long as they should,
commands sent together count once, bytes arrive complete and in order.

BUILD_DIR defaults to ./build: it must hold src/app/brivane and, for --rtt,
bench/brivane_check_driver (configure with -DBRIVANE_BENCH=ON). Starts its
own Dovecot with the test harness (tests/support/dovecot/start.sh) and
stops it.
"""
import argparse
import collections
import email
import email.header
import email.utils
import imaplib
import json
import os
import re
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDER = "Bench"


class Link:
    """One client connection through the proxy: two pumps, each a reader
    that stamps the chunks it reads and a writer that forwards each at its
    stamp plus the delay. Keeps the client's bytes (for --trace) and the
    round trips it waited for."""

    def __init__(self, client, upstream, delay):
        self.client = client
        self.upstream = upstream
        self.delay = delay
        self.lock = threading.Lock()
        self.round_trips = 0
        self.sent_to_client = False  # since the client's previous send
        self.client_bytes = bytearray()
        self.server = None
        self.pumps_left = 2
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        # The connection to the server starts as the client's would arrive.
        time.sleep(self.delay)
        try:
            self.server = socket.create_connection(self.upstream, timeout=30)
            self.server.settimeout(None)
        except OSError:
            self.client.close()
            return
        for s in (self.client, self.server):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._pump(self.client, self.server, self._from_client, None)
        self._pump(self.server, self.client, None, self._to_client)

    def _from_client(self, data):
        with self.lock:
            if self.sent_to_client:
                self.round_trips += 1
                self.sent_to_client = False
            self.client_bytes += data

    def _to_client(self):
        # Before the bytes are written: a reply to them is then always seen
        # after the mark.
        with self.lock:
            self.sent_to_client = True

    def _pump_ended(self):
        # Both directions have forwarded their end (or failed): the sockets
        # go, which also wakes a reader still waiting on one.
        with self.lock:
            self.pumps_left -= 1
            if self.pumps_left:
                return
        for s in (self.client, self.server):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def _pump(self, source, target, on_read, before_write):
        chunks = collections.deque()
        ready = threading.Condition()

        def read():
            while True:
                try:
                    data = source.recv(65536)
                except OSError:
                    data = b""
                stamp = time.monotonic() + self.delay
                if data and on_read:
                    on_read(data)
                with ready:
                    chunks.append((stamp, data))
                    ready.notify()
                if not data:
                    return

        def write():
            forward()
            self._pump_ended()

        def forward():
            while True:
                with ready:
                    ready.wait_for(lambda: chunks)
                    due, data = chunks.popleft()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                if not data:
                    try:
                        target.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                    return
                if before_write:
                    before_write()
                try:
                    target.sendall(data)
                except OSError:
                    return

        threading.Thread(target=read, daemon=True).start()
        threading.Thread(target=write, daemon=True).start()


class LatencyProxy:
    """Listens on loopback and links every client to `upstream` with a delay
    of half `rtt_ms` each way. `links` grows as clients connect: a check's
    links are those made between two looks at its length."""

    def __init__(self, upstream, rtt_ms):
        # A pump waiting for the interpreter lock must not add its own delay.
        sys.setswitchinterval(0.0005)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.links = []
        delay = rtt_ms / 2000.0

        def accept():
            while True:
                try:
                    client, _ = self.listener.accept()
                except OSError:
                    return
                self.links.append(Link(client, upstream, delay))

        threading.Thread(target=accept, daemon=True).start()

    def round_trips(self, first, end):
        return sum(link.round_trips for link in self.links[first:end])

    def close(self):
        self.listener.close()


def client_commands(data):
    """The client's commands in `data`, each with its literals inline."""
    commands = []
    command = b""
    i = 0
    while i < len(data):
        end = data.find(b"\n", i)
        end = len(data) if end < 0 else end + 1
        line = data[i:end]
        i = end
        command += line.rstrip(b"\r\n")
        literal = re.search(rb"\{(\d+)\+?\}$", command)
        if literal and line.endswith(b"\n"):
            size = int(literal.group(1))
            command += b" " + data[i:i + size]
            i += size
            continue
        commands.append(command.decode("utf-8", "replace"))
        command = b""
    return commands


def mask_login(command):
    """The command with a LOGIN's password (or both arguments, when the user
    name is a literal) replaced by ***."""
    match = re.match(r"(\S+ LOGIN )(.*)$", command, re.IGNORECASE | re.DOTALL)
    if not match:
        return command
    rest = match.group(2)
    user = re.match(r'"(?:[^"\\]|\\.)*"|[^\s{"]+', rest)
    return match.group(1) + (user.group(0) + " ***" if user else "***")


def shortened(commands):
    """The commands with each run of a repeated block (of one to three
    commands of one form each, tags and numbers aside) given as its first
    block and a count of the repeats."""
    forms = [re.sub(r"\d+", "#", c.split(" ", 1)[-1]) for c in commands]
    out = []
    i = 0
    while i < len(commands):
        best_size, best_repeats = 1, 1
        for size in (1, 2, 3):
            repeats = 1
            while forms[i + repeats * size:i + (repeats + 1) * size] == forms[i:i + size]:
                repeats += 1
            if repeats > 1 and repeats * size > best_repeats * best_size:
                best_size, best_repeats = size, repeats
        out += commands[i:i + best_size]
        if best_repeats > 1:
            what = "this command" if best_size == 1 else f"these {best_size} commands"
            out.append(f"  ... {what} again {best_repeats - 1} more time{'s' if best_repeats > 2 else ''}"
                       " (other numbers)")
        i += best_size * best_repeats
    return out


def selftest():
    """The proxy against an echo server that greets first."""
    rtt_ms = 40
    server = socket.create_server(("127.0.0.1", 0))

    def echo():
        while True:
            try:
                conn, _ = server.accept()
            except OSError:
                return
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

            def serve(c):
                c.sendall(b"hello\n")
                while data := c.recv(65536):
                    c.sendall(data)
                c.close()

            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    threading.Thread(target=echo, daemon=True).start()
    proxy = LatencyProxy(server.getsockname(), rtt_ms)

    def exchange(pieces):
        """Connects, waits for the greeting, sends each of `pieces` (a list of
        chunk lists: the chunks of one piece go without waiting for replies,
        a number among them is a pause in seconds), waiting after each piece
        for its echo. Returns (elapsed s, round trips, bytes echoed)."""
        first = len(proxy.links)
        start = time.monotonic()
        c = socket.create_connection(("127.0.0.1", proxy.port), timeout=10)
        c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        reader = c.makefile("rb")
        assert reader.readline() == b"hello\n"
        echoed = bytearray()
        for chunks in pieces:
            size = 0
            for chunk in chunks:
                if isinstance(chunk, float):
                    time.sleep(chunk)
                    continue
                c.sendall(chunk)
                size += len(chunk)
            echoed += reader.read(size)
        elapsed = time.monotonic() - start
        c.close()
        return elapsed, proxy.round_trips(first, first + 1), bytes(echoed)

    big = bytes((i * 7 + i // 251) % 256 for i in range(1 << 20))
    rows = [
        # name, pieces, round trips, exchanges that wait a full round trip
        ("10 exchanges, one at a time", [[f"ping {i}\n".encode()] for i in range(10)], 10, 11),
        ("5 commands sent together", [[f"ping {i}\n".encode() for i in range(5)]], 1, 2),
        # The first reply has left the server but not yet arrived: not waited for.
        ("a command sent while a reply is on its way", [[b"ping 0\n", rtt_ms * 0.75e-3, b"ping 1\n"]], 1, 2),
        ("1 MiB in 64 KiB chunks", [[big[i:i + 65536] for i in range(0, len(big), 65536)]], 1, 2),
    ]
    failed = False
    for name, pieces, want_trips, waits in rows:
        elapsed, trips, echoed = exchange(pieces)
        sent = b"".join(c for chunks in pieces for c in chunks if isinstance(c, bytes))
        low = waits * rtt_ms / 1000.0 + sum(c for chunks in pieces for c in chunks if isinstance(c, float))
        ok = trips == want_trips and echoed == sent and low * 0.95 <= elapsed <= low + 0.5
        failed |= not ok
        print(f"{'ok  ' if ok else 'FAIL'} {name}: {trips} round trips (want {want_trips}), "
              f"{elapsed * 1000:.0f} ms (want {low * 1000:.0f} ms or a little more), "
              f"{'bytes intact' if echoed == sent else 'BYTES DIFFER'}")
    commands = client_commands(b'a1 LOGIN "user" "se\\"cret"\r\na2 LOGIN {4}\r\nuser {6}\r\nsecret\r\n'
                               b"a3 FETCH 1 (UID)\r\na4 FETCH 2 (UID)\r\na5 FETCH 3 (UID)\r\n"
                               b"a6 FETCH 1 (RFC822.HEADER)\r\na7 FETCH 1 (UID)\r\n"
                               b"a8 FETCH 2 (RFC822.HEADER)\r\na9 FETCH 2 (UID)\r\na10 LOGOUT\r\n")
    masked = shortened([mask_login(c) for c in commands])
    want = ['a1 LOGIN "user" ***', "a2 LOGIN ***", "a3 FETCH 1 (UID)",
            "  ... this command again 2 more times (other numbers)", "a6 FETCH 1 (RFC822.HEADER)",
            "a7 FETCH 1 (UID)", "  ... these 2 commands again 1 more time (other numbers)", "a10 LOGOUT"]
    ok = masked == want
    failed |= not ok
    print(f"{'ok  ' if ok else 'FAIL'} trace lines: {masked}")
    proxy.close()
    server.close()
    return 1 if failed else 0


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


def write_store(path, env, port):
    with open(path, "w", encoding="utf-8") as f:
        f.write("Windows Registry Editor Version 5.00\n\n"
                "[HKEY_CURRENT_USER\\Software\\torvex\\Brivane\\1.0\\Accounts\\0 Bench]\n"
                '"isIMAP"=dword:00000001\n'
                f'"username"="{env["USER"]}"\n'
                f'"password"="{scramble(env["PASSWORD"])}"\n'
                f'"server"="{env["HOST"]}"\n'
                f'"port"=dword:{port:08x}\n'
                '"useTLS"=dword:00000000\n'
                f'"usersFolders"="{FOLDER};{FOLDER}"\n')


def brivane_env(store, state, ca_file):
    # The harness's CA as the trust store: brivane verifies the server's certificate.
    return dict(os.environ, BRIVANE_STORE=store, XDG_STATE_HOME=state, SSL_CERT_FILE=ca_file)


def run_brivane(exe, env, expected):
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


def run_driver(driver, env, expected, proxy):
    """The driver's two checks through the proxy: per check (wall, CPU,
    round trips, the client's commands) and whether new mail was flagged."""
    checks = []
    errors = tempfile.TemporaryFile("w+")  # a file: a pipe could fill while stdout is read
    proc = subprocess.Popen([driver, "--cycles", "2", "--timeout", "600"], env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=errors, text=True)
    try:
        first = len(proxy.links)
        line = ""
        for n in (1, 2):
            if n == 2:
                try:
                    proc.stdin.write("go\n")
                    proc.stdin.flush()
                except BrokenPipeError:
                    break
            line = proc.stdout.readline()
            end = len(proxy.links)
            if not line:
                break
            doc = json.loads(line)
            if not doc["finished"] or doc["rows"] != expected:
                break
            commands = []
            for link in proxy.links[first:end]:
                with link.lock:
                    commands += client_commands(bytes(link.client_bytes))
            checks.append((doc["wall"], doc["cpu"], proxy.round_trips(first, end),
                           [mask_login(c) for c in commands], doc["newMail"]))
            first = end
        try:
            proc.stdin.close()
        except BrokenPipeError:
            pass
        status = proc.wait(timeout=60)
        errors.seek(0)
        err = errors.read()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    if status != 0 or len(checks) != 2:
        sys.exit(f"brivane_check_driver failed: status {status}, last line {line.strip()!r}, "
                 f"{expected} rows expected\n{err}")
    return checks


def decode(value):
    return str(email.header.make_header(email.header.decode_header(value or "")))


def run_imaplib(host, port, user, password, expected):
    # The CPU of this thread only: a proxy's threads run in the same process.
    start_cpu = time.thread_time()
    start = time.perf_counter()
    m = imaplib.IMAP4(host, port)
    m.login(user, password)
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
    cpu = time.thread_time() - start_cpu
    if len(rows) != expected:
        sys.exit(f"imaplib listed {len(rows)} messages")
    return wall, cpu


def loopback(args, exe, store, state, env):
    """Both clients straight to Dovecot, as many rounds as asked."""
    benv = brivane_env(store, state, env["CA_FILE"])
    login = (env["HOST"], int(env["IMAP_PORT"]), env["USER"], env["PASSWORD"], args.messages)
    results = {"brivane": [], "imaplib": []}
    # Warm up both (server caches, index files), then alternate.
    run_brivane(exe, benv, args.messages)
    run_imaplib(*login)
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    for r in range(args.rounds):
        results["brivane"].append(run_brivane(exe, benv, args.messages))
        results["imaplib"].append(run_imaplib(*login))
        (bw, bc), (iw, ic) = results["brivane"][-1], results["imaplib"][-1]
        print(f"round {r + 1}: brivane wall {bw:.3f} s CPU {bc:.3f} s | imaplib wall {iw:.3f} s CPU {ic:.3f} s"
              f" | load {os.getloadavg()[0]:.2f}", flush=True)
    med = {k: (statistics.median(w for w, _ in v), statistics.median(c for _, c in v)) for k, v in results.items()}
    print(f"{args.messages} unseen messages in one IMAP folder, loopback Dovecot, median of {args.rounds} rounds")
    print(f"{'client':<22}{'wall s':>10}{'client CPU s':>15}")
    print(f"{'brivane --check':<22}{med['brivane'][0]:>10.3f}{med['brivane'][1]:>15.3f}")
    print(f"{'Python imaplib':<22}{med['imaplib'][0]:>10.3f}{med['imaplib'][1]:>15.3f}")
    print(f"ratio brivane/imaplib: wall {med['brivane'][0] / med['imaplib'][0]:.2f} (goal <= 0.7), "
          f"CPU {med['brivane'][1] / med['imaplib'][1]:.2f} (goal <= 0.4)")


def slow_link(args, exe, driver, work, env):
    """Both clients through the latency proxy: first check and re-check."""
    host, port = env["HOST"], int(env["IMAP_PORT"])
    state = os.path.join(work, "state")
    direct_store = os.path.join(work, "brivane.reg")
    write_store(direct_store, env, port)
    proxy = LatencyProxy((host, port), args.rtt)
    proxied_store = os.path.join(work, "brivane-proxied.reg")
    write_store(proxied_store, env, proxy.port)
    login = (env["USER"], env["PASSWORD"], args.messages)
    # Warm up both straight to Dovecot (server caches, index files).
    run_brivane(exe, brivane_env(direct_store, state, env["CA_FILE"]), args.messages)
    run_imaplib(host, port, *login)
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    names = ("first", "re-check")
    results = {(c, n): [] for c in ("brivane", "imaplib") for n in names}
    for r in range(args.rounds):
        checks = run_driver(driver, brivane_env(proxied_store, state, env["CA_FILE"]), args.messages, proxy)
        for name, (wall, cpu, trips, commands, new_mail) in zip(names, checks):
            results[("brivane", name)].append((wall, cpu, trips))
            if args.trace and r == 0:
                label = "first check" if name == "first" else name
                print(f"brivane {label}: {len(commands)} commands, new mail flagged: {new_mail}")
                for line in shortened(commands):
                    print(f"  {line}")
        for name in names:
            first = len(proxy.links)
            wall, cpu = run_imaplib(host, proxy.port, *login)
            results[("imaplib", name)].append((wall, cpu, proxy.round_trips(first, len(proxy.links))))
        row = " | ".join(f"{c} {n} {v[-1][0]:.3f} s CPU {v[-1][1]:.3f} s {v[-1][2]} rt" for (c, n), v in results.items())
        print(f"round {r + 1}: {row} | load {os.getloadavg()[0]:.2f}", flush=True)
    proxy.close()
    med = {k: tuple(statistics.median(x[i] for x in v) for i in range(3)) for k, v in results.items()}
    print(f"{args.messages} unseen messages in one IMAP folder, Dovecot behind a {args.rtt:g} ms round trip, "
          f"median of {args.rounds} round{'s' if args.rounds != 1 else ''}")
    print(f"{'client':<26}{'check':<10}{'wall s':>10}{'CPU s':>10}{'round trips':>13}")
    for (client, name), (wall, cpu, trips) in med.items():
        label = "brivane (check driver)" if client == "brivane" else "Python imaplib"
        print(f"{label:<26}{name:<10}{wall:>10.3f}{cpu:>10.3f}{trips:>13.0f}")
    if args.messages != 2000 or args.rtt != 20:
        print("the goals below are stated for 2,000 unseen at --rtt 20")
    bw, bc, _ = med[("brivane", "first")]
    iw, ic, _ = med[("imaplib", "first")]
    rw, _, rt = med[("brivane", "re-check")]
    print(f"first check ratio brivane/imaplib: wall {bw / iw:.3f} (goal <= 0.05), CPU {bc / ic:.3f}")
    print(f"re-check wall: brivane {rw:.3f} s (goal <= 0.5 s)")
    print(f"re-check round trips: brivane {rt:.0f} with {args.messages} messages "
          f"(goal: the same with --messages 20 and 2000)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--rounds", type=int, help="rounds measured (default 5, with --rtt 1)")
    parser.add_argument("--rtt", type=float, help="round trip in ms added by a proxy between clients and Dovecot")
    parser.add_argument("--trace", action="store_true", help="with --rtt: print the commands of brivane's checks")
    parser.add_argument("--selftest", action="store_true", help="check the latency proxy against an echo server")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (logs, store, Dovecot files)")
    args = parser.parse_args()
    if args.selftest:
        sys.exit(selftest())
    if args.rtt is not None and not 0 <= args.rtt <= 10000:
        sys.exit("--rtt takes 0 to 10000 ms")
    if args.trace and args.rtt is None:
        sys.exit("--trace needs --rtt (the proxy sees the commands)")
    if args.rounds is None:
        args.rounds = 5 if args.rtt is None else 1
    exe = os.path.join(args.build, "src", "app", "brivane")
    driver = os.path.join(args.build, "bench", "brivane_check_driver")
    for path, need in ((exe, True), (driver, args.rtt is not None)):
        if need and not os.access(path, os.X_OK):
            sys.exit(f"{path} not found: build the project first (benchmarks: -DBRIVANE_BENCH=ON)")
    work = tempfile.mkdtemp(prefix="brivane-bench-")
    os.chmod(work, 0o755)  # the server's own users must reach their files
    harness = os.path.join(ROOT, "tests", "support", "dovecot")
    dovecot = os.path.join(work, "dovecot")
    try:
        make_mail(os.path.join(work, "mail"), args.messages)
        subprocess.run([os.path.join(harness, "start.sh"), dovecot, os.path.join(work, "mail")], check=True,
                       stdout=subprocess.DEVNULL)
        env = read_env(os.path.join(dovecot, "env"))
        if args.rtt is None:
            store = os.path.join(work, "brivane.reg")
            write_store(store, env, int(env["IMAP_PORT"]))
            loopback(args, exe, store, os.path.join(work, "state"), env)
        else:
            slow_link(args, exe, driver, work, env)
    finally:
        subprocess.run([os.path.join(harness, "stop.sh"), dovecot], check=False)
        if args.keep:
            print(f"work folder kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
