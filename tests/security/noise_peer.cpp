// One side of Noise XX for noise_interop.py, driven a line at a time on
// standard input; each command is answered by one line, hex or "fail":
//   write HEX   the next handshake message, carrying payload HEX
//   read HEX    the payload of the peer's handshake message HEX
//   hash        the handshake hash
//   remote      the peer's static key
//   seal HEX    the transport datagram carrying HEX
//   open HEX    the plaintext of the peer's datagram HEX
// and, for the same handshake over a stream (a side of its own):
//   start       the first frame (empty for the responder)
//   feed HEX    bytes from the stream: the frames to write in answer, or once
//               the handshake is done, the plaintext of the frames they complete
//   frames HEX  the frames carrying HEX
//   kestrane_noise_peer initiator|responder STATIC_PRIVATE_HEX PROLOGUE_HEX
#include "security/NoiseHandshake.h"
#include "security/NoiseTransport.h"
#include "security/StreamHandshake.h"
#include "tests/security/Hex.h"

#include <cstring>
#include <iostream>
#include <string>

using kestrane::NoiseHandshake;
using kestrane::NoiseTransport;
using kestrane::test::FromHex;
using kestrane::test::ToHex;

int main(int argc, char** argv) {
    const auto key = argc == 4 ? kestrane::KeyPair::FromPrivate(FromHex(argv[2])) : std::nullopt;
    if (!key) {
        std::cerr
            << "usage: kestrane_noise_peer initiator|responder STATIC_PRIVATE_HEX PROLOGUE_HEX\n";
        return 2;
    }
    const auto role = std::strcmp(argv[1], "initiator") == 0 ? kestrane::NoiseRole::Initiator
                                                             : kestrane::NoiseRole::Responder;
    const std::vector<std::uint8_t> prologue = FromHex(argv[3]);
    NoiseHandshake handshake(role, *key, prologue);
    std::optional<NoiseTransport> transport;
    std::optional<kestrane::StreamHandshake> stream;
    std::optional<kestrane::StreamHandshake::Transport> frames;
    for (std::string line; std::getline(std::cin, line);) {
        const std::string command = line.substr(0, line.find(' '));
        const auto argument = FromHex(line.substr(std::min(line.size(), command.size() + 1)));
        std::optional<std::vector<std::uint8_t>> answer;
        if (command == "write") {
            answer = handshake.WriteMessage(argument);
        } else if (command == "read") {
            answer = handshake.ReadMessage(argument);
        } else if (command == "hash") {
            answer.emplace(handshake.HandshakeHash().begin(), handshake.HandshakeHash().end());
        } else if (command == "remote" && handshake.RemoteStatic()) {
            answer.emplace(handshake.RemoteStatic()->begin(), handshake.RemoteStatic()->end());
        } else if (command == "seal" && transport) {
            answer = transport->Seal(argument);
        } else if (command == "open" && transport) {
            answer = transport->Open(argument);
        } else if (command == "start") {
            answer = stream.emplace(role, *key, prologue).Start();
        } else if (command == "feed" && frames) {
            answer.emplace();
            if (!frames->opener.Open(argument, *answer)) {
                answer.reset();
            }
        } else if (command == "feed" && stream) {
            answer = stream->Feed(argument);
            if (answer && stream->Done() && (frames = stream->Split()) && answer->empty() &&
                !frames->opener.Open({}, *answer)) {
                answer.reset();
            }
        } else if (command == "frames" && frames) {
            answer.emplace();
            if (!frames->sealer.Seal(argument, *answer)) {
                answer.reset();
            }
        }
        if (!transport) {
            transport = NoiseTransport::After(handshake);
        }
        std::cout << (answer ? ToHex(*answer) : "fail") << std::endl;
    }
    return 0;
}
