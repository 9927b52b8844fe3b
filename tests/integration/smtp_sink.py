#!/usr/bin/python3
"""SMTP sink for the end-to-end tests.

Listens on 127.0.0.1 (port chosen by the system unless --port is given), accepts
every message and writes it to FOLDER as msg-N.eml (the bytes as received, dot-
stuffing removed) with msg-N.json beside it (envelope sender and recipients).
Prints the port on its first line of output, then runs until its standard input
reaches end of file or it receives SIGTERM or SIGINT.

Usage: smtp_sink.py FOLDER [--port N]
"""

import argparse
import asyncio
import json
import os
import signal
import sys

from aiosmtpd.smtp import SMTP


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
        with open(base + ".json", "w") as f:
            json.dump({"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos}, f)
        os.rename(base + ".eml.part", base + ".eml")
        return "250 Message accepted for delivery"


async def serve(folder, port):
    loop = asyncio.get_running_loop()
    handler = SinkHandler(folder)

    def factory():
        return SMTP(handler, hostname="sink.test", decode_data=False,
                    data_size_limit=None, enable_SMTPUTF8=False)

    server = await loop.create_server(factory, "127.0.0.1", port)
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
    args = parser.parse_args()
    os.makedirs(args.folder, exist_ok=True)
    asyncio.run(serve(args.folder, args.port))


if __name__ == "__main__":
    main()
