#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs the e-mail gateway's Windows test under Wine beside the SMTP servers it
# cannot start itself (tests/peers/smtp_peer.py on aiosmtpd, Debian's
# interpreter), each on a free loopback port: plain, STARTTLS and implicit TLS
# with a login (certificates of a test CA made here with openssl), implicit
# TLS with a certificate of a CA nobody trusts, and servers that refuse or
# drop. Every peer stops when the harness ends.
#
# Usage: email_win_harness.sh TEST.exe [gtest arguments...]
# The program runs through cmake/wine-run, in the build's Wine prefix. Each
# peer's port is TALVENIX_TEST_SMTP_<NAME>; what it received is in the folder
# <NAME> under TALVENIX_TEST_SMTP_OUT.
set -eu

root=$(realpath "$(dirname "$0")/../../..")
work_tag=smtp
. "$root/tests/peers/wine_harness.sh"
make_test_certificates

# The peers stop when their standard input ends; the harness holds it open.
mkfifo "$work/hold"
exec 3<>"$work/hold"
start_peer() {
  name=$1
  shift
  mkdir -p "$work/$name"
  /usr/bin/python3 "$root/tests/peers/smtp_peer.py" --out "$work/$name" "$@" <&3 >"$work/$name.port" 2>&1 &
  pids="$pids $!"
  for _ in $(seq 250); do
    grep -qs '^PORT ' "$work/$name.port" && break
    sleep 0.02
  done
  port=$(sed -n 's/^PORT //p' "$work/$name.port")
  [ -n "$port" ] || { echo "SMTP peer $name did not start:" >&2; cat "$work/$name.port" >&2; exit 1; }
  export "TALVENIX_TEST_SMTP_$name=$port"
}
tls() { echo "--cert $work/$1.crt --key $work/$1.key"; }
start_peer PLAIN
# shellcheck disable=SC2046
start_peer STARTTLS --starttls $(tls server) --auth "gateway:$(printf 'p\303\244ss word!')"
# aiosmtpd sees no TLS it started itself, so it is told that AUTH may go without.
# shellcheck disable=SC2046
start_peer TLS --implicit-tls $(tls server) --auth "gateway:secret" --auth-without-tls
# shellcheck disable=SC2046
start_peer ROGUE --implicit-tls $(tls rogue)
start_peer REFUSE --refuse
start_peer DROP --close-in-data
start_peer BUSY --greeting "554 5.7.1 No SMTP service here"
export TALVENIX_TEST_SMTP_CLOSED="$(free_port)"

TALVENIX_TEST_SMTP_OUT="$(wine_path "$work")"
export TALVENIX_TEST_SMTP_OUT
run_test_program "$@"
