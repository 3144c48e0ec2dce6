#!/usr/bin/python3
"""A protocol peer for the tests on the virtual LAN.

  chat_peer.py record FILE             appends each datagram on the chat port as a hex line
  chat_peer.py stamped FILE            the same, as 'TIME SOURCE DESTINATION HEX' (TIME: Unix seconds)
  chat_peer.py send TO TYPE NAME TEXT  sends one datagram (TO: an address or 'broadcast')
  chat_peer.py hex TYPE NAME TEXT      prints that datagram as record writes it
  chat_peer.py flood TO SECONDS        sends TO a mix of every kind of datagram, as fast as it can
  chat_peer.py capture FILE            appends the payload of each TCP segment to or from port 9000
                                       (FILE.ready says it listens)
  chat_peer.py holds CAPTURE FILE      whether CAPTURE began a private session, carried as many bytes
                                       as FILE and none of FILE's in the clear
In TEXT, a literal \\r\\n stands for CR LF.
"""
import signal
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


def capture(path):
    sniffer = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))  # every protocol
    sniffer.setsockopt(socket.SOL_SOCKET, 33, 64 << 20)  # SO_RCVBUFFORCE: no frame may be dropped
    sniffer.settimeout(0.2)
    # Asked to end, it first takes every frame still queued.
    ending = []
    signal.signal(signal.SIGTERM, lambda *_: ending.append(True))
    open(path + ".ready", "w").close()
    with open(path, "ab", buffering=8 << 20) as out:
        while True:
            try:
                frame = sniffer.recv(1 << 18)
            except socket.timeout:
                if ending:
                    return 0
                continue
            ip = frame[14:]
            if frame[12:14] != b"\x08\x00" or ip[9] != 6:  # IPv4 carrying TCP
                continue
            tcp = ip[(ip[0] & 15) * 4:]
            if 9000 in (int.from_bytes(tcp[0:2], "big"), int.from_bytes(tcp[2:4], "big")):
                out.write(tcp[(tcp[12] >> 4) * 4:])


def holds(capture_path, file_path):
    seen, sent = open(capture_path, "rb").read(), open(file_path, "rb").read()
    pieces = [sent[at:at + 32] for at in range(0, len(sent) - 32, len(sent) // 16)]
    clear = sum(piece in seen for piece in pieces)
    if seen.startswith(b"FILES/3\n") and len(seen) > len(sent) and not clear:
        return 0
    print(f"capture: {len(seen)} bytes for {len(sent)}, starts {seen[:16]!r}, {clear} pieces in the clear")
    return 1


if __name__ == "__main__":
    command = {"record": record, "stamped": stamped, "send": send, "hex": hex_line, "flood": flood,
               "capture": capture, "holds": holds}.get(
        sys.argv[1] if len(sys.argv) > 1 else "")
    if command is None or len(sys.argv) - 2 != command.__code__.co_argcount:
        sys.exit(__doc__)
    sys.exit(command(*sys.argv[2:]))
