# SPDX-License-Identifier: Apache-2.0
# Shared by the harnesses that run a Windows test program under Wine beside
# Linux peers (sourced, not run): a work folder removed at the end, peers
# stopped at the end, free loopback ports, certificates made with openssl,
# tinyproxy, and the run of the program. The sourcing script sets `root` (the
# source tree) and `work_tag` first.

work=$(mktemp -d "/tmp/talvenix-$work_tag.XXXXXX")
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

wine_run=$root/cmake/wine-run

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_for_port() {
  /usr/bin/python3 - "$1" <<'PY'
import socket, sys, time
for _ in range(250):
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), 0.2).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.02)
sys.exit("peer on port %s did not start" % sys.argv[1])
PY
}

# A self-signed CA, or a certificate for 127.0.0.1 and localhost signed by a CA.
make_ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$2" -keyout "$work/$1.key" -out "$work/$1.crt" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign,cRLSign 2>/dev/null
}
make_server() {
  openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout "$work/$1.key" -out "$work/$1.csr" 2>/dev/null
  echo "subjectAltName=IP:127.0.0.1,DNS:localhost" >"$work/$1.ext"
  openssl x509 -req -in "$work/$1.csr" -CA "$work/$2.crt" -CAkey "$work/$2.key" -CAcreateserial -days 2 \
    -out "$work/$1.crt" -extfile "$work/$1.ext" 2>/dev/null
}

# A Linux path as a Windows program under Wine sees it (Z: is /).
wine_path() {
  echo "Z:$1" | tr / '\\'
}

# The test CA ("ca"), a server certificate of it ("server"), and one of a CA
# nobody trusts ("rogue"); the program finds the test CA's file in
# TALVENIX_TEST_CA.
make_test_certificates() {
  make_ca ca "Talvenix Test CA"
  make_server server ca
  make_ca rogue-ca "Unknown CA"
  make_server rogue rogue-ca
  TALVENIX_TEST_CA="$(wine_path "$work/ca.crt")"
  export TALVENIX_TEST_CA
}

# tinyproxy on a free port; with a password, it asks for Basic credentials.
start_proxy() {
  mkdir -p "$work/proxy-$1"
  cat >"$work/proxy-$1/tinyproxy.conf" <<CONF
Port $1
Listen 127.0.0.1
Timeout 30
MaxClients 20
LogLevel Info
LogFile "$work/proxy-$1/tinyproxy.log"
PidFile "$work/proxy-$1/tinyproxy.pid"
CONF
  [ -z "${2:-}" ] || echo "BasicAuth relay $2" >>"$work/proxy-$1/tinyproxy.conf"
  tinyproxy -d -c "$work/proxy-$1/tinyproxy.conf" >/dev/null 2>&1 &
  pids="$pids $!"
  wait_for_port "$1"
}

# Two proxies, one asking for Basic credentials and one open, in
# TALVENIX_TEST_PROXY_PORT (with TALVENIX_TEST_PROXY_PASSWORD) and
# TALVENIX_TEST_OPEN_PROXY_PORT.
start_test_proxies() {
  TALVENIX_TEST_PROXY_PORT=$(free_port)
  TALVENIX_TEST_PROXY_PASSWORD="p_ss-w0rd.x"
  start_proxy "$TALVENIX_TEST_PROXY_PORT" "$TALVENIX_TEST_PROXY_PASSWORD"
  TALVENIX_TEST_OPEN_PROXY_PORT=$(free_port)
  start_proxy "$TALVENIX_TEST_OPEN_PROXY_PORT"
  export TALVENIX_TEST_PROXY_PORT TALVENIX_TEST_PROXY_PASSWORD TALVENIX_TEST_OPEN_PROXY_PORT
}

# Runs the test program (its path, then its arguments) in the build's Wine prefix.
run_test_program() {
  exe=$(realpath "$1")
  shift
  "$wine_run" "$exe" "$@"
}
