#!/usr/bin/python3
"""A FILES/3 receiver written from docs/file-transfer.md alone, on dissononce
(an independent Noise implementation): fetches the one file of an offer and
prints its SHA-256, or why it could not.

  private_fetch.py SENDER TOKEN OUR_PRIVATE_HEX THEIR_PUBLIC_HEX
"""
import hashlib
import socket
import sys

from dissononce.cipher.chachapoly import ChaChaPolyCipher
from dissononce.dh.x25519.private import PrivateKey
from dissononce.dh.x25519.x25519 import X25519DH
from dissononce.hash.sha256 import SHA256Hash
from dissononce.processing.handshakepatterns.interactive.XX import XXHandshakePattern
from dissononce.processing.impl.cipherstate import CipherState
from dissononce.processing.impl.handshakestate import HandshakeState
from dissononce.processing.impl.symmetricstate import SymmetricState


class Stream:
    def __init__(self, sender):
        self.connection = socket.create_connection((sender, 9000), timeout=10)
        self.pending, self.plain = b"", b""

    def frame(self):
        while len(self.pending) < 2 or len(self.pending) < 2 + int.from_bytes(self.pending[:2], "big"):
            more = self.connection.recv(1 << 16)
            if not more:
                sys.exit("the sender closed the connection")
            self.pending += more
        length = int.from_bytes(self.pending[:2], "big")
        message, self.pending = self.pending[2:2 + length], self.pending[2 + length:]
        return message

    def send(self, message):
        self.connection.sendall(len(message).to_bytes(2, "big") + message)

    def take(self, count, receive):
        while len(self.plain) < count:
            self.plain += receive.decrypt_with_ad(b"", self.frame())
        taken, self.plain = self.plain[:count], self.plain[count:]
        return taken

    def line(self, receive):
        while b"\n" not in self.plain:
            self.plain += receive.decrypt_with_ad(b"", self.frame())
        line, self.plain = self.plain.split(b"\n", 1)
        return line.decode()


def main(sender, token, our_private, their_public):
    state = HandshakeState(SymmetricState(CipherState(ChaChaPolyCipher()), SHA256Hash()), X25519DH())
    keys = X25519DH().generate_keypair(PrivateKey(bytes.fromhex(our_private)))
    state.initialize(XXHandshakePattern(), True, b"Kestrane FILES/3", s=keys)
    stream = Stream(sender)
    stream.connection.sendall(b"FILES/3\n")
    message = bytearray()
    state.write_message(b"", message)
    stream.send(bytes(message))
    state.read_message(stream.frame(), bytearray())
    message = bytearray()
    send, receive = state.write_message(b"", message)
    stream.send(bytes(message))
    if state.rs.data.hex() != their_public:
        return "the sender proved another key"
    stream.send(send.encrypt_with_ad(b"", f"FILES/3 {token}\n".encode()))
    header = stream.line(receive)
    if header != "OK 1":
        return "the sender answered " + header
    size = int(stream.line(receive).split(" ")[1])
    stream.send(send.encrypt_with_ad(b"", f"GET 0 0 {hashlib.sha256().hexdigest()}\n".encode()))
    if stream.line(receive) != "FROM 0":
        return "no FROM 0"
    digest = hashlib.sha256(stream.take(size, receive)).hexdigest()
    if stream.line(receive) != "SHA " + digest:
        return "the SHA line differs from the bytes"
    print(digest)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]) if len(sys.argv) == 5 else __doc__)
