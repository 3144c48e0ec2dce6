#!/usr/bin/python3
"""A protocol peer for the tests on the virtual LAN.

  chat_peer.py record FILE             appends each datagram on the chat port as a hex line
  chat_peer.py stamped FILE            the same, as 'TIME SOURCE DESTINATION HEX' (TIME: Unix seconds)
  chat_peer.py send TO TYPE NAME TEXT  sends one datagram (TO: an address or 'broadcast')
  chat_peer.py hex TYPE NAME TEXT      prints that datagram as record writes it
  chat_peer.py flood TO SECONDS        sends TO a mix of every kind of datagram, as fast as it can
In TEXT, a literal \\r\\n stands for CR LF.
"""
import socket
import sys
import time


def datagram(kind, name, text):
    if isinstance(text, str):
        name, text = name.encode(), text.replace("\\r\\n", "\r\n").encode()
    return bytes([int(kind)]) + name.rjust(32, b" ") + text


def listen(path, line):
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    receiver.setsockopt(socket.IPPROTO_IP, 8, 1)  # IP_PKTINFO, which Python 3.11 does not name
    receiver.bind(("0.0.0.0", 9000))
    with open(path, "a", buffering=1) as out:
        print("ready", file=out)
        while True:
            data, ancillary, _, source = receiver.recvmsg(65536, 64)
            # struct in_pktinfo: the interface, the local address, then the header's destination.
            print(line(data, source[0], socket.inet_ntoa(ancillary[0][2][8:12])), file=out)


def record(path):
    listen(path, lambda data, source, destination: data.hex())


def stamped(path):
    listen(path, lambda data, source, destination: f"{time.time():.3f} {source} {destination} {data.hex()}")


def sender(to):
    result = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    result.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    result.connect(("255.255.255.255" if to == "broadcast" else to, 9000))
    return result


def send(to, kind, name, text):
    sender(to).send(datagram(kind, name, text))


def hex_line(kind, name, text):
    print(datagram(kind, name, text).hex())


def flood(to, seconds):
    mix = [(1, b"FLOOD1", b"ILIVE"), (9, b"FLOOD4", b"unknown"), (4, b"FLOOD5", b""),
           (4, b"FLOOD6", b"L" * (4096 - 33)), (3, b"FLOOD7", b"M" * (5000 - 33))]
    # Hostile names: markup, control characters, a NUL in the field, invalid UTF-8, all blanks.
    for name in (b"FLOOD2", b"<b>x</b>", b'<img src="http://192.0.2.1/x">', b"bell\a\x1b[31m\x7f",
                 b"ab\0<i>hidden</i>", b"bad\xc3\x28\xff\xfe", b" " * 32):
        mix += [(2, name, b"*** Online ***\r\n"), (4, name, b"<b>hi</b>\r\n"), (7, name, b"***Leaveing channel")]
    mix = [datagram(*fields) for fields in mix] + [b""]
    out, sent, failed = sender(to), 0, 0
    deadline = time.monotonic() + float(seconds)
    while time.monotonic() < deadline:
        for data in mix:
            try:
                out.send(data)
                sent += 1
            except OSError:  # refused while the copy was not listening, or a full queue
                failed += 1
    print(f"flood: sent {sent} datagrams ({failed} sends failed)")


if __name__ == "__main__":
    command = {"record": record, "stamped": stamped, "send": send, "hex": hex_line, "flood": flood}.get(
        sys.argv[1] if len(sys.argv) > 1 else "")
    if command is None or len(sys.argv) - 2 != command.__code__.co_argcount:
        sys.exit(__doc__)
    sys.exit(command(*sys.argv[2:]))
