#!/usr/bin/env bash
# harness_test.sh ENV_FILE
# Checks the running harness (start.sh) from outside, with the openssl
# command line as the client: its CA file is where the env file and
# $SSL_CERT_FILE say, the server's certificate verifies against that CA for
# "localhost" and HOST on every TLS port, STARTTLS / STLS are offered on the
# plain ports and lead to the same certificate, and ALT_HOST reaches the same
# server with a certificate that does not name it; the OAuth user signs in
# with his token and only with it.
set -uo pipefail
envfile=${1:?env file}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[[ -r $envfile ]] || { echo "FAIL: no env file $envfile"; exit 1; }
# Read with a prefix, so that its USER does not replace ours.
eval "$(sed 's/^/DV_/' "$envfile")"
[[ -s ${DV_CA_FILE:-} ]] || { echo "FAIL: CA_FILE '${DV_CA_FILE:-}' is missing or empty"; exit 1; }
if [[ -n ${SSL_CERT_FILE:-} ]] && ! cmp -s "$SSL_CERT_FILE" "$DV_CA_FILE"; then
  fail "SSL_CERT_FILE ($SSL_CERT_FILE) is not the harness's CA ($DV_CA_FILE)"
fi
subject=$(openssl x509 -in "$DV_CA_FILE" -noout -subject -nameopt RFC2253)
[[ $subject == "subject=CN=Brivane Test CA" ]] || fail "CA subject: $subject"

# One TLS handshake to an address, checked for that address: HOST PORT
# [STARTTLS PROTOCOL]; prints s_client's verify result.
handshake() {
  local host=$1 port=$2 starttls=()
  [[ -n ${3:-} ]] && starttls=(-starttls "$3")
  timeout 20 openssl s_client -connect "$host:$port" "${starttls[@]}" -CAfile "$DV_CA_FILE" -verify_ip "$host" \
    </dev/null 2>&1 | grep -a -m1 "Verify return code"
}

# name  host  port  starttls  expected verify result
cases=(
  "imaps          $DV_HOST     $DV_IMAPS_PORT  -     0 (ok)"
  "pop3s          $DV_HOST     $DV_POP3S_PORT  -     0 (ok)"
  "imap-starttls  $DV_HOST     $DV_IMAP_PORT   imap  0 (ok)"
  "pop3-stls      $DV_HOST     $DV_POP3_PORT   pop3  0 (ok)"
  "imaps-alt-host $DV_ALT_HOST $DV_IMAPS_PORT  -     64 (IP address mismatch)"
  "pop3-alt-host  $DV_ALT_HOST $DV_POP3_PORT   pop3  64 (IP address mismatch)"
)
for row in "${cases[@]}"; do
  read -r name host port starttls expected <<<"$row"
  [[ $starttls == - ]] && starttls=""
  got=$(handshake "$host" "$port" "$starttls")
  [[ $got == *"Verify return code: $expected" ]] || fail "$name: expected '$expected', got '${got:-no handshake}'"
done

# The certificate left in the work folder is the one served, and says what the clients rely on.
cert=$(dirname "$envfile")/cert.pem
served=$(timeout 20 openssl s_client -connect "$DV_HOST:$DV_IMAPS_PORT" </dev/null 2>/dev/null | openssl x509 -noout -fingerprint -sha256)
[[ $served == "$(openssl x509 -in "$cert" -noout -fingerprint -sha256)" ]] || fail "served certificate is not $cert"
openssl verify -CAfile "$DV_CA_FILE" -verify_hostname localhost -verify_ip "$DV_HOST" "$cert" >/dev/null ||
  fail "openssl verify of $cert against the CA"

# Sign-in: the OAuth user's current token is taken by XOAUTH2 and OAUTHBEARER
# over IMAP and POP3, another token is refused, and the two kinds of secret
# do not cross (a password through XOAUTH2, the token through PLAIN).
python3 - "$DV_HOST" "$DV_IMAP_PORT" "$DV_POP3_PORT" "$DV_OAUTH_USER" "$DV_TOKEN_FILE" "$DV_USER" "$DV_PASSWORD" <<'PY' ||
import base64, socket, sys
host, imap_port, pop3_port, oauth_user, token_file, user, password = sys.argv[1:]
with open(token_file) as f:
    token = f.readline().rstrip("\r\n")

def sasl(mech, name, secret):
    if mech == "PLAIN":
        raw = f"\0{name}\0{secret}"
    elif mech == "XOAUTH2":
        raw = f"user={name}\1auth=Bearer {secret}\1\1"
    else:
        raw = f"n,a={name},\1auth=Bearer {secret}\1\1"
    return base64.b64encode(raw.encode()).decode()

# True when the server accepts; a refusal of an OAuth mechanism comes as a
# challenge (an error in JSON) that the client answers before the final NO.
def signs_in(protocol, mech, name, secret):
    port = int(imap_port if protocol == "imap" else pop3_port)
    with socket.create_connection((host, port), timeout=20) as s:
        f = s.makefile("rwb")
        f.readline()
        f.write(((f"a AUTHENTICATE {mech} " if protocol == "imap" else f"AUTH {mech} ") + sasl(mech, name, secret) + "\r\n").encode())
        f.flush()
        line = f.readline()
        if line.startswith(b"+ ") and len(line) > 4:
            f.write(b"AQ==\r\n" if mech == "OAUTHBEARER" else b"\r\n")
            f.flush()
            line = f.readline()
        return line.startswith(b"a OK" if protocol == "imap" else b"+OK")

failed = 0
for protocol in ("imap", "pop3"):
    rows = [
        ("xoauth2", "XOAUTH2", oauth_user, token, True),
        ("oauthbearer", "OAUTHBEARER", oauth_user, token, True),
        ("xoauth2-other-token", "XOAUTH2", oauth_user, token + "x", False),
        ("oauthbearer-other-token", "OAUTHBEARER", oauth_user, "other", False),
        ("password-through-xoauth2", "XOAUTH2", user, password, False),
        ("token-through-plain", "PLAIN", oauth_user, token, False),
        ("password-plain", "PLAIN", user, password, True),
    ]
    for name, mech, who, secret, expected in rows:
        if signs_in(protocol, mech, who, secret) != expected:
            print(f"FAIL: {protocol} {name}: expected {'success' if expected else 'refusal'}")
            failed += 1
sys.exit(failed > 0)
PY
  failures=$((failures + 1))

((failures == 0)) && echo "harness ok: CA $DV_CA_FILE"
exit $((failures > 0))
