#!/usr/bin/python3
"""A small protocol peer for the LAN tests: records every datagram on the chat
port, and sends datagrams of the chat format.

  chat_peer.py record FILE            appends each datagram as a hex line until killed
  chat_peer.py send TO TYPE NAME TEXT sends one datagram (TO: an address, or 'broadcast')
  chat_peer.py expect FILE TYPE NAME TEXT SECONDS
                                      waits until FILE holds that datagram; exits 1 if it never comes
  chat_peer.py count FILE TYPE NAME TEXT
                                      prints how many times FILE holds that datagram
In TEXT, a literal \r\n stands for CR LF.
"""
import socket
import sys
import time

CHAT_PORT = 9000


def datagram(kind, name, text):
    return bytes([kind]) + name.rjust(32).encode() + text.encode()


def record(path):
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    receiver.bind(("0.0.0.0", CHAT_PORT))
    with open(path, "a", buffering=1) as out:
        print("ready", file=out)
        while True:
            data = receiver.recv(65536)
            print(data.hex(), file=out)


def unescape(text):
    return text.replace("\\r\\n", "\r\n")


def send(to, kind, name, text):
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    address = "255.255.255.255" if to == "broadcast" else to
    sender.sendto(datagram(int(kind), name, unescape(text)), (address, CHAT_PORT))


def count(path, kind, name, text):
    wanted = datagram(int(kind), name, unescape(text)).hex()
    with open(path) as recorded:
        return sum(1 for line in recorded if line.strip() == wanted)


def expect(path, kind, name, text, seconds):
    deadline = time.monotonic() + float(seconds)
    while time.monotonic() < deadline:
        if count(path, kind, name, text) > 0:
            return 0
        time.sleep(0.05)
    return 1


if __name__ == "__main__":
    if sys.argv[1] == "record":
        record(sys.argv[2])
    elif sys.argv[1] == "send":
        send(*sys.argv[2:6])
    elif sys.argv[1] == "expect":
        sys.exit(expect(*sys.argv[2:7]))
    elif sys.argv[1] == "count":
        print(count(*sys.argv[2:6]))
    else:
        sys.exit(__doc__)
