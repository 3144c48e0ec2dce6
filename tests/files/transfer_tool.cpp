// The file-transfer ends on their own, for the LAN test and the benchmark:
//   transfer_tool serve RECIPIENT TOKEN PATH... [+ TOKEN PATH...]...
//                                                 serves until stdin closes
//   transfer_tool fetch SENDER TOKEN FOLDER [STALL_SECONDS [VERSION]]
//   transfer_tool list SENDER TOKEN
// With TRANSFER_PRIVATE set, "serve" binds its offers to the fetcher's key and
// serves FILES/3; "fetch" with VERSION 3 fetches privately. Both ends take fixed
// keys: the tool's runs are measurements, not identities.
// "serve" prints "ready" once it listens on TCP port 9000 and its offer is
// listed (its digests are read meanwhile), and the bytes it sent when it
// ends; "fetch" prints the bytes it held before and after, or the error, and
// exits 1 on failure; "list" prints the offer's entries and bytes.
#include "files/FileFetcher.h"
#include "files/FileServer.h"
#include "files/OfferBuilder.h"

#include <array>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

using namespace kestrane;

namespace {

KeyPair FixedKey(std::uint8_t fill) {
    std::array<std::uint8_t, 32> bytes{};
    bytes.fill(fill);
    return *KeyPair::FromPrivate(bytes);
}
const KeyPair kServing = FixedKey(1), kFetching = FixedKey(2);

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 3 ? argv[1] : "";
    std::string error;
    if (command == "serve") {
        // Offers: TOKEN PATH..., then "+ TOKEN PATH..." for each further one.
        FileServer server;
        const bool privately = std::getenv("TRANSFER_PRIVATE") != nullptr;
        std::vector<std::string> tokens;
        for (int at = 3; at < argc;) {
            FileServer::Offer offer{argv[at], argv[2], {}, {}, {}, {}};
            int end = at + 1;
            while (end < argc && std::string(argv[end]) != "+") {
                ++end;
            }
            OfferBuilder builder;
            if (!builder.Build({argv + at + 1, argv + end}, offer, error)) {
                std::cerr << error << '\n';
                return 1;
            }
            tokens.push_back(offer.token);
            if (privately) {
                offer.recipientKey = kFetching.Public();
            }
            server.Add(std::move(offer));
            at = end + 1;
        }
        if (!server.Open(9000, error, kServing)) {
            std::cerr << error << '\n';
            return 1;
        }
        std::cout << "ready" << std::endl;
        std::cin.ignore(std::numeric_limits<std::streamsize>::max());
        std::uint64_t sent = 0;
        for (const std::string& token : tokens) {
            sent += server.SentBytes(token);
        }
        std::cout << "sent " << sent << std::endl;
        return 0;
    }
    if (command == "list") {
        FileFetcher fetcher(argv[2], 9000, argv[3]);
        const auto manifest = fetcher.List(error);
        if (!manifest) {
            std::cout << "failed: " << error << std::endl;
            return 1;
        }
        std::cout << "listed " << manifest->entries.size() << " " << manifest->TotalBytes()
                  << std::endl;
        return 0;
    }
    if (command == "fetch" && argc >= 5) {
        FileFetcher::Limits limits;
        if (argc > 5) {
            limits.stall = std::chrono::seconds(std::stoi(argv[5]));
        }
        const int version = argc > 6 ? std::stoi(argv[6]) : 2;
        FileFetcher fetcher = version == 3 ? FileFetcher(argv[2], 9000, argv[3],
                                                         {kFetching, kServing.Public()}, limits)
                                           : FileFetcher(argv[2], 9000, argv[3], version, limits);
        const auto manifest = fetcher.List(error);
        if (!manifest || !fetcher.Fetch(*manifest, argv[4], error)) {
            std::cout << "failed: " << error << std::endl;
            return 1;
        }
        std::cout << "fetched " << fetcher.doneBytes << " resumed " << fetcher.resumedBytes
                  << std::endl;
        return 0;
    }
    std::cerr << "usage: transfer_tool serve RECIPIENT TOKEN PATH... | fetch SENDER TOKEN FOLDER | "
                 "list SENDER TOKEN\n";
    return 2;
}
