#!/bin/sh
# Runs the MessageMedia gateway's Windows test under Wine beside the peers it
# cannot start itself, all on free loopback ports: TLS in front of the test's
# own SOAP server (a certificate of a test CA made here with openssl, and one
# of a CA nobody trusts), a peer that drops every connection, one that never
# answers, and tinyproxy with Basic authentication and without. Every peer stops when the
# harness ends.
#
# Usage: message_media_win_harness.sh TEST.exe [gtest arguments...]
# The program runs through cmake/wine-run, in the build's Wine prefix.
set -eu

exe=$(realpath "$1")
shift
wine_run=$(dirname "$(realpath "$0")")/../../../cmake/wine-run
work=$(mktemp -d /tmp/talvenix-soap-win.XXXXXX)
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

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

# A CA, and a certificate for localhost and 127.0.0.1 signed by it.
make_chain() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$2" -keyout "$work/$1-ca.key" -out "$work/$1-ca.crt" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign,cRLSign 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout "$work/$1.key" -out "$work/$1.csr" 2>/dev/null
  echo "subjectAltName=DNS:localhost,IP:127.0.0.1" >"$work/$1.ext"
  openssl x509 -req -in "$work/$1.csr" -CA "$work/$1-ca.crt" -CAkey "$work/$1-ca.key" -CAcreateserial -days 2 \
    -out "$work/$1.crt" -extfile "$work/$1.ext" 2>/dev/null
}
make_chain trusted "Talvenix Test CA"
make_chain rogue "Unknown CA"

soap_port=$(free_port)
https_port=$(free_port)
rogue_port=$(free_port)
drop_port=$(free_port)
silent_port=$(free_port)

# The Linux peers in one program: TLS relays to the SOAP server, the dropping
# and the silent peer. Relayed connections set TCP_NODELAY on both sides.
/usr/bin/python3 - "$work" "$soap_port" "$https_port" "$rogue_port" "$drop_port" "$silent_port" >/dev/null 2>&1 <<'PY' &
import socket, ssl, sys, threading
work, soap, https, rogue, drop, silent = sys.argv[1], *map(int, sys.argv[2:])

def listen(port):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(16)
    return s

def pipe(a, b):
    try:
        while data := a.recv(65536):
            b.sendall(data)
    except OSError:
        pass
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

def relay(port, name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(f"{work}/{name}.crt", f"{work}/{name}.key")
    server = listen(port)
    def serve(client):
        try:
            secure = context.wrap_socket(client, server_side=True)
            upstream = socket.create_connection(("127.0.0.1", soap))
        except OSError:
            client.close()
            return
        for s in (secure, upstream):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=pipe, args=(upstream, secure), daemon=True).start()
        pipe(secure, upstream)
    while True:
        client, _ = server.accept()
        threading.Thread(target=serve, args=(client,), daemon=True).start()

def dropping(port):
    server = listen(port)
    while True:
        client, _ = server.accept()
        client.recv(65536)
        client.close()

def never_answering(port):
    server = listen(port)
    held = []
    while True:
        held.append(server.accept()[0])

for target, args in ((relay, (https, "trusted")), (relay, (rogue, "rogue")), (dropping, (drop,)),
                     (never_answering, (silent,))):
    threading.Thread(target=target, args=args, daemon=True).start()
threading.Event().wait()
PY
pids="$pids $!"
for port in $https_port $rogue_port $drop_port $silent_port; do wait_for_port "$port"; done

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
proxy_port=$(free_port)
proxy_password="p_ss-w0rd.x"
start_proxy "$proxy_port" "$proxy_password"
open_proxy_port=$(free_port)
start_proxy "$open_proxy_port"

export TALVENIX_TEST_CA="Z:$(echo "$work/trusted-ca.crt" | tr / '\\')"
export TALVENIX_TEST_SOAP_PORT=$soap_port TALVENIX_TEST_HTTPS_PORT=$https_port TALVENIX_TEST_ROGUE_HTTPS_PORT=$rogue_port
export TALVENIX_TEST_DROP_PORT=$drop_port TALVENIX_TEST_SILENT_PORT=$silent_port
export TALVENIX_TEST_PROXY_PORT=$proxy_port TALVENIX_TEST_PROXY_PASSWORD=$proxy_password
export TALVENIX_TEST_OPEN_PROXY_PORT=$open_proxy_port
"$wine_run" "$exe" "$@"
