// SPDX-License-Identifier: MIT
// Test support: TCP ports of 127.0.0.1 for servers the tests start.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace kelvo::test {

// Binds `port` (0: any) of 127.0.0.1 for a moment; the port bound, or 0.
inline int bindLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    int bound = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        bound = ntohs(address.sin_port);
    }
    close(fd);
    return bound;
}

// A TCP port of 127.0.0.1 that was free a moment ago.
inline int freeTcpPort() { return bindLoopback(0); }

// Two neighbouring free ports: a publisher's data port and its time
// service's, the data port + 1.
inline int freeTcpPortPair() {
    for (;;) {
        const int port = freeTcpPort();
        if (port > 0 && port < 65535 && bindLoopback(port + 1) == port + 1) return port;
    }
}

}  // namespace kelvo::test
