// SPDX-License-Identifier: MIT
// Stand-ins for the system's `ls` and `udevadm`, so discovery runs without
// USB hardware: small shell scripts in a temporary folder put first on PATH.
// The fake `udevadm` prints the attribute walk a test chose for each path,
// laid out like the real program's `info -a` output.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace kelvo::test {

struct UsbTty {
    std::string kernel = "ttyACM0";
    std::string vendor = "303a";
    std::string product = "4001";
    std::optional<std::string> serial = "00C1234";
    std::string interfaceDriver = "cdc_acm";
    bool behindHub = false;  // an external hub between the device and the root hub
};

inline std::string block(const std::string &heading, const std::string &kernel, const std::string &subsystem,
                         const std::string &driver, const std::vector<std::string> &attributes) {
    std::string text = "  looking at " + heading + ":\n    KERNELS==\"" + kernel + "\"\n    SUBSYSTEMS==\"" +
                       subsystem + "\"\n    DRIVERS==\"" + driver + "\"\n";
    for (const auto &attribute : attributes) text += "    ATTRS{" + attribute + "\n";
    return text + "\n";
}

inline std::string walkHeader(const std::string &devpath, const std::string &kernel) {
    return "\nUdevadm info starts with the device specified by the devpath and then\n"
           "walks up the chain of parent devices. It prints for every device\n"
           "found, all possible attributes in the udev rules key format.\n"
           "A rule to match, can be composed by the attributes of the device\n"
           "and the attributes from one single parent device.\n\n"
           "  looking at device '" +
           devpath + "':\n    KERNEL==\"" + kernel +
           "\"\n    SUBSYSTEM==\"tty\"\n    DRIVER==\"\"\n    ATTR{power/control}==\"auto\"\n"
           "    ATTR{power/runtime_status}==\"unsupported\"\n\n";
}

// tty, USB interface, USB device, optional hub, root hub, host controller.
inline std::string udevadmWalk(const UsbTty &tty) {
    const std::string root = "/devices/pci0000:00/0000:00:14.0/usb1";
    const std::string port = tty.behindHub ? "1-3.2" : "1-3";
    const std::string device = root + (tty.behindHub ? "/1-3/1-3.2" : "/1-3");
    const bool bridge = tty.kernel.rfind("ttyUSB", 0) == 0;
    std::string text =
        walkHeader(device + "/" + port + ":1.0/" + (bridge ? tty.kernel + "/" : "") + "tty/" + tty.kernel, tty.kernel);
    if (bridge) {
        text += block("parent device '" + device + "/" + port + ":1.0/" + tty.kernel + "'", tty.kernel, "usb-serial",
                      tty.interfaceDriver, {"latency_timer}==\"16\"", "port_number}==\"0\""});
    }
    text += block("parent device '" + device + "/" + port + ":1.0'", port + ":1.0", "usb", tty.interfaceDriver,
                  {"authorized}==\"1\"", "bAlternateSetting}==\" 0\"", "bInterfaceClass}==\"02\"",
                   "bInterfaceNumber}==\"00\"", "bNumEndpoints}==\"01\"", "supports_autosuspend}==\"1\""});
    std::vector<std::string> attributes = {"bDeviceClass}==\"ef\"",
                                           "bMaxPower}==\"500mA\"",
                                           "bcdDevice}==\"0100\"",
                                           "busnum}==\"1\"",
                                           "devnum}==\"7\"",
                                           "idProduct}==\"" + tty.product + "\"",
                                           "idVendor}==\"" + tty.vendor + "\"",
                                           "manufacturer}==\"Acme Instruments\"",
                                           "maxchild}==\"0\"",
                                           "product}==\"Data Logger\""};
    if (tty.serial) attributes.push_back("serial}==\"" + *tty.serial + "\"");
    for (const char *tail : {"speed}==\"12\"", "urbnum}==\"15\"", "version}==\" 2.00\""}) attributes.push_back(tail);
    text += block("parent device '" + device + "'", port, "usb", "usb", attributes);
    if (tty.behindHub) {
        text += block("parent device '" + root + "/1-3'", "1-3", "usb", "usb",
                      {"bDeviceClass}==\"09\"", "idProduct}==\"0610\"", "idVendor}==\"05e3\"",
                       "product}==\"USB2.0 Hub\"", "serial}==\"00000000\""});
    }
    text += block("parent device '" + root + "'", "usb1", "usb", "usb",
                  {"bDeviceClass}==\"09\"", "idProduct}==\"0002\"", "idVendor}==\"1d6b\"",
                   "product}==\"xHCI Host Controller\"", "serial}==\"0000:00:14.0\""});
    text += block("parent device '/devices/pci0000:00/0000:00:14.0'", "0000:00:14.0", "pci", "xhci_hcd",
                  {"class}==\"0x0c0330\"", "vendor}==\"0x8086\""});
    return text + block("parent device '/devices/pci0000:00'", "pci0000:00", "", "", {});
}

// A UART on the board: its parents are platform devices, none of them USB.
inline std::string onBoardUartWalk(const std::string &kernel) {
    return walkHeader("/devices/platform/soc/fe201000.serial/tty/" + kernel, kernel) +
           block("parent device '/devices/platform/soc/fe201000.serial'", "fe201000.serial", "amba", "uart-pl011",
                 {"id}==\"00241011\""}) +
           block("parent device '/devices/platform/soc'", "soc", "platform", "", {}) +
           block("parent device '/devices/platform'", "platform", "", "", {});
}

// Neither running nor a zombie: ended and reaped.
inline bool processGone(pid_t id) { return kill(id, 0) != 0 && errno == ESRCH; }

class FakeSystemTools {
public:
    FakeSystemTools() {
        char pattern[] = "/tmp/kelvo-discovery-XXXXXX";
        dir_ = mkdtemp(pattern);
        savedPath_ = std::getenv("PATH");
        // A hanging stand-in notes its process id first, then prints and
        // sleeps in the same process, so that the id is the one to end.
        script("ls",
               "case \"$1\" in\n/dev/ttyA*) g=A ;;\n/dev/ttyU*) g=U ;;\n*) exit 0 ;;\nesac\n"
               "[ -e \"$d/hang.ls.$g\" ] || exec cat \"$d/ls.$g\"\n"
               "echo $$ >> \"$d/hung\"\ncat \"$d/ls.$g\"\nexec sleep 1000\n");
        // Logs each call's arguments, one a line, then prints the walk
        // chosen for the path given with -n.
        script("udevadm",
               "printf '%s\\n' \"$#\" \"$@\" >> \"$d/udevadm.log\"\n"
               "if [ $# -eq 5 ] && [ \"$1 $2 $3 $4\" = 'info -q property -n' ]; then\n"
               "  n=0\n  while IFS= read -r p; do\n"
               "    [ \"$p\" = \"$5\" ] && exec cat \"$d/properties.$n\"\n    n=$((n+1))\n"
               "  done < \"$d/propertyPaths\"\n  exit 1\nfi\n"
               "[ $# -eq 4 ] && [ \"$1\" = info ] && [ \"$2\" = -n ] && [ \"$4\" = -a ] || exit 2\n"
               "n=0\nwhile IFS= read -r p; do\n  if [ \"$p\" = \"$3\" ]; then\n"
               "    [ -e \"$d/hang.$n\" ] || exec cat \"$d/walk.$n\"\n"
               "    echo $$ >> \"$d/hung\"\n    cat \"$d/walk.$n\"\n    exec sleep 1000\n  fi\n"
               "  n=$((n+1))\ndone < \"$d/paths\"\necho \"Unknown device \\\"$3\\\"\" >&2\nexit 1\n");
        listed('A', {});
        listed('U', {});
        write("paths", "");
        write("propertyPaths", "");
        setenv("PATH", (dir_ + ":" + savedPath_).c_str(), 1);
    }
    ~FakeSystemTools() {
        setenv("PATH", savedPath_.c_str(), 1);
        std::filesystem::remove_all(dir_);
    }

    // What `ls /dev/ttyA*` (group 'A') or `ls /dev/ttyU*` (group 'U') prints.
    void listed(char group, const std::vector<std::string> &paths) {
        std::string text;
        for (const auto &path : paths) text += path + "\n";
        write(std::string("ls.") + group, text);
    }
    // What `udevadm info -n PATH -a` prints.
    void describe(const std::string &path, const std::string &walk) {
        write("walk." + std::to_string(described_++), walk);
        std::ofstream(dir_ + "/paths", std::ios::app) << path << "\n";
    }
    // What `ls` of the group prints before it hangs, never to end by itself.
    void listedThenHang(char group, const std::vector<std::string> &paths) {
        listed(group, paths);
        write(std::string("hang.ls.") + group, "");
    }
    // What `udevadm info -n PATH -a` prints before it hangs, never to end by
    // itself, as with a hung udev (`walk` may be empty, or cut anywhere).
    void describeThenHang(const std::string &path, const std::string &walk) {
        write("hang." + std::to_string(described_), "");
        describe(path, walk);
    }
    // The process ids of the stand-ins that hung, in the order they started.
    std::vector<pid_t> hungProcesses() const {
        std::vector<pid_t> ids;
        std::istringstream lines(read("hung"));
        for (pid_t id; lines >> id;) ids.push_back(id);
        return ids;
    }
    // What `udevadm info -q property -n PATH` prints: KEY=value lines.
    void properties(const std::string &path, const std::string &lines) {
        write("properties." + std::to_string(propertySets_++), lines);
        std::ofstream(dir_ + "/propertyPaths", std::ios::app) << path << "\n";
    }
    // An accepted device at `path` with the USB serial "00C1234", and a
    // foreign adapter at /dev/ttyUSB0 (0403:6001, serial "A9X").
    void listAcceptedAndForeign(const std::string &path) {
        listed('A', {path});
        listed('U', {"/dev/ttyUSB0"});
        UsbTty accepted;
        accepted.serial = "00C1234";
        describe(path, udevadmWalk(accepted));
        UsbTty foreign;
        foreign.kernel = "ttyUSB0";
        foreign.vendor = "0403";
        foreign.product = "6001";
        foreign.serial = "A9X";
        describe("/dev/ttyUSB0", udevadmWalk(foreign));
    }
    std::string udevadmLog() const { return read("udevadm.log"); }
    const std::string &dir() const { return dir_; }

private:
    void script(const std::string &name, const std::string &body) {
        write(name, "#!/bin/sh\nd='" + dir_ + "'\n" + body);
        chmod((dir_ + "/" + name).c_str(), 0755);
    }
    void write(const std::string &name, const std::string &text) { std::ofstream(dir_ + "/" + name) << text; }
    std::string read(const std::string &name) const {
        std::ifstream in(dir_ + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string dir_;
    std::string savedPath_;
    int described_ = 0;
    int propertySets_ = 0;
};

}  // namespace kelvo::test
