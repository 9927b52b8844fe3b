#!/usr/bin/python3
"""An SMTP receiver that costs its sender nothing: it answers every command
with success and reads a message in large blocks, looking only for its end
("." alone on a line), so that a sender's own rate shows. smtp-sink reads
the message line by line and, on a machine of two cores, caps a fast sender
at its own rate.

    read_sink.py PORT

Listens on 127.0.0.1:PORT until killed; one thread per connection. Prints
nothing; the bytes are thrown away.
"""
import socket
import sys
import threading

BLOCK = 256 * 1024
END = b"\r\n.\r\n"


def serve(conn):
    pending = b""

    def line():
        nonlocal pending
        while b"\n" not in pending:
            got = conn.recv(4096)
            if not got:
                return None
            pending += got
        text, _, pending = pending.partition(b"\n")
        return text.rstrip(b"\r").upper()

    def message():
        # The message's first line may be the end itself, hence the CR LF in front.
        nonlocal pending
        seen = b"\r\n" + pending
        pending = b""
        buffer = bytearray(BLOCK)
        view = memoryview(buffer)
        while True:
            at = seen.find(END)
            if at >= 0:
                pending = seen[at + len(END):]
                return True
            seen = seen[-(len(END) - 1):]
            n = conn.recv_into(view)
            if n == 0:
                return False
            seen += view[:n]

    with conn:
        conn.sendall(b"220 read-sink ready\r\n")
        while True:
            command = line()
            if command is None:
                return
            if command.startswith(b"DATA"):
                conn.sendall(b"354 go ahead\r\n")
                if not message():
                    return
                conn.sendall(b"250 thrown away\r\n")
            elif command.startswith(b"QUIT"):
                conn.sendall(b"221 bye\r\n")
                return
            else:
                conn.sendall(b"250 ok\r\n")


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(sys.argv[1])))
    listener.listen(64)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
