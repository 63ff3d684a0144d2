// SPDX-License-Identifier: MIT
// Loads the library, opens the given ttys in slots 0.., unloads it and
// reports through its exit code whether the unload closed the ports:
// 0 closed, 2 open failed, 3 library still loaded, 4 a port still open,
// 5 closing a stalled slot failed or took a second or more.
// With "--stalled" in place of the ttys, slot 0 gets a pseudo-terminal whose
// far end is never read, is given far more commands than the line takes,
// and is closed before the unload.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv) {
    if (argc < 3) return 64;
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 65;
    }
    auto open = reinterpret_cast<int (*)(int, const char *)>(dlsym(library, "kelvoOpen"));
    auto close = reinterpret_cast<int (*)(int)>(dlsym(library, "kelvoClose"));
    auto sendWhileStreaming =
        reinterpret_cast<int (*)(int, const char *)>(dlsym(library, "kelvoSendCmdWhileStreaming"));
    auto *ports = static_cast<int *>(dlsym(library, "myPorts"));
    int descriptors[4] = {-1, -1, -1, -1};
    if (std::strcmp(argv[2], "--stalled") == 0) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 66;
        if (open(0, ptsname(master)) != 0) return 2;
        descriptors[0] = ports[0];
        const std::string command(4000, 'c');
        for (int i = 0; i < 200; ++i) {
            sendWhileStreaming(0, command.c_str());
            usleep(1000);
        }
        const auto start = std::chrono::steady_clock::now();
        if (close(0) != 0 || std::chrono::steady_clock::now() - start >= std::chrono::seconds(1)) return 5;
    } else {
        const int devices = argc - 2 < 4 ? argc - 2 : 4;
        for (int dev = 0; dev < devices; ++dev) {
            if (open(dev, argv[2 + dev]) != 0) return 2;
            descriptors[dev] = ports[dev];
        }
    }
    dlclose(library);
    if (dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) != nullptr) return 3;
    for (int fd : descriptors) {
        if (fd >= 0 && (fcntl(fd, F_GETFD) != -1 || errno != EBADF)) return 4;
    }
    return 0;
}
