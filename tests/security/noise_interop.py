"""Noise_XX_25519_ChaChaPoly_SHA256 between kestrane_noise_peer and dissononce,
an independent implementation (Debian's python3-dissononce), in both roles:
random keys, prologue and payloads (empty up to the largest), the payloads,
static keys and handshake hash checked on both sides; then transport datagrams
both ways (counter, little-endian, as the nonce), reordered, replayed and
forged. A tampered handshake message fails our side.
    noise_interop.py PATH_TO_KESTRANE_NOISE_PEER"""
import os
import subprocess
import sys

from dissononce.cipher.chachapoly import ChaChaPolyCipher
from dissononce.dh.x25519.private import PrivateKey
from dissononce.dh.x25519.x25519 import X25519DH
from dissononce.hash.sha256 import SHA256Hash
from dissononce.processing.handshakepatterns.interactive.XX import XXHandshakePattern
from dissononce.processing.impl.cipherstate import CipherState
from dissononce.processing.impl.handshakestate import HandshakeState
from dissononce.processing.impl.symmetricstate import SymmetricState

results = {True: 0, False: 0}


def check(what, holds):
    print(("ok    " if holds else "FAIL  ") + what)
    results[bool(holds)] += 1


class Peer:
    def __init__(self, role, private, prologue):
        self.process = subprocess.Popen([sys.argv[1], role, private.hex(), prologue.hex()],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(self, command, data=b""):
        self.process.stdin.write(f"{command} {data.hex()}\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def close(self):
        self.process.stdin.close()
        check("the peer exits cleanly", self.process.wait(timeout=30) == 0)


def handshake_state(initiator, prologue, keys):
    state = HandshakeState(SymmetricState(CipherState(ChaChaPolyCipher()), SHA256Hash()), X25519DH())
    state.initialize(XXHandshakePattern(), initiator, prologue, s=keys)
    return state


def play(our_role, tamper=None):
    dh = X25519DH()
    our_private, prologue = os.urandom(32), os.urandom(13)
    our_public = dh.generate_keypair(PrivateKey(our_private)).public.data
    their_keys = dh.generate_keypair()
    they_initiate = our_role == "responder"
    theirs = handshake_state(they_initiate, prologue, their_keys)
    peer = Peer(our_role, our_private, prologue)
    # The largest payloads that keep messages 1 to 3 within 65535 bytes.
    payloads = [os.urandom(65535 - 32), b"", os.urandom(65535 - 64)]
    if not they_initiate:
        payloads[1] = os.urandom(65535 - 96)
    states = None
    for index, payload in enumerate(payloads):
        step = f"{our_role}: message {index + 1}"
        if (index % 2 == 0) == they_initiate:
            message = bytearray()
            states = theirs.write_message(payload, message)
            if tamper == index:
                message[-1] ^= 1
                check(step + " tampered fails our side", peer.ask("read", message) == "fail")
                check(step + " and ends the handshake",
                      peer.ask("write") == "fail" and peer.ask("seal", b"x") == "fail")
                return peer.close()
            check(step + " carries its payload to us", peer.ask("read", message) == payload.hex())
        else:
            received = bytearray()
            states = theirs.read_message(bytes.fromhex(peer.ask("write", payload)), received)
            check(step + " carries its payload to them", bytes(received) == payload)
    check(our_role + ": the handshake hashes agree",
          peer.ask("hash") == theirs.symmetricstate.get_handshake_hash().hex())
    check(our_role + ": each side has the other's static key",
          peer.ask("remote") == their_keys.public.data.hex() and theirs.rs.data == our_public)

    their_send, their_receive = states if they_initiate else reversed(states)
    texts = [os.urandom(size) for size in (100, 0, 1, 65535 - 16)]
    datagrams = [bytes.fromhex(peer.ask("seal", text)) for text in texts]
    opened = []
    for datagram in reversed(datagrams):
        their_receive.set_nonce(int.from_bytes(datagram[:8], "little"))
        opened.insert(0, their_receive.decrypt_with_ad(b"", datagram[8:]))
    check(our_role + ": our datagrams open on their side, late ones too", opened == texts)

    sealed = [n.to_bytes(8, "little") + their_send.encrypt_with_ad(b"", t) for n, t in enumerate(texts)]
    order = [(2, True), (0, True), (0, False), (3, True), (1, True), (2, False)]
    check(our_role + ": theirs open on ours once each, in any order",
          all((peer.ask("open", sealed[i]) == texts[i].hex()) == fresh for i, fresh in order))
    genuine = (4).to_bytes(8, "little") + their_send.encrypt_with_ad(b"", b"line")
    forged = bytearray(genuine)
    forged[8] ^= 1
    check(our_role + ": a forged datagram fails and leaves its counter to the genuine one",
          peer.ask("open", forged) == "fail" and peer.ask("open", genuine) == b"line".hex())
    peer.close()


def frame(message):
    return len(message).to_bytes(2, "big") + message


def unframe(stream, receive):
    """The plaintext of the frames in `stream`, and how many there were."""
    plaintext, count = b"", 0
    while stream:
        length = int.from_bytes(stream[:2], "big")
        plaintext += receive.decrypt_with_ad(b"", stream[2:2 + length])
        stream, count = stream[2 + length:], count + 1
    return plaintext, count


def play_stream(our_role, tamper=False):
    """The same handshake over a stream: framed by a 2-byte big-endian length,
    messages of exactly 32, 96 and 64 bytes, implicit nonces after it."""
    dh = X25519DH()
    prologue = b"Kestrane FILES/3"
    their_keys = dh.generate_keypair()
    they_initiate = our_role == "responder"
    theirs = handshake_state(they_initiate, prologue, their_keys)
    peer = Peer(our_role, os.urandom(32), prologue)
    first = bytes.fromhex(peer.ask("start"))
    hello = b"FILES/3 token"
    if they_initiate:
        message = bytearray()
        theirs.write_message(b"", message)
        answer = bytes.fromhex(peer.ask("feed", frame(bytes(message))))
        check("stream, responder: our second frame is 96 bytes", answer[:2] == b"\x00\x60" and len(answer) == 98)
        theirs.read_message(answer[2:], bytearray())
        message = bytearray()
        their_send, their_receive = theirs.write_message(b"", message)
        # Their last message and their first frame come in one read.
        opened = peer.ask("feed", frame(bytes(message)) + frame(their_send.encrypt_with_ad(b"", hello)))
        check("stream, responder: a frame read with the last message opens", opened == hello.hex())
    else:
        check("stream, initiator: our first frame is 32 bytes", first[:2] == b"\x00\x20" and len(first) == 34)
        theirs.read_message(first[2:], bytearray())
        message = bytearray()
        theirs.write_message(b"", message)
        answer = bytes.fromhex(peer.ask("feed", frame(bytes(message))))
        check("stream, initiator: our last frame is 64 bytes", answer[:2] == b"\x00\x40" and len(answer) == 66)
        their_receive, their_send = theirs.read_message(answer[2:], bytearray())
    texts = [b"", os.urandom(1), os.urandom(65519), os.urandom(65520 + 70000)]
    for text in texts:
        plaintext, count = unframe(bytes.fromhex(peer.ask("frames", text)), their_receive)
        check(f"stream, {our_role}: {len(text)} bytes go in {count} frames that open on their side",
              plaintext == text and count == max(1, -(-len(text) // 65519)))
    big = texts[3]
    sent = b"".join(frame(their_send.encrypt_with_ad(b"", big[at:at + 65519])) for at in range(0, len(big), 65519))
    if tamper:
        broken = bytearray(sent)
        broken[70000] ^= 1
        check(f"stream, {our_role}: a changed frame fails ours", peer.ask("feed", bytes(broken)) == "fail")
        return peer.close()
    halves = [peer.ask("feed", sent[:1001]), peer.ask("feed", sent[1001:])]
    check(f"stream, {our_role}: their frames open on ours, read in pieces",
          bytes.fromhex(halves[0]) == b"" and bytes.fromhex(halves[1]) == big)
    peer.close()


for role in ("initiator", "responder"):
    play(role)
    play_stream(role)
    play_stream(role, tamper=True)
    # The first message of the other side that authenticates: theirs are 2 to
    # our initiator, 1 and 3 to our responder (whose first is not encrypted).
    play(role, tamper=1 if role == "initiator" else 2)
print(f"{results[True]} passed, {results[False]} failed")
sys.exit(1 if results[False] else 0)
