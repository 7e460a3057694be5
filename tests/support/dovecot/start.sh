#!/usr/bin/env bash
# Starts a private Dovecot for the integration tests on 127.0.0.1 and
# 127.0.0.2 (the kernel routes all of 127/8 to the loopback device).
#   start.sh WORKDIR MAILDATA
# WORKDIR is emptied and receives the configuration, a test CA and the
# server certificate it signed, the users' Maildirs (copied from MAILDATA),
# the logs and WORKDIR/env: ports, addresses, users and the CA's path as
# KEY='value' lines (read by tests/support/dovecot_env.h). Stop it with
# stop.sh WORKDIR.
#
# Certificates: WORKDIR/ca.pem is a CA made at each start ("Brivane Test
# CA", EC P-256, its key deleted once it has signed); the server's
# certificate (CN=localhost, subjectAltName DNS:localhost, IP:127.0.0.1)
# verifies against it for "localhost" and 127.0.0.1, not for ALT_HOST
# (127.0.0.2): a client trusting the CA (SSL_CERT_FILE=WORKDIR/ca.pem) sees
# a name mismatch there and nothing else. Every listener serves it; the
# plain IMAP and POP3 ports offer STARTTLS / STLS.
#
# Ports: IMAP, POP3, IMAPS and POP3S (TLS from the first byte), free ports
# chosen at start outside the kernel's ephemeral range, so that no client
# connection or port-0 listener of a parallel test can take one between the
# choice and Dovecot's bind; another explicit binder still can, so a start
# that fails on a taken port is tried again with new ports (a bounded number
# of times). The env file appears only once Dovecot listens on its ports.
# A start that fails prints Dovecot's own words and log on standard error.
# Users (passwords in the env file):
#   brivane      main user; POP3 retrieval leaves flags alone
#   blank        password with a blank
#   quote        password with '"', '\' and "é"
#   popdefault   POP3 at the server's default: retrieval sets \Seen
#   oauth        no password: signs in with XOAUTH2 or OAUTHBEARER and the
#                token in WORKDIR/oauth/oauth (TOKEN_FILE in the env file),
#                which a test may replace; every other token is refused
# Each user has his own copy of the mailboxes. The OAuth mechanisms are
# offered to all, but only tokens are checked for them (by token_server.py,
# asked over HTTP at each sign-in), and only passwords for PLAIN and LOGIN.
set -euo pipefail
work=${1:?work directory}
data=${2:?mail data directory}
here=$(cd "$(dirname "$0")" && pwd)

dovecot_bin=$(command -v dovecot || echo /usr/sbin/dovecot)
if [[ ! -x $dovecot_bin ]]; then
  echo "dovecot is not installed (scripts/deps installs it)" >&2
  exit 1
fi

"$here/stop.sh" "$work" >/dev/null 2>&1 || true
# A link left by an earlier start (see below): its folder goes with it.
if [[ -L $work && $(readlink "$work") == /tmp/brivane-dovecot.* ]]; then rm -rf "$(readlink "$work")"; fi
rm -rf "$work"

# True when others may enter every folder from $1 up to /.
open_to_others() {
  local d
  d=$(cd "$1" && pwd -P)
  while :; do
    (( 8#$(stat -c %a "$d") & 1 )) || return 1
    [[ $d == / ]] && return 0
    d=$(dirname "$d")
  done
}
# When we are root the server's own users must reach its files. Under a
# folder closed to others (a clone in a 0700 home or temporary folder) the
# files live in a folder of their own under /tmp, and WORKDIR links to it.
mkdir -p "$(dirname "$work")"
if [[ $(id -u) -eq 0 ]] && ! open_to_others "$(dirname "$work")"; then
  real=$(mktemp -d /tmp/brivane-dovecot.XXXXXX)
  chmod 755 "$real"
  ln -s "$real" "$work"
fi
mkdir -p "$work"/{run,state,log,home}
work=$(cd "$work" && pwd -P)

# The mail processes run as a real, unprivileged system user when we are
# root (CI), else as ourselves.
if [[ $(id -u) -eq 0 ]]; then
  mail_user=nobody
  login_user=dovenull
  internal_user=dovecot
  getent passwd dovenull >/dev/null || login_user=nobody
  getent passwd dovecot >/dev/null || internal_user=nobody
else
  mail_user=$(id -un)
  login_user=$mail_user
  internal_user=$mail_user
fi
mail_uid=$(id -u "$mail_user")
mail_gid=$(id -g "$mail_user")

# The test CA and the server certificate it signs. EC keys: made in
# milliseconds, where an RSA key takes seconds on a loaded machine.
make_certificates() {
  local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  openssl req -x509 "${ec[@]}" -days 30 -subj "/CN=Brivane Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$work/ca.key" -out "$work/ca.pem" &&
  openssl req -new "${ec[@]}" -subj "/CN=localhost" -keyout "$work/key.pem" -out "$work/server.csr" &&
  printf '%s\n' "subjectAltName = DNS:localhost, IP:127.0.0.1" "basicConstraints = CA:FALSE" \
    "keyUsage = critical, digitalSignature" "extendedKeyUsage = serverAuth" \
    "authorityKeyIdentifier = keyid" "subjectKeyIdentifier = hash" >"$work/server.ext" &&
  openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial "0x$(openssl rand -hex 8)" \
    -days 30 -sha256 -extfile "$work/server.ext" -out "$work/cert.pem" &&
  openssl verify -CAfile "$work/ca.pem" -verify_hostname localhost -verify_ip 127.0.0.1 "$work/cert.pem"
}
if ! make_certificates >"$work/log/certificates.out" 2>&1; then
  echo "cannot make the test certificates:" >&2
  cat "$work/log/certificates.out" >&2
  exit 1
fi
rm -f "$work/ca.key" "$work/server.csr" "$work/server.ext"
chmod 600 "$work/key.pem"
chmod 644 "$work/ca.pem" "$work/cert.pem"

# Free ports, users, Maildirs and the env file.
python3 - "$work" "$data" <<'PY'
import base64, os, secrets, shutil, socket, sys
work, data = sys.argv[1], sys.argv[2]

def mutf7(name):
    out, run = [], ""
    def flush():
        nonlocal run
        if run:
            b = base64.b64encode(run.encode("utf-16-be")).decode().rstrip("=").replace("/", ",")
            out.append("&" + b + "-")
            run = ""
    for ch in name:
        if 0x20 <= ord(ch) <= 0x7e:
            flush()
            out.append("&-" if ch == "&" else ch)
        else:
            run += ch
    flush()
    return "".join(out)

users = [
    ("brivane", "test-pass", "main"),
    ("blank", "with blank", "main"),
    ("quote", 'q"uo\\te\u00e9', "main"),
    ("popdefault", "default-pass", "popdefault"),
    ("oauth", None, "oauth"),
]
with open(os.path.join(work, "passwd"), "w", encoding="utf-8") as f:
    for name, password, kind in users:
        if password is None:
            continue
        extra = "userdb_pop3_no_flag_updates=no" if kind == "popdefault" else ""
        f.write(f"{name}:{{PLAIN}}{password}::::::{extra}\n")

stamp = 1772500000
for name, _, _ in users:
    maildir = os.path.join(work, "home", name, "Maildir")
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    for folder in sorted(os.listdir(data)):
        src = os.path.join(data, folder)
        if not os.path.isdir(src):
            continue
        dest = maildir if folder == "INBOX" else os.path.join(maildir, "." + mutf7(folder))
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(dest, sub), exist_ok=True)
        if folder != "INBOX":
            with open(os.path.join(maildir, "subscriptions"), "a", encoding="utf-8") as s:
                s.write(folder + "\n")
        files = []
        for sub in ("cur", "new"):
            d = os.path.join(src, sub)
            if os.path.isdir(d):
                files += [(f, sub) for f in os.listdir(d)]
        for f, sub in sorted(files):
            stamp += 1
            base = f"{stamp}.M{stamp % 1000}P1.brivane-test"
            target = os.path.join(dest, sub, base + (":2,S" if sub == "cur" else ""))
            shutil.copyfile(os.path.join(src, sub, f), target)
            os.utime(target, (stamp, stamp))

# The OAuth user's one valid token, in a file named after him (see
# token_server.py); any other token is refused.
os.makedirs(os.path.join(work, "oauth"))
token_file = os.path.join(work, "oauth", "oauth")
with open(token_file, "w", encoding="utf-8") as f:
    f.write("at-" + secrets.token_urlsafe(24) + "\n")

def q(v):
    return "'" + v.replace("'", "'\\''") + "'"
env = {
    "HOST": "127.0.0.1",
    "ALT_HOST": "127.0.0.2",
    "CA_FILE": os.path.join(work, "ca.pem"),
    "USER": users[0][0], "PASSWORD": users[0][1],
    "BLANK_USER": users[1][0], "BLANK_PASSWORD": users[1][1],
    "QUOTE_USER": users[2][0], "QUOTE_PASSWORD": users[2][1],
    "POPDEFAULT_USER": users[3][0], "POPDEFAULT_PASSWORD": users[3][1],
    "OAUTH_USER": users[4][0], "TOKEN_FILE": token_file,
    "MAIL_ROOT": os.path.join(work, "home"),
    "PID_FILE": os.path.join(work, "run", "master.pid"),
}
with open(os.path.join(work, "env.users"), "w", encoding="utf-8") as f:
    for k, v in env.items():
        f.write(f"{k}={q(v)}\n")
PY
. "$work/env.users"

chown -R "$mail_uid:$mail_gid" "$work/home"

# The token introspection endpoint of the oauth2 passdb (token_server.py),
# in the background with its output in the log folder; it writes its port
# once it listens (at most 20 s).
python3 "$here/token_server.py" "$work/oauth" "$work/run/token_server.port" \
  </dev/null >"$work/log/token_server.log" 2>&1 &
echo $! >"$work/run/token_server.pid"
for _ in $(seq 200); do
  [[ -s $work/run/token_server.port ]] && break
  kill -0 "$(cat "$work/run/token_server.pid")" 2>/dev/null || break
  sleep 0.1
done
if [[ ! -s $work/run/token_server.port ]]; then
  echo "the token server did not start:" >&2
  cat "$work/log/token_server.log" >&2
  "$here/stop.sh" "$work" >/dev/null 2>&1 || true
  exit 1
fi
TOKEN_PORT=$(cat "$work/run/token_server.port")
# Tokens are checked by introspection at every sign-in (no cache), so that
# a replaced token takes effect at once.
cat >"$work/oauth2.conf" <<CONF
introspection_url = http://127.0.0.1:$TOKEN_PORT/introspect
introspection_mode = post
username_attribute = username
active_attribute = active
active_value = true
CONF

# Four ports that nothing listens on, outside the ephemeral range (and the
# reserved ports), each bound once on both addresses to see that it is free
# at this moment.
choose_ports() {
  python3 - <<'PY'
import random, socket
def read_range(path, default):
    try:
        with open(path) as f:
            return f.read().split()
    except OSError:
        return default
lo, hi = (int(v) for v in read_range("/proc/sys/net/ipv4/ip_local_port_range", ["32768", "60999"]))
reserved = set()
for part in ",".join(read_range("/proc/sys/net/ipv4/ip_local_reserved_ports", [])).split(","):
    if "-" in part:
        a, b = part.split("-")
        reserved.update(range(int(a), int(b) + 1))
    elif part:
        reserved.add(int(part))
candidates = [p for p in list(range(10000, lo)) + list(range(hi + 1, 65536)) if p not in reserved]
chosen = []
while len(chosen) < 4:
    p = random.choice(candidates)
    if p in chosen:
        continue
    free = True
    for address in ("127.0.0.1", "127.0.0.2"):
        s = socket.socket()
        try:
            s.bind((address, p))
        except OSError:
            free = False
        finally:
            s.close()
    if free:
        chosen.append(p)
print(*chosen)
PY
}

write_conf() {
cat > "$work/dovecot.conf" <<CONF
base_dir = $work/run
state_dir = $work/state
log_path = $work/log/dovecot.log
info_log_path = $work/log/dovecot.log
instance_name = brivane-test-$$
listen = $HOST, $ALT_HOST
protocols = imap pop3
default_login_user = $login_user
default_internal_user = $internal_user
first_valid_uid = 1
first_valid_gid = 1
ssl = yes
ssl_cert = <$work/cert.pem
ssl_key = <$work/key.pem
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = no
auth_failure_delay = 0
auth_mechanisms = plain login xoauth2 oauthbearer
mail_location = maildir:~/Maildir
pop3_no_flag_updates = yes
pop3_uidl_format = %08Xu%08Xv
# Passwords for PLAIN and LOGIN only, tokens for the OAuth mechanisms only:
# neither passdb sees the other's secrets.
passdb {
  driver = passwd-file
  mechanisms = plain login
  args = scheme=PLAIN username_format=%u $work/passwd
}
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $work/oauth2.conf
}
userdb {
  driver = static
  args = uid=$mail_uid gid=$mail_gid home=$work/home/%u
}
# No growing delay after failed sign-ins (the anvil's penalty per client
# address): tests with different wrong passwords or tokens would otherwise
# wait up to 15 s each.
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
service imap-login {
  inet_listener imap {
    port = $IMAP_PORT
  }
  inet_listener imaps {
    port = $IMAPS_PORT
    ssl = yes
  }
}
service pop3-login {
  inet_listener pop3 {
    port = $POP3_PORT
  }
  inet_listener pop3s {
    port = $POP3S_PORT
    ssl = yes
  }
}
CONF
}

# Dovecot binds its listeners before it goes into the background, so a taken
# port ends the start at once ("Address already in use", status 89).
started=""
for attempt in 1 2 3 4 5 6 7 8; do
  read -r IMAP_PORT POP3_PORT IMAPS_PORT POP3S_PORT < <(choose_ports)
  write_conf
  : >"$work/log/dovecot.log"
  status=0
  "$dovecot_bin" -c "$work/dovecot.conf" </dev/null >"$work/log/start.out" 2>&1 || status=$?
  # The daemon must not keep the caller's output open (CTest waits for it):
  # its own output went to start.out above.
  if ((status == 0)); then
    started=1
    break
  fi
  if grep -qs "Address already in use" "$work/log/start.out" "$work/log/dovecot.log"; then
    echo "dovecot: a chosen port was taken (attempt $attempt), trying other ports" >&2
    continue
  fi
  break
done
if [[ -z $started ]]; then
  echo "dovecot did not start (status $status); its output and log:" >&2
  cat "$work/log/start.out" "$work/log/dovecot.log" >&2 || true
  "$here/stop.sh" "$work" >/dev/null 2>&1 || true
  exit 1
fi

# Wait until every listener accepts connections (at most 60 s, ending early
# when the master process is gone).
if ! python3 - "$PID_FILE" "$HOST" "$ALT_HOST" "$IMAP_PORT" "$POP3_PORT" "$IMAPS_PORT" "$POP3S_PORT" <<'PY'
import os, socket, sys, time
pid_file, hosts = sys.argv[1], sys.argv[2:4]
ports = [(h, int(p)) for h in hosts for p in sys.argv[4:]]
def master_alive():
    try:
        with open(pid_file) as f:
            os.kill(int(f.read().strip()), 0)
        return True
    except (OSError, ValueError):
        return False
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    waiting = []
    for p in ports:
        try:
            socket.create_connection(p, timeout=1).close()
        except OSError:
            waiting.append(p)
    if not waiting:
        sys.exit(0)
    if not master_alive():
        sys.exit("dovecot ended after its start")
    ports = waiting
    time.sleep(0.1)
sys.exit(f"dovecot does not accept connections on {ports}")
PY
then
  echo "dovecot log:" >&2
  cat "$work/log/start.out" "$work/log/dovecot.log" >&2 || true
  "$here/stop.sh" "$work" >/dev/null 2>&1 || true
  exit 1
fi

# The env file, whole or not at all.
{
  cat "$work/env.users"
  printf "%s='%s'\n" IMAP_PORT "$IMAP_PORT" POP3_PORT "$POP3_PORT" IMAPS_PORT "$IMAPS_PORT" POP3S_PORT "$POP3S_PORT"
} >"$work/env.tmp"
mv "$work/env.tmp" "$work/env"
echo "dovecot running: pid $(cat "$PID_FILE"), env $work/env"
