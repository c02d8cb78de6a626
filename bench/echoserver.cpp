// uooecho: the bare UDP echo server the SYNC benchmark compares against. It
// receives a datagram and sends it back unchanged, nothing else: the per-datagram
// floor of a single-threaded UDP server on this machine.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[])
{
    int port = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0) {
            port = std::atoi(argv[i + 1]);
        }
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    const int bufferSize = 8 * 1024 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        return 1;
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("READY port=%d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    char buffer[65536];
    for (;;) {
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const ssize_t size = ::recvfrom(fd, buffer, sizeof buffer, 0,
                                        reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (size < 0) {
            continue;
        }
        ::sendto(fd, buffer, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&peer),
                 peerLength);
    }
}
