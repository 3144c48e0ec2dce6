#!/usr/bin/python3
"""A small protocol peer for the LAN tests: records every datagram on the chat
port, and sends datagrams of the chat format.

  chat_peer.py record FILE            appends each datagram as a hex line until killed
  chat_peer.py send TO TYPE NAME TEXT sends one datagram (TO: an address, or 'broadcast')
"""
import socket
import sys

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


def send(to, kind, name, text):
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    address = "255.255.255.255" if to == "broadcast" else to
    text = text.replace("\\r\\n", "\r\n")
    sender.sendto(datagram(int(kind), name, text), (address, CHAT_PORT))


if __name__ == "__main__":
    if sys.argv[1] == "record":
        record(sys.argv[2])
    elif sys.argv[1] == "send":
        send(*sys.argv[2:6])
    else:
        sys.exit(__doc__)
