// The reference for file transfer: a file sent with sendfile over one TCP
// connection and written on the other side with plain reads, nothing else.
//   kestrane_plain_copy serve FILE PORT      serves one connection, then ends
//   kestrane_plain_copy fetch ADDRESS PORT OUT
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

int Serve(const char* path, int port) {
    const int file = open(path, O_RDONLY);
    const int listening = socket(AF_INET, SOCK_STREAM, 0);
    const int enable = 1;
    setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {INADDR_ANY}, {}};
    if (file < 0 || bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listening, 1) != 0) {
        std::perror("serve");
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    const int connection = accept(listening, nullptr, nullptr);
    struct stat status {};
    fstat(file, &status);
    off_t position = 0;
    while (position < status.st_size && sendfile(connection, file, &position, 1 << 30) > 0) {
    }
    close(connection);
    return position == status.st_size ? 0 : 1;
}

int Fetch(const char* host, int port, const char* path) {
    const int connection = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {inet_addr(host)}, {}};
    const int file = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0 ||
        connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("fetch");
        return 1;
    }
    std::vector<char> buffer(1 << 20);
    for (ssize_t count; (count = recv(connection, buffer.data(), buffer.size(), 0)) > 0;) {
        if (write(file, buffer.data(), static_cast<size_t>(count)) != count) {
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "serve" && argc == 4) {
        return Serve(argv[2], std::atoi(argv[3]));
    }
    if (command == "fetch" && argc == 5) {
        return Fetch(argv[2], std::atoi(argv[3]), argv[4]);
    }
    std::fputs("usage: kestrane_plain_copy serve FILE PORT | fetch ADDRESS PORT OUT\n", stderr);
    return 2;
}
