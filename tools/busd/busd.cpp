// SPDX-License-Identifier: MIT
// kelvo-busd: creates the System V segment of the kelvo message bus,
// announces it in /tmp/xyzServer.id, and removes both when interrupted.
//
// The segment is marked for removal as soon as it is attached here. Linux
// still lets processes attach it by its identifier, and the kernel frees it
// once the last of them has gone, so not even a killed server leaves a
// segment behind.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>

#include "busRecord.h"

namespace {

const char *const kPath = kelvo::kBusAnnouncementPath;

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: kelvo-busd [-m MODE]\n"
                 "\n"
                 "Creates the System V shared-memory segment of the kelvo message bus,\n"
                 "announces it in %s and keeps it until interrupted (Ctrl-C,\n"
                 "SIGTERM, SIGHUP); then removes the announcement. A process that loads\n"
                 "the kelvo library while the segment is announced joins the bus by\n"
                 "itself. The segment is freed once the last process using it is gone.\n"
                 "\n"
                 "Options:\n"
                 "  -m, --mode MODE  octal permissions of the segment, with 0600 set\n"
                 "                   (default 0600: this user only; 0660 or 0666 let\n"
                 "                   the group or everyone use the bus)\n"
                 "  -h, --help       show this text\n"
                 "\n"
                 "Exit status: 0 after a clean stop, 1 when the bus cannot be set up\n"
                 "(another server runs, or the announcement cannot be written), 2 for\n"
                 "bad usage.\n",
                 kPath);
}

bool parseMode(const char *text, mode_t &mode) {
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 8);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 0777) return false;
    mode = static_cast<mode_t>(value);
    return (mode & 0600) == 0600;  // the owner must be able to attach it too
}

enum class Announcement { none, live, stale, unreadable };

// What the announcement file at the path says, and the identifier it names.
Announcement inspectAnnouncement(int32_t &identifier) {
    const int fd = open(kPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? Announcement::none : Announcement::unreadable;
    struct stat info {};
    const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const bool complete = regular && read(fd, &identifier, sizeof identifier) == sizeof identifier;
    close(fd);
    if (!regular) return Announcement::unreadable;
    if (!complete) return Announcement::stale;  // the library ignores such a file
    shmid_ds segment{};
    if (shmctl(identifier, IPC_STAT, &segment) == 0) return Announcement::live;
    // Only a segment that is really gone makes the file stale; one we may
    // not look at is somebody's live bus.
    return errno == EINVAL || errno == EIDRM ? Announcement::stale : Announcement::live;
}

// Writes the file under a temporary name and links it into place, so a
// process loading the library never reads half a file and two servers
// starting at once cannot both announce.
bool announce(int32_t identifier) {
    char temporary[] = "/tmp/xyzServer.id.XXXXXX";
    const int fd = mkstemp(temporary);
    if (fd < 0) {
        std::fprintf(stderr, "kelvo-busd: cannot write a file in /tmp: %s\n", std::strerror(errno));
        return false;
    }
    char created[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%S%z", std::localtime(&now));
    std::string text(reinterpret_cast<const char *>(&identifier), sizeof identifier);
    text += "kelvo-busd\npid " + std::to_string(getpid()) + "\ncreated " + created + "\n";
    // Readable by everyone who may use the segment; the identifier alone
    // grants nothing.
    const bool written =
        fchmod(fd, 0644) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    const bool linked = written && link(temporary, kPath) == 0;
    const int linkError = errno;
    unlink(temporary);
    if (!linked) {
        std::fprintf(stderr, "kelvo-busd: cannot create %s: %s\n", kPath,
                     written ? std::strerror(linkError) : "write failed");
    }
    return linked;
}

// Removes the announcement only while it still names our segment.
void withdraw(int32_t identifier) {
    int32_t announced = -1;
    const int fd = open(kPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    const bool ours = read(fd, &announced, sizeof announced) == sizeof announced && announced == identifier;
    close(fd);
    if (ours) unlink(kPath);
}

}  // namespace

// Whatever throws (a string that cannot grow, say) ends the program with a
// message rather than an abort.
int main(int argc, char **argv) try {
    mode_t mode = 0600;
    int choice = 0;
    static const option kOptions[] = {{"mode", required_argument, nullptr, 'm'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    while ((choice = getopt_long(argc, argv, "m:h", kOptions, nullptr)) != -1) {
        if (choice == 'm' && parseMode(optarg, mode)) continue;
        if (choice == 'h') {
            usage(stdout);
            return 0;
        }
        if (choice == 'm') std::fprintf(stderr, "kelvo-busd: mode must be octal, at most 0777, with 0600 set\n");
        usage(stderr);
        return 2;
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }

    int32_t existing = -1;
    switch (inspectAnnouncement(existing)) {
        case Announcement::live:
            std::fprintf(stderr,
                         "kelvo-busd: %s already announces the live segment %d; another server runs "
                         "(or processes still use its bus). Stop it first.\n",
                         kPath, existing);
            return 1;
        case Announcement::unreadable:
            std::fprintf(stderr, "kelvo-busd: %s exists but cannot be read as an announcement; remove it first\n",
                         kPath);
            return 1;
        case Announcement::stale:
            if (unlink(kPath) != 0) {
                std::fprintf(stderr, "kelvo-busd: cannot remove the stale %s: %s\n", kPath, std::strerror(errno));
                return 1;
            }
            std::printf("kelvo-busd: removed the stale %s\n", kPath);
            break;
        case Announcement::none: break;
    }

    // Blocked before anything exists, so an early Ctrl-C still cleans up.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    const int identifier = shmget(IPC_PRIVATE, kelvo::kBusSegmentSize, IPC_CREAT | IPC_EXCL | mode);
    if (identifier < 0) {
        std::fprintf(stderr, "kelvo-busd: cannot create the segment: %s\n", std::strerror(errno));
        return 1;
    }
    void *base = shmat(identifier, nullptr, 0);
    shmctl(identifier, IPC_RMID, nullptr);
    if (base == reinterpret_cast<void *>(-1)) {  // NOLINT(performance-no-int-to-ptr): shmat's failure value
        std::fprintf(stderr, "kelvo-busd: cannot attach the segment: %s\n", std::strerror(errno));
        return 1;
    }
    // A new segment is zero already; the library sets up a record whose
    // user count is 0 when the first process loads it.
    std::memset(base, 0, kelvo::kBusSegmentSize);
    if (!announce(identifier)) {
        shmdt(base);
        return 1;
    }
    std::printf("kelvo-busd: segment %d (%zu bytes, mode %04o) announced in %s; Ctrl-C stops\n", identifier,
                kelvo::kBusSegmentSize, static_cast<unsigned>(mode), kPath);
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);

    withdraw(identifier);
    shmid_ds segment{};
    const bool othersAttached = shmctl(identifier, IPC_STAT, &segment) == 0 && segment.shm_nattch > 1;
    shmdt(base);
    std::printf("kelvo-busd: stopped; %s removed, segment %d freed%s\n", kPath, identifier,
                othersAttached ? " once the processes still attached end" : "");
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "kelvo-busd: %s\n", e.what());
    return 1;
}
