// SPDX-License-Identifier: MIT
// The only code that touches a device's tty. The I/O thread opens, reads,
// writes and closes through it; application threads only ask whether a
// line is hung up.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "atomics.h"
#include "tty.h"

namespace kelvo {
namespace {

constexpr int kModemLines = TIOCM_DTR | TIOCM_RTS;

void makeRaw8N1(termios &settings) {
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHONL | ISIG);
    settings.c_iflag &=
        ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR);
    // Reads return at once with whatever is waiting, possibly nothing.
    settings.c_cc[VTIME] = 0;
    settings.c_cc[VMIN] = 0;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
}

// A tty that was hung up, or whose other side went away, answers EIO (a
// pseudo-terminal), ENXIO or ENODEV (a USB device that left).
LineState stateAfter(int error) {
    if (error == EINTR || error == EAGAIN) return LineState::ok;
    if (error == EIO || error == ENXIO || error == ENODEV) return LineState::hungUp;
    return LineState::failed;
}

// 0 once the descriptor holds the lock, else the errno (EWOULDBLOCK: another
// open file holds it).
int lockExclusively(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

}  // namespace

OpenResult ttyOpen(int *port, const char *path) {
    // Non-blocking: a device that stops reading must never hold up the I/O
    // thread, and opening a tty must not wait for a carrier. O_NOCTTY keeps
    // a process without a controlling terminal from acquiring the device as
    // one (and being killed by SIGHUP when it is unplugged); O_CLOEXEC keeps
    // the programs that discovery starts from inheriting open devices.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return {OpenOutcome::notOpened, errno};
    // Locked before anything touches the line: its settings, the flush and
    // the modem lines belong to the session that holds the device. flock
    // rather than TIOCEXCL: the kernel drops a lock when its holder dies,
    // but a tty's exclusive mode outlives a program that crashed while
    // another descriptor (a pty's master) kept the tty alive, and root
    // ignores it anyway. Only a terminal is locked: a path that is none
    // (/dev/null, a file) fails below anyway, and its lock would refuse
    // every other program that tried the same path.
    const int locked = isatty(fd) ? lockExclusively(fd) : 0;
    if (locked != 0) {
        close(fd);
        return {locked == EWOULDBLOCK ? OpenOutcome::busy : OpenOutcome::notOpened, locked};
    }
    storeRelease(*port, fd);
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return {OpenOutcome::settingsRefused, errno};
    makeRaw8N1(settings);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) return {OpenOutcome::settingsRefused, errno};
    // Bytes waiting from before the open belong to an earlier session (the
    // tail of a stream its program stopped as it exited); read as the start
    // of this one they would pass for an answer or break the first block.
    (void)tcflush(fd, TCIFLUSH);
    int lines = kModemLines;
    (void)ioctl(fd, TIOCMBIS, &lines);
    return {OpenOutcome::ready, 0};
}

Transfer ttyRead(int fd, void *buffer, int capacity) {
    const ssize_t got = read(fd, buffer, static_cast<size_t>(capacity));
    if (got >= 0) return {static_cast<int>(got), LineState::ok};
    return {0, stateAfter(errno)};
}

Transfer ttyWrite(int fd, const void *buffer, int count) {
    ssize_t written;
    do {
        written = write(fd, buffer, static_cast<size_t>(count));
    } while (written < 0 && errno == EINTR);
    if (written >= 0) return {static_cast<int>(written), LineState::ok};
    return {0, stateAfter(errno)};
}

bool ttyOutputPending(int fd) {
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0;
}

void ttyDropOutput(int fd) { (void)tcflush(fd, TCOFLUSH); }

void ttyClose(int *port) {
    const int fd = loadAcquire(*port);
    if (fd < 0) return;
    int lines = kModemLines;
    (void)ioctl(fd, TIOCMBIC, &lines);
    // Explicitly: a child forked without exec shares the descriptor's lock,
    // and closing here would not end it.
    (void)flock(fd, LOCK_UN);
    close(fd);
    storeRelease(*port, -1);
}

bool ttyHungUp(int fd) {
    if (fd < 0) return false;
    pollfd line{fd, 0, 0};
    return poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR)) != 0;
}

}  // namespace kelvo
