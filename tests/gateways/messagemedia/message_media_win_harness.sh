#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
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

root=$(realpath "$(dirname "$0")/../../..")
work_tag=soap-win
. "$root/tests/peers/wine_harness.sh"
make_test_certificates

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

for target, args in ((relay, (https, "server")), (relay, (rogue, "rogue")), (dropping, (drop,)),
                     (never_answering, (silent,))):
    threading.Thread(target=target, args=args, daemon=True).start()
threading.Event().wait()
PY
pids="$pids $!"
for port in $https_port $rogue_port $drop_port $silent_port; do wait_for_port "$port"; done

start_test_proxies

export TALVENIX_TEST_SOAP_PORT=$soap_port TALVENIX_TEST_HTTPS_PORT=$https_port TALVENIX_TEST_ROGUE_HTTPS_PORT=$rogue_port
export TALVENIX_TEST_DROP_PORT=$drop_port TALVENIX_TEST_SILENT_PORT=$silent_port
run_test_program "$@"
