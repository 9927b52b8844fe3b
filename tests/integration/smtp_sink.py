#!/usr/bin/python3
"""SMTP sink for the end-to-end tests.

Listens on 127.0.0.1 (port chosen by the system unless --port is given), accepts
every message and writes it to FOLDER as msg-N.eml (the bytes as received, dot-
stuffing removed) with msg-N.json beside it (envelope sender and recipients).
Prints the port on its first line of output, then runs until its standard input
reaches end of file or it receives SIGTERM or SIGINT.

Options for the tests of TLS and logins:
  --size-limit N      aiosmtpd's data_size_limit, announced as SIZE N
  --login USER:PASS   every message needs a login (AUTH PLAIN or LOGIN) with
                      exactly these; the json gets "login": USER
  --login-in-clear    offer AUTH without TLS too
  --cert F --key F    STARTTLS with this certificate chain and key
  --tls-on-connect    TLS from the first byte instead of STARTTLS

Usage: smtp_sink.py FOLDER [--port N] [options above]
"""

import argparse
import asyncio
import json
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class SinkHandler:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "msg-%d" % self.count)
        content = envelope.original_content or envelope.content
        if isinstance(content, str):
            content = content.encode("utf-8", "surrogateescape")
        # Write under a temporary name first, so a reader never sees half a message.
        with open(base + ".eml.part", "wb") as f:
            f.write(content)
        record = {"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                  "mail_options": envelope.mail_options, "tls": session.ssl is not None}
        if session.authenticated:
            record["login"] = session.auth_data
        with open(base + ".json", "w") as f:
            json.dump(record, f)
        os.rename(base + ".eml.part", base + ".eml")
        return "250 Message accepted for delivery"


class Authenticator:
    """Takes exactly one user name and password; remembers the user name."""

    def __init__(self, login):
        user, _, password = login.partition(":")
        self.user = user.encode()
        self.password = password.encode()

    def __call__(self, server, session, envelope, mechanism, auth_data):
        if (isinstance(auth_data, LoginPassword) and auth_data.login == self.user
                and auth_data.password == self.password):
            return AuthResult(success=True, auth_data=self.user.decode())
        return AuthResult(success=False, handled=False)


async def serve(args):
    loop = asyncio.get_running_loop()
    handler = SinkHandler(args.folder)
    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
    options = {}
    if args.login:
        # aiosmtpd knows only the TLS it starts itself (STARTTLS); with TLS on
        # connect every login is over TLS all the same.
        options = dict(authenticator=Authenticator(args.login), auth_required=True,
                       auth_require_tls=not (args.login_in_clear or args.tls_on_connect))

    def factory():
        return SMTP(handler, hostname="sink.test", decode_data=False,
                    data_size_limit=args.size_limit, enable_SMTPUTF8=False,
                    tls_context=None if args.tls_on_connect else context,
                    require_starttls=context is not None and not args.tls_on_connect,
                    **options)

    server = await loop.create_server(factory, "127.0.0.1", args.port,
                                      ssl=context if args.tls_on_connect else None)
    print(server.sockets[0].getsockname()[1], flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)

    def on_stdin():
        try:
            data = os.read(sys.stdin.fileno(), 4096)
        except OSError:
            data = b""
        if not data:
            loop.remove_reader(sys.stdin.fileno())
            stop.set()

    loop.add_reader(sys.stdin.fileno(), on_stdin)
    await stop.wait()
    server.close()
    await server.wait_closed()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--size-limit", type=int, default=None)
    parser.add_argument("--login", default=None)
    parser.add_argument("--login-in-clear", action="store_true")
    parser.add_argument("--cert", default=None)
    parser.add_argument("--key", default=None)
    parser.add_argument("--tls-on-connect", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.folder, exist_ok=True)
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
