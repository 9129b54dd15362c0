#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs the WinHTTP client test under Wine beside the peers it cannot start
# itself: two HTTPS servers (one with a certificate of a test CA made here
# with openssl, one with a certificate of a CA nobody trusts) and tinyproxy,
# once with Basic authentication and once open, all on free loopback ports. Every peer stops when
# the harness ends.
#
# Usage: http_client_win_harness.sh TEST.exe [gtest arguments...]
# The program runs through cmake/wine-run, in the build's Wine prefix.
set -eu

root=$(realpath "$(dirname "$0")/../../..")
work_tag=winhttp
. "$root/tests/peers/wine_harness.sh"
make_test_certificates

# Answers every GET with "ID: secure" over HTTP/1.1 keep-alive.
start_tls_peer() {
  /usr/bin/python3 - "$1" "$work/$2.crt" "$work/$2.key" >/dev/null 2>&1 <<'EOF' &
import http.server, ssl, sys
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        body = b"ID: secure"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[2], sys.argv[3])
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
EOF
  pids="$pids $!"
  wait_for_port "$1"
}
https_port=$(free_port)
start_tls_peer "$https_port" server
rogue_port=$(free_port)
start_tls_peer "$rogue_port" rogue

start_test_proxies

export TALVENIX_TEST_HTTPS_PORT=$https_port TALVENIX_TEST_ROGUE_HTTPS_PORT=$rogue_port
run_test_program "$@"
