// The file-transfer ends on their own, for the LAN test and the benchmark:
//   transfer_tool serve RECIPIENT TOKEN PATH...   serves until stdin closes
//   transfer_tool fetch SENDER TOKEN FOLDER [STALL_SECONDS [VERSION]]
//   transfer_tool list SENDER TOKEN
// "serve" prints "ready" once it listens on TCP port 9000 and its offer is
// listed (its digests are read meanwhile), and the bytes it sent when it
// ends; "fetch" prints the bytes it held before and after, or the error, and
// exits 1 on failure; "list" prints the offer's entries and bytes.
#include "files/FileFetcher.h"
#include "files/FileServer.h"
#include "files/OfferBuilder.h"

#include <iostream>
#include <limits>

using namespace kestrane;

int main(int argc, char** argv) {
    const std::string command = argc > 3 ? argv[1] : "";
    std::string error;
    if (command == "serve") {
        FileServer server;
        FileServer::Offer offer{argv[3], argv[2], {}, {}, {}};
        OfferBuilder builder;
        if (!builder.Build({argv + 4, argv + argc}, offer, error) || !server.Open(9000, error)) {
            std::cerr << error << '\n';
            return 1;
        }
        server.Add(offer);
        std::cout << "ready" << std::endl;
        std::cin.ignore(std::numeric_limits<std::streamsize>::max());
        std::cout << "sent " << server.SentBytes(offer.token) << std::endl;
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
        FileFetcher fetcher(argv[2], 9000, argv[3], argc > 6 ? std::stoi(argv[6]) : 2);
        if (argc > 5) {
            fetcher.stallLimit = std::chrono::seconds(std::stoi(argv[5]));
        }
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
