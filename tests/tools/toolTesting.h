// SPDX-License-Identifier: MIT
// Test support for the tools' tests: temporary paths, free TCP ports and
// programs in the background.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "backgroundProgram.h"

namespace kelvo::test {

inline std::string tempPath(const std::string &name) {
    return (std::filesystem::temp_directory_path() / ("kelvo-" + std::to_string(getpid()) + "-" + name)).string();
}

// A TCP port of 127.0.0.1 that was free a moment ago.
inline int freeTcpPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// Two neighbouring free ports: a publisher's data port and its time
// service's, the data port + 1.
inline int freeTcpPortPair() {
    for (;;) {
        const int port = freeTcpPort();
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port + 1));
        const bool free = port < 65535 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        close(fd);
        if (free) return port;
    }
}

// A program running in the background; output() is what it wrote to
// standard output, then what it wrote to standard error.
class Background : public BackgroundProgram {
public:
    Background(const std::vector<std::string> &argv, const std::string &name)
        : BackgroundProgram(argv, tempPath(name)) {}
    int wait() { return BackgroundProgram::wait(std::chrono::seconds(120)); }
    std::string output() const { return out() + err(); }
};

}  // namespace kelvo::test
