#!/usr/bin/python3
"""Checks one received message with Python's email package.

Usage: check_message.py MESSAGE [--subject S] [--from F] [--to T]
                        [--body FILE] [--attach PATH ...]

--body FILE   the text part must hold exactly the lines of FILE (line ends
              compared as lines, the part's closing empty line ignored)
--attach PATH each listed file must be an attachment, in this order, named by
              its file name and decoding to exactly its bytes; no other
              attachment may be present
Prints "OK" and exits 0, or prints one line per problem and exits 1.
"""

import argparse
import os
import sys
from email import policy
from email.parser import BytesParser


def lines_of(data):
    return data.replace(b"\r\n", b"\n").split(b"\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("message")
    parser.add_argument("--subject")
    parser.add_argument("--from", dest="sender")
    parser.add_argument("--to")
    parser.add_argument("--body")
    parser.add_argument("--attach", action="append", default=[])
    args = parser.parse_args()

    with open(args.message, "rb") as f:
        raw = f.read()
    msg = BytesParser(policy=policy.compat32).parsebytes(raw)
    problems = []

    for name, want in (("Subject", args.subject), ("From", args.sender), ("To", args.to)):
        if want is not None and msg.get(name) != want:
            problems.append("%s is %r, expected %r" % (name, msg.get(name), want))
    if msg.get("Date") is None:
        problems.append("no Date header")
    if msg.get("Mime-Version") != "1.0":
        problems.append("Mime-Version is %r" % msg.get("Mime-Version"))

    if args.attach:
        if not msg.is_multipart() or msg.get_content_type() != "multipart/mixed":
            problems.append("not multipart/mixed: %r" % msg.get_content_type())
            parts = []
        else:
            parts = msg.get_payload()
            if any(p.defects for p in [msg] + parts):
                problems.append("parser defects: %r" % [p.defects for p in [msg] + parts])
        text_part = parts[0] if parts else None
        attachments = parts[1:]
    else:
        if msg.is_multipart():
            problems.append("multipart without attachments")
        text_part = msg
        attachments = []

    if args.body is not None and text_part is not None:
        with open(args.body, "rb") as f:
            want = lines_of(f.read())
        got = lines_of(text_part.get_payload(decode=True) or b"")
        # Every line, the last included, ends in a line break: splitting
        # leaves one empty piece behind the last one.
        if got and got[-1] == b"":
            got = got[:-1]
        if want and want[-1] == b"":
            want = want[:-1]
        if got != want:
            problems.append("text body differs: got %r, expected %r" % (got[:5], want[:5]))
        if text_part.get_content_type() != "text/plain":
            problems.append("text part type %r" % text_part.get_content_type())

    if len(attachments) != len(args.attach):
        problems.append("%d attachments, expected %d" % (len(attachments), len(args.attach)))
    for part, path in zip(attachments, args.attach):
        name = os.path.basename(path)
        if part.get_filename() != name:
            problems.append("attachment file name %r, expected %r" % (part.get_filename(), name))
        if part.get_param("name") != name:
            problems.append("attachment name= %r, expected %r" % (part.get_param("name"), name))
        if part.get("Content-Transfer-Encoding", "").lower() != "base64":
            problems.append("attachment %s not base64" % name)
        with open(path, "rb") as f:
            want = f.read()
        got = part.get_payload(decode=True) or b""
        if got != want:
            problems.append("attachment %s: %d bytes decoded, %d expected, equal prefix %d" % (
                name, len(got), len(want), next((i for i, (a, b) in enumerate(zip(got, want)) if a != b),
                                                min(len(got), len(want)))))

    if problems:
        for p in problems:
            print(p)
        return 1
    print("OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
