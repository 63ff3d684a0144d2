// The only code that touches a device's tty. Called from the I/O thread
// (isSerialPortDisconnected also from application threads).
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "atomics.h"
#include "slots.h"

using namespace kelvo;

namespace {

constexpr int kModemLines = TIOCM_DTR | TIOCM_RTS;

// The slot whose port is `fd` gets the transport fault mark.
void markSlotOf(int fd) {
    for (int dev = 0; dev < kSlots; ++dev) {
        if (loadAcquire(myPorts[dev]) == fd) {
            storeRelease(myPortErr[dev], 1);
            return;
        }
    }
}

void makeRaw8N1(termios &settings) {
    settings.c_cflag &= ~(CSIZE | CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHONL | ISIG);
    settings.c_iflag &= ~(IXON | IXOFF | IXANY | IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
    settings.c_oflag &= ~(OPOST | ONLCR);
    // Reads return at once with whatever is waiting, possibly nothing.
    settings.c_cc[VTIME] = 0;
    settings.c_cc[VMIN] = 0;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
}

}  // namespace

extern "C" {

KELVO_API int openSerialPort(int *port, const char *path) {
    // Blocking, so that a write completes as a rule. O_NOCTTY keeps a process
    // without a controlling terminal from acquiring the device as one (and
    // being killed by SIGHUP when it is unplugged); O_CLOEXEC keeps the
    // programs that discovery starts from inheriting open devices.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 1;
    storeRelease(*port, fd);
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return 1;
    makeRaw8N1(settings);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) return 1;
    // Bytes waiting from before the open belong to an earlier session (the
    // tail of a stream its program stopped as it exited); read as the start
    // of this one they would pass for an answer or break the first block.
    (void)tcflush(fd, TCIFLUSH);
    int lines = kModemLines;
    (void)ioctl(fd, TIOCMBIS, &lines);
    return 0;
}

KELVO_API int readFromSerialPort(int fd, void *buffer, int capacity) {
    if (fd < 0) return 0;
    const ssize_t got = read(fd, buffer, static_cast<size_t>(capacity));
    if (got >= 0) return static_cast<int>(got);
    // Interrupted or nothing waiting is not a failed port.
    if (errno != EINTR && errno != EAGAIN) markSlotOf(fd);
    return 0;
}

KELVO_API int writeToSerialPort(int fd, const void *buffer, int count) {
    if (fd < 0) return 0;
    const auto *bytes = static_cast<const char *>(buffer);
    int written = 0;
    // A short write is no failure: losing the tail would corrupt the
    // command, so go on until every byte is out.
    while (written < count) {
        const ssize_t n = write(fd, bytes + written, static_cast<size_t>(count - written));
        if (n > 0) {
            written += static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd writable{fd, POLLOUT, 0};
            (void)poll(&writable, 1, 100);
        } else {
            markSlotOf(fd);
            return written > 0 ? written : -1;
        }
    }
    return written;
}

KELVO_API int closeSerialPort(int *port) {
    const int fd = loadAcquire(*port);
    if (fd < 0) return 0;
    int lines = kModemLines;
    (void)ioctl(fd, TIOCMBIC, &lines);
    close(fd);
    storeRelease(*port, -1);
    return 0;
}

KELVO_API int isSerialPortDisconnected(int /*fd*/) { return 0; }

}  // extern "C"
