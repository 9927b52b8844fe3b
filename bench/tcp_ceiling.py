#!/usr/bin/python3
"""Loopback TCP ceiling: how fast this machine moves a byte stream from one
process into another that only reads it.

    tcp_ceiling.py FILE WIRE_BYTES [--through HOST:PORT --reader-port PORT --cafile CA]

A child process listens on 127.0.0.1 (a free port) and reads until the end of
the stream; the parent connects and writes WIRE_BYTES bytes taken from FILE
(read again from the start when it runs out) in 64 KiB writes, the way a
sender of a large message does. Prints the seconds the transfer took and
exits non-zero if the reader did not get every byte.

With --through, the reader listens on --reader-port and the parent speaks
TLS (trusting --cafile) to a TLS terminator at HOST:PORT that forwards the
plain stream to the reader: the ceiling of TLS through that terminator.
"""
import argparse
import ssl
import os
import socket
import sys
import time

CHUNK = 65536


def reader(listener, report):
    conn, _ = listener.accept()
    total = 0
    buf = bytearray(CHUNK * 4)
    view = memoryview(buf)
    while True:
        n = conn.recv_into(view)
        if n == 0:
            break
        total += n
    conn.close()
    os.write(report, str(total).encode())
    os.close(report)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("wire", type=int)
    parser.add_argument("--through")
    parser.add_argument("--reader-port", type=int, default=0)
    parser.add_argument("--cafile")
    args = parser.parse_args()
    path, wire = args.file, args.wire
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.reader_port))
    listener.listen(1)
    port = listener.getsockname()[1]
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(rfd)
        try:
            reader(listener, wfd)
        finally:
            os._exit(0)
    os.close(wfd)
    listener.close()

    if args.through:
        host, tls_port = args.through.rsplit(":", 1)
        context = ssl.create_default_context(cafile=args.cafile)
        raw = socket.create_connection((host, int(tls_port)), timeout=120)
        sock = context.wrap_socket(raw, server_hostname=host)
    else:
        sock = socket.create_connection(("127.0.0.1", port), timeout=120)
    start = time.perf_counter()
    left = wire
    with open(path, "rb", buffering=0) as f:
        while left > 0:
            data = f.read(min(CHUNK, left))
            if not data:
                f.seek(0)
                continue
            sock.sendall(data)
            left -= len(data)
    if args.through:
        try:
            sock = sock.unwrap()  # the close notice: the terminator ends the plain side
        except (ssl.SSLError, OSError):
            pass  # it closed without answering the notice: the plain side has ended too
    sock.shutdown(socket.SHUT_WR)
    got = int(os.read(rfd, 64) or b"0")
    elapsed = time.perf_counter() - start
    sock.close()
    os.waitpid(pid, 0)
    if got != wire:
        print("reader got %d of %d bytes" % (got, wire), file=sys.stderr)
        return 1
    print("%.3f" % elapsed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
