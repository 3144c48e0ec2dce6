#!/usr/bin/python3
"""Floods one copy's chat port with a mix of every kind of datagram, as fast as
one sender can, and prints how many went out.

  flood_peer.py TO SECONDS     TO: the copy's address

The mix: hellos, online answers, lines, leaving notices, unknown types, empty,
33-byte (name only), 4096-byte and 5000-byte datagrams, and hostile names
(markup, control characters, NUL in the field, invalid UTF-8, 32 spaces).
"""
import socket
import sys
import time

CHAT_PORT = 9000


def datagram(kind, name, text):
    return bytes([kind]) + name.rjust(32, b" ") + text


HOSTILE_NAMES = [
    b"<b>bold</b>",
    b'<img src="http://192.0.2.1/x">',
    b'<a href="file:///">x</a>',
    b"bell\a\x1b[31m\x7f",
    b"ab\0<i>hidden</i>",
    b"bad\xc3\x28\xff\xfe",
    b" " * 32,
]


def mix():
    datagrams = [
        datagram(1, b"FLOOD1", b"ILIVE"),
        datagram(2, b"FLOOD2", b"*** Online ***\r\n"),
        datagram(4, b"FLOOD3", b"a line\r\n"),
        datagram(7, b"FLOOD2", b"***Leaveing channel"),
        datagram(9, b"FLOOD4", b"unknown"),
        datagram(0, b"FLOOD4", b""),
        b"",
        datagram(4, b"FLOOD5", b""),
        datagram(4, b"FLOOD6", b"L" * (4096 - 33)),
        datagram(3, b"FLOOD7", b"M" * (5000 - 33)),
    ]
    for name in HOSTILE_NAMES:
        datagrams.append(datagram(2, name, b"*** Online ***\r\n"))
        datagrams.append(datagram(4, name, b"<b>hi</b>\r\n"))
        datagrams.append(datagram(7, name, b"***Leaveing channel"))
    return datagrams


def flood(to, seconds):
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.connect((to, CHAT_PORT))
    datagrams = mix()
    sent = 0
    refused = 0
    deadline = time.monotonic() + float(seconds)
    while time.monotonic() < deadline:
        for data in datagrams:
            try:
                sender.send(data)
                sent += 1
            except OSError:
                # ECONNREFUSED from an earlier send while the copy was not
                # listening, or a full send queue: keep going.
                refused += 1
    print(f"sent {sent} datagrams ({refused} sends failed)")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    flood(sys.argv[1], sys.argv[2])
