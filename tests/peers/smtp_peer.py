# SPDX-License-Identifier: Apache-2.0
"""A real SMTP server for the e-mail gateway's tests (aiosmtpd).

Listens on a free loopback port and prints "PORT <n>" once ready. Every
message accepted is written to --out as msg-<n>.eml (the bytes received) and
msg-<n>.json (the envelope and the message as a mail reader sees it). Exits
when its standard input closes, so it never outlives the test that started it.

Scripted faults that aiosmtpd cannot play are served by a small raw server:
--greeting "421 ..." answers the connection with that line and closes (4xx)
or waits for QUIT (5xx); --refuse closes every connection at once;
--close-in-data accepts the envelope and closes after the first DATA line;
--silent-after-data never answers the end of the data; --early-reply sends
"250" with its "354", before the data (--early-reply MS: in a write of its
own, MS milliseconds later), then never answers the end of the data but
answers every later command.
"""

import argparse
import asyncio
import email
import email.policy
import json
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult


def reader_view(raw):
    """What a mail reader shows of the message: decoded headers and body."""
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    body_part = msg.get_body(preferencelist=("plain",))
    headers = {}
    for name, value in msg.items():
        headers.setdefault(name.lower(), []).append(str(value))
    view = {
        "headers": headers,
        "content_type": msg.get_content_type(),
        "body": body_part.get_content() if body_part is not None else None,
        "body_charset": body_part.get_content_charset() if body_part is not None else None,
        "body_transfer_encoding": body_part.get("content-transfer-encoding", "") if body_part is not None else None,
        "defects": [type(d).__name__ for d in msg.defects],
    }
    # Decoded body bytes, to check line ends: get_content() turns them into \n.
    if body_part is not None:
        view["body_raw"] = body_part.get_payload(decode=True).decode("utf-8", "replace")
    return view


class Recorder:
    def __init__(self, out, reject_rcpt, data_reply, record_limit):
        self.out = out
        self.reject_rcpt = reject_rcpt
        self.data_reply = data_reply
        self.record_limit = record_limit
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.reject_rcpt and self.reject_rcpt in address:
            return "550 5.1.1 <%s>: Recipient address rejected: no such mailbox" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.data_reply:
            return self.data_reply
        if self.record_limit is not None and self.count >= self.record_limit:
            return "250 2.0.0 Ok: accepted"
        self.count += 1
        raw = envelope.original_content or b""
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            # session.ssl is set by STARTTLS; implicit TLS shows on the transport.
            "tls": session.ssl is not None or server.transport.get_extra_info("ssl_object") is not None,
            "auth_user": session.auth_data.login.decode() if session.authenticated and session.auth_data else None,
            "raw_has_bare_lf": b"\n" in raw.replace(b"\r\n", b""),
            "raw_max_line": max((len(line) for line in raw.split(b"\r\n")), default=0),
        }
        record.update(reader_view(raw))
        base = os.path.join(self.out, "msg-%d" % self.count)
        with open(base + ".eml", "wb") as f:
            f.write(raw)
        # Written under a temporary name so a reader never sees half a record.
        with open(base + ".tmp", "w", encoding="utf-8") as f:
            json.dump(record, f, ensure_ascii=False)
        os.rename(base + ".tmp", base + ".json")
        return "250 2.0.0 Ok: queued as %d" % self.count


class Scripted(asyncio.Protocol):
    """Plays one of the faults that a well-behaved server never shows."""

    def __init__(self, args):
        self.args = args
        self.buffer = b""
        self.in_data = False

    def connection_made(self, transport):
        self.transport = transport
        if self.args.refuse:
            transport.close()
            return
        if self.args.greeting:
            transport.write(self.args.greeting.encode() + b"\r\n")
            if self.args.greeting.startswith("4"):
                transport.close()
            return
        transport.write(b"220 peer ESMTP\r\n")

    def data_received(self, data):
        self.buffer += data
        while b"\r\n" in self.buffer:
            line, self.buffer = self.buffer.split(b"\r\n", 1)
            self.line(line)

    def line(self, line):
        if self.in_data:
            if self.args.close_in_data:
                self.transport.close()
            elif self.args.early_reply and line == b".":
                self.in_data = False  # its answer went out with the 354
            return  # --silent-after-data: swallow everything, answer nothing
        verb = line[:4].upper()
        if verb == b"QUIT":
            self.transport.write(b"221 Bye\r\n")
            self.transport.close()
        elif self.args.greeting:
            self.transport.write(b"503 5.5.1 Error: service not available\r\n")
        elif verb in (b"EHLO", b"HELO"):
            self.transport.write(b"250-peer\r\n250 8BITMIME\r\n")
        elif verb == b"DATA":
            self.in_data = True
            early = b"250 2.0.0 Ok: queued before the data\r\n"
            together = self.args.early_reply == "with"
            self.transport.write(b"354 End data with <CR><LF>.<CR><LF>\r\n" + (early if together else b""))
            if self.args.early_reply and not together:
                delay = int(self.args.early_reply) / 1000
                asyncio.get_running_loop().call_later(delay, lambda: self.transport.write(early))
        else:
            self.transport.write(b"250 OK\r\n")


def tls_context(cert, key):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    return context


async def main():
    p = argparse.ArgumentParser()
    p.add_argument("--out", required=True)
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--starttls", action="store_true", help="offer STARTTLS with --cert/--key")
    p.add_argument("--implicit-tls", action="store_true", help="TLS from the first byte")
    p.add_argument("--auth", help="USER:PASSWORD that AUTH accepts")
    p.add_argument("--auth-without-tls", action="store_true")
    p.add_argument("--reject-rcpt", help="reject recipients containing this text with 550")
    p.add_argument("--data-reply", help="answer the end of data with this line")
    p.add_argument("--record-limit", type=int, help="accept but do not record messages beyond this many")
    p.add_argument("--refuse", action="store_true")
    p.add_argument("--greeting")
    p.add_argument("--close-in-data", action="store_true")
    p.add_argument("--silent-after-data", action="store_true")
    p.add_argument("--early-reply", nargs="?", const="with")
    args = p.parse_args()

    loop = asyncio.get_running_loop()
    implicit = tls_context(args.cert, args.key) if args.implicit_tls else None
    scripted = args.refuse or args.greeting or args.close_in_data or args.silent_after_data or args.early_reply
    if scripted:
        factory = lambda: Scripted(args)
    else:
        recorder = Recorder(args.out, args.reject_rcpt, args.data_reply, args.record_limit)
        user, _, password = (args.auth or "").partition(":")

        def authenticator(server, session, envelope, mechanism, data):
            ok = args.auth is not None and data.login.decode() == user and data.password.decode() == password
            return AuthResult(success=ok, handled=False, auth_data=data if ok else None)

        def factory():
            return SMTP(
                recorder,
                hostname="peer",
                tls_context=tls_context(args.cert, args.key) if args.starttls else None,
                authenticator=authenticator if args.auth else None,
                auth_require_tls=not args.auth_without_tls,
                enable_SMTPUTF8=True,
                timeout=30,
            )

    server = await loop.create_server(factory, "127.0.0.1", 0, ssl=implicit)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)

    # Ends when the test closes our standard input (or dies).
    done = loop.create_future()

    def stdin_readable():
        if not os.read(sys.stdin.fileno(), 4096) and not done.done():
            loop.remove_reader(sys.stdin.fileno())
            done.set_result(None)

    loop.add_reader(sys.stdin.fileno(), stdin_readable)
    await done
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
