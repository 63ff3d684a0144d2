// Loads the library, opens the given ttys in slots 0.., unloads it and
// reports through its exit code whether the unload closed the ports:
// 0 closed, 2 open failed, 3 library still loaded, 4 a port still open.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 3) return 64;
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 65;
    }
    auto open = reinterpret_cast<int (*)(int, const char *)>(dlsym(library, "kelvoOpen"));
    auto *ports = static_cast<int *>(dlsym(library, "myPorts"));
    int descriptors[4] = {-1, -1, -1, -1};
    const int devices = argc - 2 < 4 ? argc - 2 : 4;
    for (int dev = 0; dev < devices; ++dev) {
        if (open(dev, argv[2 + dev]) != 0) return 2;
        descriptors[dev] = ports[dev];
    }
    dlclose(library);
    if (dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) != nullptr) return 3;
    for (int fd : descriptors) {
        if (fd >= 0 && (fcntl(fd, F_GETFD) != -1 || errno != EBADF)) return 4;
    }
    return 0;
}
