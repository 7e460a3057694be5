#!/usr/bin/env bash
# Starts a private Dovecot for the integration tests on 127.0.0.1.
#   start.sh WORKDIR MAILDATA
# WORKDIR is emptied and receives the configuration, a self-signed
# certificate, the users' Maildirs (copied from MAILDATA), the logs and
# WORKDIR/env: ports and users as KEY='value' lines (read by
# tests/support/dovecot_env.h). Stop it with stop.sh WORKDIR.
#
# Ports: IMAP, POP3, IMAPS and POP3S (TLS from the first byte), free ports
# chosen at start. Users (passwords in the env file):
#   brivane      main user; POP3 retrieval leaves flags alone
#   blank        password with a blank
#   quote        password with '"', '\' and "é"
#   popdefault   POP3 at the server's default: retrieval sets \Seen
# Each user has his own copy of the mailboxes.
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

openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=localhost" \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
chmod 600 "$work/key.pem"

# Free ports, users, Maildirs and the env file.
python3 - "$work" "$data" <<'PY'
import base64, os, shutil, socket, sys
work, data = sys.argv[1], sys.argv[2]

def free_ports(n):
    socks, ports = [], []
    for _ in range(n):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        socks.append(s)
        ports.append(s.getsockname()[1])
    for s in socks:
        s.close()
    return ports

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
]
with open(os.path.join(work, "passwd"), "w", encoding="utf-8") as f:
    for name, password, kind in users:
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

imap, pop3, imaps, pop3s = free_ports(4)
def q(v):
    return "'" + v.replace("'", "'\\''") + "'"
env = {
    "HOST": "127.0.0.1", "IMAP_PORT": str(imap), "POP3_PORT": str(pop3),
    "IMAPS_PORT": str(imaps), "POP3S_PORT": str(pop3s),
    "USER": users[0][0], "PASSWORD": users[0][1],
    "BLANK_USER": users[1][0], "BLANK_PASSWORD": users[1][1],
    "QUOTE_USER": users[2][0], "QUOTE_PASSWORD": users[2][1],
    "POPDEFAULT_USER": users[3][0], "POPDEFAULT_PASSWORD": users[3][1],
    "MAIL_ROOT": os.path.join(work, "home"),
    "PID_FILE": os.path.join(work, "run", "master.pid"),
}
with open(os.path.join(work, "env"), "w", encoding="utf-8") as f:
    for k, v in env.items():
        f.write(f"{k}={q(v)}\n")
PY
. "$work/env"

chown -R "$mail_uid:$mail_gid" "$work/home"

cat > "$work/dovecot.conf" <<CONF
base_dir = $work/run
state_dir = $work/state
log_path = $work/log/dovecot.log
info_log_path = $work/log/dovecot.log
instance_name = brivane-test-$$
listen = 127.0.0.1
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
auth_mechanisms = plain login
mail_location = maildir:~/Maildir
pop3_no_flag_updates = yes
pop3_uidl_format = %08Xu%08Xv
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $work/passwd
}
userdb {
  driver = static
  args = uid=$mail_uid gid=$mail_gid home=$work/home/%u
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

# The daemon must not keep the caller's output open (CTest waits for it).
"$dovecot_bin" -c "$work/dovecot.conf" </dev/null >/dev/null 2>&1

# Wait until every listener accepts connections.
for _ in $(seq 100); do
  if python3 - "$IMAP_PORT" "$POP3_PORT" "$IMAPS_PORT" "$POP3S_PORT" <<'PY'
import socket, sys
for p in sys.argv[1:]:
    s = socket.socket()
    s.settimeout(0.2)
    try:
        s.connect(("127.0.0.1", int(p)))
    except OSError:
        sys.exit(1)
    finally:
        s.close()
PY
  then
    echo "dovecot running: pid $(cat "$PID_FILE"), env $work/env"
    exit 0
  fi
  sleep 0.1
done
echo "dovecot did not start; log:" >&2
cat "$work/log/dovecot.log" >&2 || true
exit 1
