#!/bin/sh
# Runs the WinHTTP client test under Wine beside the peers it cannot start
# itself: two HTTPS servers (one with a certificate of a test CA made here
# with openssl, one with a certificate of a CA nobody trusts) and tinyproxy,
# once with Basic authentication and once open, all on free loopback ports. Every peer stops when
# the harness ends.
#
# Usage: http_client_win_harness.sh TEST.exe [gtest arguments...]
# The program runs through cmake/wine-run, in the build's Wine prefix.
set -eu

exe=$(realpath "$1")
shift
root=$(realpath "$(dirname "$0")/../../..")
work_tag=winhttp
. "$root/tests/peers/wine_harness.sh"

make_ca ca "Talvenix Test CA"
make_server server ca
make_ca rogue-ca "Unknown CA"
make_server rogue rogue-ca

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

# tinyproxy on a free port; with a password, it asks for Basic credentials.
start_proxy() {
  mkdir -p "$work/proxy-$1"
  cat >"$work/proxy-$1/tinyproxy.conf" <<EOF
Port $1
Listen 127.0.0.1
Timeout 30
MaxClients 20
LogLevel Info
LogFile "$work/proxy-$1/tinyproxy.log"
PidFile "$work/proxy-$1/tinyproxy.pid"
EOF
  [ -z "${2:-}" ] || echo "BasicAuth relay $2" >>"$work/proxy-$1/tinyproxy.conf"
  tinyproxy -d -c "$work/proxy-$1/tinyproxy.conf" >/dev/null 2>&1 &
  pids="$pids $!"
  wait_for_port "$1"
}
proxy_port=$(free_port)
proxy_password="p_ss-w0rd.x"
start_proxy "$proxy_port" "$proxy_password"
open_proxy_port=$(free_port)
start_proxy "$open_proxy_port"

export TALVENIX_TEST_CA="$(wine_path "$work/ca.crt")"
export TALVENIX_TEST_HTTPS_PORT=$https_port TALVENIX_TEST_ROGUE_HTTPS_PORT=$rogue_port
export TALVENIX_TEST_PROXY_PORT=$proxy_port TALVENIX_TEST_PROXY_PASSWORD=$proxy_password
export TALVENIX_TEST_OPEN_PROXY_PORT=$open_proxy_port
"$wine_run" "$exe" "$@"
