#!/usr/bin/python3
"""Checks one received message strictly, with Python's email package (policy
default) and on its bytes.

Usage: check_headers.py MESSAGE ENVELOPE EXPECTED

MESSAGE   the message as the sink wrote it (msg-N.eml)
ENVELOPE  the sink's msg-N.json (envelope sender and recipients)
EXPECTED  a JSON file: {"subject": str, "from": [name, address],
          "to": [[name, address], ...], "body": str, "charset": str,
          "encoding": str, "files": [[path, name], ...]}

Checked: no defect on the message, on any header or any part; the Date gives
an aware datetime; From, To, Subject, the text (its charset label and
transfer encoding too) and every attachment (name and bytes) come back as
expected; the envelope holds the bare addresses. On the bytes: no NUL, no
line over 998 octets, every header line (of the message and of each part)
plain ASCII and under 78 characters, encoded-words of at most 75 characters, a Date with
two-digit time fields and a numeric zone.
Prints "OK" and the Message-ID, or one line per problem (exit 1).
"""

import json
import os
import re
import sys
from email import policy
from email.parser import BytesParser


def header_lines(raw, boundary):
    """The physical header lines of the message and of each part."""
    lines = raw.split(b"\r\n")
    in_header = True
    delimiter = b"--" + boundary.encode("ascii") if boundary else None
    out = []
    for line in lines:
        if in_header:
            if line == b"":
                in_header = False
            else:
                out.append(line)
        elif delimiter is not None and line == delimiter:
            in_header = True
    return out


def main():
    raw = open(sys.argv[1], "rb").read()
    envelope = json.load(open(sys.argv[2]))
    # Paths may hold bytes that are not UTF-8: they travel as surrogates.
    want = json.loads(open(sys.argv[3], "rb").read().decode("utf-8", "surrogateescape"))
    problems = []

    msg = BytesParser(policy=policy.default).parsebytes(raw)
    for part in msg.walk():
        if part.defects:
            problems.append("defects in %s: %r" % (part.get_content_type(), part.defects))
        for name, value in part.items():
            if getattr(value, "defects", None):
                problems.append("defects in header %s: %r" % (name, value.defects))

    date = msg["Date"]
    if date is None or date.datetime is None or date.datetime.tzinfo is None:
        problems.append("Date %r gives no aware datetime" % (date,))
    if msg["Subject"] != want["subject"]:
        problems.append("Subject %r, expected %r" % (msg["Subject"], want["subject"]))
    sender = msg["From"].addresses if msg["From"] is not None else ()
    if [[a.display_name, a.addr_spec] for a in sender] != [want["from"]]:
        problems.append("From %r, expected %r" % (sender, want["from"]))
    to = msg["To"].addresses if msg["To"] is not None else ()
    if [[a.display_name, a.addr_spec] for a in to] != want["to"]:
        problems.append("To %r, expected %r" % (to, want["to"]))
    message_id = msg["Message-ID"]
    if message_id is None or not re.fullmatch(r"<[^<>@\s]+@[^<>@\s]+>", str(message_id)):
        problems.append("Message-ID %r" % (message_id,))

    parts = list(msg.iter_parts()) if msg.is_multipart() else [msg]
    text = parts[0]
    if text.get_content_type() != "text/plain":
        problems.append("text part is %s" % text.get_content_type())
    if (text.get_content_charset() or "").lower() != want["charset"].lower():
        problems.append("charset %r, expected %r" % (text.get_content_charset(), want["charset"]))
    encoding = text.get("Content-Transfer-Encoding", "7bit").lower()
    if encoding != want["encoding"]:
        problems.append("transfer encoding %r, expected %r" % (encoding, want["encoding"]))
    body = text.get_content().replace("\r\n", "\n").rstrip("\n")
    if body != want["body"].rstrip("\n"):
        problems.append("text %r, expected %r" % (body[:200], want["body"][:200]))
    attachments = parts[1:]
    if len(attachments) != len(want["files"]):
        problems.append("%d attachments, expected %d" % (len(attachments), len(want["files"])))
    for part, (path, name) in zip(attachments, want["files"]):
        if part.get_filename() != name:
            problems.append("file name %r, expected %r" % (part.get_filename(), name))
        if part.get_param("name") is None:
            problems.append("no name= for %r" % name)
        if part.get_payload(decode=True) != open(os.fsencode(path), "rb").read():
            problems.append("content of %r differs" % name)

    if envelope.get("mail_from") != want["from"][1]:
        problems.append("envelope sender %r" % envelope.get("mail_from"))
    if envelope.get("rcpt_tos") != [a for _, a in want["to"]]:
        problems.append("envelope recipients %r" % envelope.get("rcpt_tos"))

    if b"\x00" in raw:
        problems.append("a NUL byte in the message")
    for line in raw.split(b"\r\n"):
        if len(line) > 998:
            problems.append("a line of %d octets" % len(line))
    boundary = msg.get_boundary() if msg.is_multipart() else None
    for line in header_lines(raw, boundary):
        if len(line) >= 78:
            problems.append("header line of %d characters: %r" % (len(line), line[:90]))
        if any(b >= 0x80 for b in line):
            problems.append("8-bit bytes in a header line: %r" % line[:90])
    for word in re.findall(rb"=\?[^?\s]+\?[BbQq]\?[^?\s]*\?=", raw):
        if len(word) > 75:
            problems.append("encoded-word of %d characters" % len(word))
    dates = [l for l in raw.split(b"\r\n") if l.startswith(b"Date: ")]
    if len(dates) != 1 or not re.fullmatch(rb"Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d{1,2} "
                                            rb"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} "
                                            rb"\d\d:\d\d:\d\d [+-]\d{4}", dates[0]):
        problems.append("Date line %r" % dates)

    if problems:
        for p in problems:
            print(p)
        return 1
    print("OK %s" % message_id)
    return 0


if __name__ == "__main__":
    sys.exit(main())
