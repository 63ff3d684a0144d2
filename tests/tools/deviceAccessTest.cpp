// SPDX-License-Identifier: MIT
// What a user meets first: simulated devices in `kelvo list` and named by
// their serial numbers, and `kelvo list --diagnose` explaining why a device
// cannot be used.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fakeSystemTools.h"
#include "kelvo.h"
#include "programRunner.h"
#include "simRegistry.h"

using namespace kelvo::test;

namespace {

const std::string kKelvo = KELVO_CLI;
const std::string kSim = KELVO_SIM;

Outcome runKelvo(std::vector<std::string> args, const std::vector<std::string> &unset = {}) {
    args.insert(args.begin(), kKelvo);
    return runProgram(args, unset);
}

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

std::string registry() { return kelvo::sim::registryPath(); }

// A pseudo-terminal of this test's own; its slave stands in for a USB tty.
class TestTty {
public:
    TestTty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("pty");
        path = ptsname(master_);
    }
    ~TestTty() { close(master_); }
    TestTty(const TestTty &) = delete;
    TestTty &operator=(const TestTty &) = delete;
    std::string path;

private:
    int master_ = -1;
};

// `tty` listed as an accepted device with the given udev properties.
void listAsUsbDevice(FakeSystemTools &tools, const std::string &tty, const std::string &properties) {
    tools.listed('A', {tty});
    tools.describe(tty, udevadmWalk(UsbTty{}));
    tools.properties(tty, "DEVNAME=" + tty + "\nID_VENDOR_ID=303a\nID_MODEL_ID=4001\nID_SERIAL_SHORT=00C1234\n" +
                              properties);
}

std::string line(const std::string &kind, const std::string &path, const std::string &serial) {
    return kind + "\t" + path + "\t" + serial + "\n";
}

}  // namespace

TEST(SimulatedDevices, AreListedWithUniqueSerialsAnsweredByThemAndGoneWithTheirSimulator) {
    FakeSystemTools tools;  // no USB devices
    auto first = std::make_unique<SimProcess>(kSim, std::vector<std::string>{}, 2);
    SimProcess second(kSim, {});

    const Outcome list = runKelvo({"list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, line("simulated", first->paths[0], "SIM0001") + line("simulated", first->paths[1], "SIM0002") +
                            line("simulated", second.paths[0], "SIM0003"));
    EXPECT_EQ(runKelvo({"list", "--all"}).out, list.out);
    EXPECT_STREQ(kelvoListAllDevices(), "") << "the library lists USB devices only";

    struct stat info {};
    ASSERT_EQ(stat(registry().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(readFile(registry()).find(std::to_string(second.pid()) + "\t"), std::string::npos);

    for (const std::string serial : {"SIM0003", "SIM0001"}) {
        const Outcome idn = runKelvo({"query", serial, "*IDN?"});
        EXPECT_EQ(idn.status, 0) << serial << ": " << idn.err;
        EXPECT_NE(idn.out.find("," + serial + ","), std::string::npos) << serial << " answered " << idn.out;
    }

    // A simulator killed outright leaves its lines behind; they are ignored,
    // and its serial numbers are free again. (Not reaped: a zombie counts
    // as gone.)
    kill(first->pid(), SIGKILL);
    for (int i = 0; i < 100 && runKelvo({"list"}).out != line("simulated", second.paths[0], "SIM0003"); ++i) {
        usleep(20000);
    }
    EXPECT_EQ(runKelvo({"list"}).out, line("simulated", second.paths[0], "SIM0003"));
    EXPECT_NE(runKelvo({"query", "SIM0001", "*IDN?"}).status, 0);
    {
        SimProcess third(kSim, {});
        EXPECT_EQ(runKelvo({"list"}).out,
                  line("simulated", second.paths[0], "SIM0003") + line("simulated", third.paths[0], "SIM0001"));
        EXPECT_EQ(readFile(registry()).find(std::to_string(first->pid()) + "\t"), std::string::npos)
            << "the next simulator drops the lines of a killed one";
    }
    EXPECT_EQ(runKelvo({"list"}).out, line("simulated", second.paths[0], "SIM0003")) << "a stopped one takes its own";
    first.reset();
}

TEST(SimulatedDevices, WithoutARuntimeFolderAreRecordedInTmpForThisUserOnly) {
    const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_RUNTIME_DIR");
    const std::string file = "/tmp/kelvo-sim-" + std::to_string(getuid());
    EXPECT_EQ(registry(), file);
    pid_t pid = 0;
    {
        SimProcess sim(kSim, {});
        pid = sim.pid();
        struct stat info {};
        ASSERT_EQ(stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(info.st_uid, geteuid());
        EXPECT_NE(readFile(file).find(std::to_string(pid) + "\t"), std::string::npos);
        EXPECT_NE(runKelvo({"list"}).out.find("simulated\t" + sim.paths[0] + "\tSIM"), std::string::npos);
    }
    // Other simulators of this user may still be recorded there; this one is not.
    EXPECT_EQ(readFile(file).find(std::to_string(pid) + "\t"), std::string::npos);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
}

// As root every tty opens, so root looks through the eyes of "nobody",
// whom the pty's mode (0620 root:tty, or 0600) shuts out. An ordinary user takes
// away the permissions of a pty of their own instead.
TEST(Diagnosis, NamesAUserWithoutAccessAndTheFix) {
    TestTty tty;
    FakeSystemTools tools;
    listAsUsbDevice(tools, tty.path, "");

    const Outcome fine = runKelvo({"list", "--diagnose"});
    EXPECT_EQ(fine.status, 0) << fine.out << fine.err;
    EXPECT_NE(fine.out.find(tty.path + "\n  listed as:    tallo, serial C1234\n"), std::string::npos) << fine.out;
    EXPECT_NE(fine.out.find("USB identity: 303a:4001, serial 00C1234"), std::string::npos) << fine.out;
    EXPECT_NE(fine.out.find("access:       read-write for "), std::string::npos) << fine.out;
    EXPECT_NE(fine.out.find("udev rule:    not active for this device"), std::string::npos) << fine.out;
    EXPECT_NE(fine.out.find("verdict:      usable\n"), std::string::npos) << fine.out;

    Outcome denied;
    std::string expectedFix;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is needed to drop root";
        const passwd *nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        chmod(tools.dir().c_str(), 0755);  // nobody runs the stand-in udevadm from there
        denied =
            runProgram({"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                        "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups", kKelvo, "list", "--diagnose"},
                       {"XDG_RUNTIME_DIR"});
        ASSERT_NE(denied.status, 126) << "nobody cannot run " << kKelvo << ": " << denied.err;
        EXPECT_NE(denied.out.find("access:       no read-write access for nobody: Permission denied (c"),
                  std::string::npos)
            << denied.out << denied.err;
        expectedFix = "fix:          install the kelvo udev rule, which gives the logged-in user access";
    } else {
        ASSERT_EQ(chmod(tty.path.c_str(), 0), 0);
        denied = runKelvo({"list", "--diagnose"});
        EXPECT_NE(denied.out.find("Permission denied (c--------- "), std::string::npos) << denied.out;
        expectedFix = "fix:          its mode shuts out even its owner: chmod u+rw " + tty.path;
    }
    EXPECT_EQ(denied.status, 1) << denied.out << denied.err;
    EXPECT_NE(denied.out.find(expectedFix), std::string::npos) << denied.out;
    EXPECT_NE(denied.out.find("verdict:      NOT usable until fixed\n\n1 device listed, 0 usable\n"), std::string::npos)
        << denied.out;
}

TEST(Diagnosis, NamesTheProcessHoldingADeviceOpen) {
    TestTty tty;
    FakeSystemTools tools;
    listAsUsbDevice(tools, tty.path, "");
    const int held = open(tty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    std::string program = readFile("/proc/self/comm");
    program.pop_back();

    const Outcome o = runKelvo({"list", "--diagnose"});
    close(held);
    EXPECT_EQ(o.status, 1) << o.out << o.err;
    const std::string pid = std::to_string(getpid());
    EXPECT_NE(o.out.find("held:         open in pid " + pid + " (" + program + ")\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("fix:          only one program at a time can use it: end the other (kill " + pid + ")"),
              std::string::npos)
        << o.out;

    // The simulator's own hold on its device is no obstacle; a stranger's is.
    SimProcess sim(kSim, {});
    const int stranger = open(sim.paths[0].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(stranger, 0);
    const Outcome simulated = runKelvo({"list", "--diagnose"});
    close(stranger);
    EXPECT_NE(simulated.out.find(sim.paths[0] + "\n  listed as:    simulated, serial SIM0001 (kelvo-sim, pid " +
                                 std::to_string(sim.pid()) + ")\n"),
              std::string::npos)
        << simulated.out;
    EXPECT_NE(simulated.out.find("held:         open in pid " + pid + " (" + program + ")\n"), std::string::npos)
        << simulated.out;
    EXPECT_EQ(simulated.out.find("(kelvo-sim)"), std::string::npos) << simulated.out;
    EXPECT_EQ(runKelvo({"list", "--diagnose"}).status, 0) << "both usable once the stranger let go";
}

// A process called ModemManager is what the diagnosis looks for.
TEST(Diagnosis, WarnsOfModemManagerUnlessToldToIgnoreAndExplainsUnlistedTtys) {
    const std::string decoy = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/ModemManager";
    std::filesystem::copy_file("/bin/sleep", decoy);
    const pid_t modemManager = fork();
    if (modemManager == 0) {
        execl(decoy.c_str(), decoy.c_str(), "60", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Its name is set at exec.
    for (int i = 0; i < 100 && readFile("/proc/" + std::to_string(modemManager) + "/comm") != "ModemManager\n"; ++i) {
        usleep(10000);
    }
    TestTty probed;
    TestTty ignored;
    TestTty foreign;
    FakeSystemTools tools;
    tools.listed('A', {probed.path, ignored.path});
    tools.listed('U', {foreign.path});
    tools.describe(probed.path, udevadmWalk(UsbTty{}));
    tools.describe(ignored.path, udevadmWalk(UsbTty{}));
    UsbTty other;
    other.vendor = "0403";
    other.product = "6001";
    tools.describe(foreign.path, udevadmWalk(other));
    tools.properties(probed.path, "ID_VENDOR_ID=303a\nID_MODEL_ID=4001\n");
    tools.properties(ignored.path,
                     "ID_VENDOR_ID=303a\nID_MODEL_ID=4001\nID_MM_DEVICE_IGNORE=1\nDEVLINKS=/dev/serial/"
                     "by-id/usb-x /dev/kelvo/00C1234\n");
    tools.properties(foreign.path, "ID_VENDOR_ID=0403\nID_MODEL_ID=6001\n");

    const Outcome o = runKelvo({"list", "--diagnose"});
    kill(modemManager, SIGKILL);
    waitpid(modemManager, nullptr, 0);
    EXPECT_EQ(o.status, 0) << "ModemManager's probing is a warning: " << o.out << o.err;
    const std::string running = "ModemManager: running (pid ";
    const size_t atProbed = o.out.find(probed.path + "\n");
    const size_t atIgnored = o.out.find(ignored.path + "\n");
    const size_t atForeign = o.out.find(foreign.path + "\n");
    ASSERT_TRUE(atProbed != std::string::npos && atIgnored != std::string::npos && atForeign != std::string::npos)
        << o.out;
    const std::string probedPart = o.out.substr(atProbed, atIgnored - atProbed);
    const std::string ignoredPart = o.out.substr(atIgnored, atForeign - atIgnored);
    EXPECT_NE(probedPart.find(running), std::string::npos) << probedPart;
    EXPECT_NE(probedPart.find("not told to leave this device alone"), std::string::npos) << probedPart;
    EXPECT_NE(probedPart.find("fix:          install the kelvo udev rule (it sets ID_MM_DEVICE_IGNORE=1)"),
              std::string::npos)
        << probedPart;
    EXPECT_NE(ignoredPart.find("told to leave this device alone\n"), std::string::npos) << ignoredPart;
    EXPECT_NE(ignoredPart.find("udev rule:    active: /dev/kelvo/00C1234\n"), std::string::npos) << ignoredPart;
    EXPECT_NE(o.out.find(foreign.path + "\n  listed as:    not listed: its USB identity 0403:6001 is neither "
                                        "303a:4001 nor 0483:5740"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("\n2 devices listed, 2 usable\n"), std::string::npos) << o.out;
}
