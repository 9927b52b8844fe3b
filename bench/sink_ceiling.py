#!/usr/bin/python3
"""SMTP sink ceiling: how fast an SMTP server on 127.0.0.1 takes one message
from a sender that costs nothing, so that a sender's rate into that server
can be set against it.

    sink_ceiling.py PORT WIRE_BYTES [--cafile CA]

Speaks the dialogue (HELO, MAIL FROM, RCPT TO, DATA), then writes WIRE_BYTES
bytes of Base64 lines (60 characters and CR LF, made once and repeated) in
64 KiB writes, the final ".", and waits for the reply. Prints the seconds
from DATA's 354 to the reply; exits non-zero on any refusal. Every wait is
bounded by a 600 second time-out. With --cafile it speaks TLS from the first
byte (trusting CA), as to a TLS terminator in front of the server.
"""
import base64
import os
import socket
import ssl
import sys
import time

CHUNK = 65536


def main():
    port, wire = int(sys.argv[1]), int(sys.argv[2])
    cafile = sys.argv[4] if len(sys.argv) == 5 and sys.argv[3] == "--cafile" else None
    line = 62
    lines = CHUNK // line
    block = b"".join(base64.b64encode(os.urandom(45)) + b"\r\n" for _ in range(lines))
    conn = socket.create_connection(("127.0.0.1", port), timeout=600)
    if cafile:
        conn = ssl.create_default_context(cafile=cafile).wrap_socket(conn, server_hostname="127.0.0.1")
    replies = conn.makefile("rb")

    def expect(code):
        while True:
            reply = replies.readline()
            if not reply.startswith(code):
                sys.exit("sink_ceiling: expected %s, got %r" % (code.decode(), reply))
            if reply[3:4] != b"-":
                return

    def command(text, code):
        conn.sendall(text + b"\r\n")
        expect(code)

    expect(b"220")
    command(b"HELO ceiling.test", b"250")
    command(b"MAIL FROM:<bench-sender@example.org>", b"250")
    command(b"RCPT TO:<bench-rcpt@example.org>", b"250")
    command(b"DATA", b"354")
    start = time.monotonic()
    left = wire - wire % line
    while left > 0:
        piece = block[:min(left, len(block))]
        conn.sendall(piece)
        left -= len(piece)
    command(b".", b"250")
    took = time.monotonic() - start
    command(b"QUIT", b"221")
    conn.close()
    print("%.3f" % took)


if __name__ == "__main__":
    main()
