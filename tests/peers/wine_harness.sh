# Shared by the harnesses that run a Windows test program under Wine beside
# Linux peers (sourced, not run): a work folder removed at the end, peers
# stopped at the end, free loopback ports, and certificates made with openssl.
# The sourcing script sets `root` (the source tree) and `work_tag` first.

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
