#!/usr/bin/env python3
"""The harness's OAuth 2.0 token introspection endpoint, for Dovecot's oauth2 passdb.

    token_server.py TOKEN_DIR PORT_FILE

TOKEN_DIR holds one file per user, named after the user, whose first line is
that user's only valid access token. The files are read at every request, so
a test may replace a token at any time. A POST with the form field "token"
(or a GET with "Authorization: Bearer <token>") is answered with
{"active": true, "username": <user>} when the token is some user's current
one, else {"active": false}. The server listens on 127.0.0.1, a port of the
kernel's choice, written to PORT_FILE once it accepts connections.
"""
import http.server
import json
import os
import sys
import urllib.parse

token_dir, port_file = sys.argv[1], sys.argv[2]
MAX_BODY = 64 * 1024


def user_of(token):
    if not token:
        return None
    for name in sorted(os.listdir(token_dir)):
        try:
            with open(os.path.join(token_dir, name), encoding="utf-8") as f:
                current = f.readline().rstrip("\r\n")
        except OSError:
            continue
        if current and current == token:
            return name
    return None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 10

    def answer(self, token):
        user = user_of(token)
        body = json.dumps({"active": True, "username": user} if user else {"active": False}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        # One request per connection: no idle connection for either side to time out.
        self.send_header("Connection", "close")
        self.close_connection = True
        self.end_headers()
        self.wfile.write(body)

    def bearer(self):
        value = self.headers.get("Authorization", "")
        return value[7:].strip() if value.lower().startswith("bearer ") else ""

    def do_GET(self):
        self.answer(self.bearer())

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_BODY:
            self.send_error(413)
            return
        form = urllib.parse.parse_qs(self.rfile.read(length).decode("utf-8", "replace"))
        self.answer((form.get("token") or [""])[0] or self.bearer())

    def log_request(self, code="-", size="-"):
        # Requests carry tokens: only the method and the status are logged.
        sys.stderr.write(f"{self.command} {code}\n")

    def log_message(self, fmt, *args):
        sys.stderr.write(f"{self.command}: {fmt % args}\n")


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(port_file + ".tmp", "w") as f:
    f.write(f"{server.server_address[1]}\n")
os.replace(port_file + ".tmp", port_file)
server.serve_forever()
