// SPDX-License-Identifier: MIT
#include "simRegistry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace kelvo::sim {

namespace {

struct Entry {
    pid_t pid = 0;
    unsigned long long start = 0;
    std::string serial;
    std::string path;
};

// Field 22 of /proc/PID/stat, the start time; 0 when the process is gone
// or a zombie, which serves no devices either. The command name before it
// is in parentheses and may hold blanks, so counting starts after the last
// ')'.
unsigned long long startTimeOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 1));
    std::string state;
    fields >> state;
    if (state == "Z" || state == "X") return 0;
    std::string skipped;
    for (int field = 4; field < 22 && fields >> skipped; ++field) {
    }
    unsigned long long start = 0;
    fields >> start;
    return start;
}

bool isRunning(const Entry &entry) {
    return entry.pid > 0 && entry.start != 0 && startTimeOf(entry.pid) == entry.start;
}

std::vector<Entry> parse(const std::string &text) {
    std::vector<Entry> entries;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (fields.size() != 4) continue;
        Entry entry;
        entry.pid = static_cast<pid_t>(std::strtol(fields[0].c_str(), nullptr, 10));
        entry.start = std::strtoull(fields[1].c_str(), nullptr, 10);
        entry.serial = fields[2];
        entry.path = fields[3];
        entries.push_back(entry);
    }
    return entries;
}

std::string format(const std::vector<Entry> &entries) {
    std::string text;
    for (const Entry &e : entries) {
        text += std::to_string(e.pid) + '\t' + std::to_string(e.start) + '\t' + e.serial + '\t' + e.path + '\n';
    }
    return text;
}

class LockedFile {
public:
    // Opens the file and takes the lock. The file must be this user's own
    // regular file: in /tmp anyone could have put something there first.
    LockedFile(const std::string &path, int flags, int lock) {
        // A constructor that throws gets no destructor call.
        const auto fail = [&](int error, const std::string &what) {
            if (fd_ >= 0) close(fd_);
            throw std::system_error(error, std::generic_category(), what);
        };
        for (;;) {
            fd_ = open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd_ < 0) fail(errno, path);
            struct stat opened {};
            if (fstat(fd_, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_uid != geteuid()) {
                fail(EPERM, path + " is not this user's own file");
            }
            if ((opened.st_mode & 077) != 0) fchmod(fd_, 0600);
            if (flock(fd_, lock) != 0) fail(errno, path);
            // The last simulator to leave removes the file, perhaps while
            // this one waited for the lock on it: then open the new one.
            struct stat now {};
            if (stat(path.c_str(), &now) == 0 && now.st_ino == opened.st_ino && now.st_dev == opened.st_dev) return;
            close(fd_);
        }
    }
    ~LockedFile() {
        if (fd_ >= 0) close(fd_);
    }
    LockedFile(const LockedFile &) = delete;
    LockedFile &operator=(const LockedFile &) = delete;

    std::string read() const {
        std::string text;
        char bytes[4096];
        off_t at = 0;
        for (ssize_t n; (n = pread(fd_, bytes, sizeof bytes, at)) > 0; at += n) {
            text.append(bytes, static_cast<size_t>(n));
        }
        return text;
    }
    void write(const std::string &text) const {
        if (ftruncate(fd_, 0) != 0 || pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
            throw std::system_error(errno, std::generic_category(), "writing the simulator list");
        }
    }

private:
    int fd_ = -1;
};

std::vector<Entry> running(const std::string &text) {
    std::vector<Entry> entries = parse(text);
    std::erase_if(entries, [](const Entry &e) { return !isRunning(e); });
    return entries;
}

}  // namespace

std::string registryPath() {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/kelvo-sim";
    return "/tmp/kelvo-sim-" + std::to_string(getuid());
}

std::string simulatedSerial(int number) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%04d", number);
    return serial;
}

std::vector<RegisteredDevice> runningSimulatedDevices() {
    std::vector<RegisteredDevice> devices;
    try {
        const LockedFile file(registryPath(), O_RDONLY, LOCK_SH);
        for (const Entry &e : running(file.read())) devices.push_back({e.pid, e.serial, e.path});
    } catch (const std::system_error &) {
        // No simulator has run, or the file is not ours to believe.
    }
    return devices;
}

void registerDevices(int count, const std::function<std::string(const std::string &serial)> &create) {
    const LockedFile file(registryPath(), O_RDWR | O_CREAT, LOCK_EX);
    std::vector<Entry> entries = running(file.read());
    const auto taken = [&](const std::string &serial) {
        return std::any_of(entries.begin(), entries.end(), [&](const Entry &e) { return e.serial == serial; });
    };
    const pid_t self = getpid();
    const unsigned long long start = startTimeOf(self);
    int number = 1;
    for (int d = 0; d < count; ++d) {
        while (taken(simulatedSerial(number))) ++number;
        const std::string serial = simulatedSerial(number);
        entries.push_back({self, start, serial, create(serial)});
    }
    file.write(format(entries));
}

namespace {

// Rewrites the running simulators' lines as `edit` leaves them; the file
// goes when none are left.
template <typename Edit>
void editEntries(int openFlags, Edit edit) {
    const std::string path = registryPath();
    const LockedFile file(path, openFlags, LOCK_EX);
    std::vector<Entry> entries = running(file.read());
    edit(entries);
    if (entries.empty()) {
        unlink(path.c_str());
    } else {
        file.write(format(entries));
    }
}

}  // namespace

void withdrawDevices() {
    try {
        editEntries(O_RDWR, [self = getpid()](std::vector<Entry> &entries) {
            std::erase_if(entries, [self](const Entry &e) { return e.pid == self; });
        });
    } catch (const std::system_error &) {
        // Nothing recorded, or the file went: nothing to take back.
    }
}

void withdrawDevice(const std::string &serial) {
    editEntries(O_RDWR | O_CREAT, [&, self = getpid()](std::vector<Entry> &entries) {
        std::erase_if(entries, [&](const Entry &e) { return e.pid == self && e.serial == serial; });
    });
}

void recordDevice(const std::string &serial, const std::string &path) {
    editEntries(O_RDWR | O_CREAT, [&](std::vector<Entry> &entries) {
        const pid_t self = getpid();
        entries.push_back({self, startTimeOf(self), serial, path});
    });
}

}  // namespace kelvo::sim
