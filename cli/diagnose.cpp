// SPDX-License-Identifier: MIT
// `kelvo list --diagnose`: for every USB tty and simulated device, what
// stands between this user and using it. Nothing here opens a device:
// opening a tty raises DTR, which resets some boards, so access is judged
// with access(2) and holders are found in /proc/*/fd.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "cli.h"

namespace kelvo::cli {

namespace {

const char kTroubleshooting[] = "see 'Troubleshooting' in the README";

using Properties = std::map<std::string, std::string>;

std::string shellQuoted(const std::string &text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// What udev knows of the tty; empty for one it does not manage (a
// pseudo-terminal) or without udevadm.
Properties udevProperties(const std::string &path) {
    Properties properties;
    const std::string command = "udevadm info -q property -n " + shellQuoted(path) + " 2>/dev/null";
    FILE *out = popen(command.c_str(), "re");  // NOLINT(cert-env33-c): the path is quoted
    if (out == nullptr) return properties;
    char line[4096];
    while (std::fgets(line, sizeof line, out) != nullptr) {
        std::string text = line;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        const size_t equals = text.find('=');
        if (equals != std::string::npos) properties[text.substr(0, equals)] = text.substr(equals + 1);
    }
    pclose(out);
    return properties;
}

std::string property(const Properties &properties, const std::string &name) {
    const auto found = properties.find(name);
    return found == properties.end() ? "" : found->second;
}

std::string readFirstLine(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

struct Holder {
    pid_t pid;
    std::string program;
};

struct ProcessScan {
    std::map<dev_t, std::vector<Holder>> holders;
    pid_t modemManager = 0;
    int unseen = 0;  // processes whose descriptors this user may not look at
};

// One pass over /proc: who holds which of `devices` open, and whether
// ModemManager runs. Devices are compared by number, so /dev/kelvo/...
// links and the tty's own name are the same device.
ProcessScan scanProcesses(const std::set<dev_t> &devices) {
    ProcessScan scan;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return scan;
    const pid_t self = getpid();
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        const std::string program = readFirstLine(base + "/comm");
        if (program == "ModemManager") scan.modemManager = static_cast<pid_t>(pid);
        DIR *fds = opendir((base + "/fd").c_str());
        if (fds == nullptr) {
            if (errno == EACCES) ++scan.unseen;
            continue;
        }
        while (const dirent *fd = readdir(fds)) {
            const std::string link = base + "/fd/" + fd->d_name;
            char target[16];
            const ssize_t length = readlink(link.c_str(), target, sizeof target);
            struct stat info {};
            if (length < 5 || std::strncmp(target, "/dev/", 5) != 0 || stat(link.c_str(), &info) != 0 ||
                !S_ISCHR(info.st_mode) || !devices.contains(info.st_rdev)) {
                continue;
            }
            std::vector<Holder> &holders = scan.holders[info.st_rdev];
            if (holders.empty() || holders.back().pid != pid) holders.push_back({static_cast<pid_t>(pid), program});
        }
        closedir(fds);
    }
    closedir(proc);
    return scan;
}

std::string userName(uid_t uid) {
    const passwd *entry = getpwuid(uid);
    return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string groupName(gid_t gid) {
    const group *entry = getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

std::string modeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : "-";
    const char *letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) text += (mode & (0400u >> bit)) != 0 ? letters[bit] : '-';
    return text;
}

bool inThisSession(gid_t gid) {
    if (getegid() == gid) return true;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    const int count = getgroups(static_cast<int>(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(count, 0), gid) != groups.begin() + std::max(count, 0);
}

// Whether the group database makes the user a member, as the next login
// will see it.
bool memberByDatabase(gid_t gid, const std::string &user) {
    const passwd *account = getpwnam(user.c_str());
    if (account != nullptr && account->pw_gid == gid) return true;
    const group *entry = getgrgid(gid);
    if (entry == nullptr) return false;
    for (char **member = entry->gr_mem; *member != nullptr; ++member) {
        if (user == *member) return true;
    }
    return false;
}

struct Finding {
    std::string text;
    std::string fix;  // empty when there is nothing to do
};

Finding judgeAccess(const ListedDevice &device) {
    const std::string &path = device.path;
    const std::string user = userName(getuid());
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return {std::string("cannot be looked at: ") + std::strerror(errno), "plug the device in again"};
    }
    if (access(path.c_str(), R_OK | W_OK) == 0) return {"read-write for " + user, ""};
    const int error = errno;
    const std::string group = groupName(info.st_gid);
    Finding finding{"no read-write access for " + user + ": " + std::strerror(error) + " (" + modeText(info.st_mode) +
                        " " + userName(info.st_uid) + " " + group + ")",
                    ""};
    if (error != EACCES) return finding;
    if (info.st_uid == getuid()) {
        finding.fix = "its mode shuts out even its owner: chmod u+rw " + path;
    } else if (device.kind == "simulated") {
        finding.fix = "it belongs to the kelvo-sim of " + userName(info.st_uid) + "; run kelvo as that user";
    } else {
        finding.fix = std::string("install the kelvo udev rule, which gives the logged-in user access (") +
                      kTroubleshooting + ")";
        if ((info.st_mode & S_IRGRP) != 0 && (info.st_mode & S_IWGRP) != 0 && !inThisSession(info.st_gid)) {
            finding.fix += memberByDatabase(info.st_gid, user)
                               ? "; or, since you joined group '" + group + "' after logging in, log out and in again"
                               : "; or join group '" + group + "': sudo usermod -aG " + group +
                                     " \"$USER\", then log out and in again";
        }
    }
    return finding;
}

Finding judgeHolders(const std::vector<Holder> &holders, int unseen) {
    if (holders.empty()) {
        return {unseen > 0 ? "no other process seen (" + std::to_string(unseen) +
                                 " processes of other users could not be looked at)"
                           : "no other process",
                ""};
    }
    std::string text;
    std::string pids;
    bool modemManager = false;
    for (const Holder &h : holders) {
        text += (text.empty() ? "" : ", ") + std::string("pid ") + std::to_string(h.pid) + " (" + h.program + ")";
        pids += " " + std::to_string(h.pid);
        modemManager = modemManager || h.program == "ModemManager";
    }
    return {"open in " + text, modemManager ? std::string("ModemManager is probing it: install the kelvo udev rule (") +
                                                  kTroubleshooting + ") and plug the device in again"
                                            : "only one program at a time can use it: end the other (kill" + pids +
                                                  ") or close the port there"};
}

Finding judgeModemManager(pid_t modemManager, const Properties &properties) {
    if (modemManager == 0) return {"not running", ""};
    const std::string running = "running (pid " + std::to_string(modemManager) + ")";
    if (property(properties, "ID_MM_DEVICE_IGNORE") == "1") return {running + ", told to leave this device alone", ""};
    return {running + " and not told to leave this device alone: it sends AT commands to it after plug-in",
            "install the kelvo udev rule (it sets ID_MM_DEVICE_IGNORE=1) and plug the device in again, or stop "
            "ModemManager: sudo systemctl stop ModemManager"};
}

Finding judgeUdevRule(const Properties &properties) {
    std::istringstream links(property(properties, "DEVLINKS"));
    for (std::string link; links >> link;) {
        if (link.rfind("/dev/kelvo/", 0) == 0) return {"active: " + link, ""};
    }
    return {"not active for this device (no /dev/kelvo/ link)",
            "install it: see 'Using it with real devices' in the README"};
}

std::string usbIdentity(const Properties &properties) {
    std::string vendor = property(properties, "ID_VENDOR_ID");
    std::string product = property(properties, "ID_MODEL_ID");
    if (vendor.empty()) vendor = property(properties, "ID_USB_VENDOR_ID");
    if (product.empty()) product = property(properties, "ID_USB_MODEL_ID");
    return vendor.empty() || product.empty() ? "" : vendor + ":" + product;
}

std::string listing(const ListedDevice &device, const std::string &identity) {
    if (device.kind == "simulated") {
        return "simulated, serial " + device.serial + " (kelvo-sim, pid " + std::to_string(device.simulator) + ")";
    }
    if (device.kind != "foreign") return device.kind + ", serial " + device.serial;
    return "not listed: its USB identity " + (identity.empty() ? std::string("(unknown)") : identity) +
           " is neither 303a:4001 nor 0483:5740 ('kelvo list --all' shows it as foreign)";
}

void show(const char *label, const Finding &finding, bool &usable, bool blocking) {
    std::printf("  %-13s %s\n", label, finding.text.c_str());
    if (finding.fix.empty()) return;
    std::printf("  %-13s %s\n", "fix:", finding.fix.c_str());
    if (blocking) usable = false;
}

// Prints the report of one tty; true when it is listed and usable.
bool report(const ListedDevice &device, const ProcessScan &scan, dev_t number) {
    const bool simulated = device.kind == "simulated";
    const Properties properties = simulated ? Properties{} : udevProperties(device.path);
    const std::string identity = usbIdentity(properties);
    std::printf("%s\n", device.path.c_str());
    std::printf("  %-13s %s\n", "listed as:", listing(device, identity).c_str());
    if (!simulated && !identity.empty()) {
        const std::string serial = property(properties, "ID_SERIAL_SHORT");
        std::printf("  %-13s %s%s\n", "USB identity:", identity.c_str(),
                    serial.empty() ? ", no serial number" : (", serial " + serial).c_str());
    }
    bool usable = true;
    show("access:", judgeAccess(device), usable, true);
    std::vector<Holder> holders;
    const auto held = scan.holders.find(number);
    if (held != scan.holders.end()) holders = held->second;
    // A simulator keeps its own devices open.
    std::erase_if(holders, [&](const Holder &h) { return simulated && h.pid == device.simulator; });
    show("held:", judgeHolders(holders, scan.unseen), usable, true);
    if (simulated) {
        std::printf("  %-13s %s\n", "ModemManager:", "leaves pseudo-terminals alone");
    } else {
        show("ModemManager:", judgeModemManager(scan.modemManager, properties), usable, false);
        if (device.kind != "foreign") show("udev rule:", judgeUdevRule(properties), usable, false);
    }
    if (device.kind == "foreign") return true;
    std::printf("  %-13s %s\n", "verdict:", usable ? "usable" : "NOT usable until fixed");
    return usable;
}

}  // namespace

int diagnoseDevices() {
    const std::vector<ListedDevice> devices = listedDevices(true);
    std::vector<dev_t> numbers;
    for (const ListedDevice &device : devices) {
        struct stat info {};
        numbers.push_back(stat(device.path.c_str(), &info) == 0 && S_ISCHR(info.st_mode) ? info.st_rdev : 0);
    }
    std::set<dev_t> wanted(numbers.begin(), numbers.end());
    wanted.erase(0);
    const ProcessScan scan = scanProcesses(wanted);
    int listed = 0;
    int usable = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (i > 0) std::printf("\n");
        const bool good = report(devices[i], scan, numbers[i]);
        if (devices[i].kind == "foreign") continue;
        ++listed;
        if (good) ++usable;
    }
    if (devices.empty()) {
        std::printf("no USB tty and no simulated device found\n");
    } else {
        std::printf("\n%d device%s listed, %d usable\n", listed, listed == 1 ? "" : "s", usable);
    }
    return usable == listed ? 0 : 1;
}

}  // namespace kelvo::cli
