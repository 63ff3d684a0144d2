// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <vector>

#include "fakeSystemTools.h"
#include "kelvo_lowlevel.h"
#include "ptyDevice.h"
#include "udevadmParser.h"

using namespace kelvo::discovery;
using kelvo::test::FakeSystemTools;
using kelvo::test::udevadmWalk;
using kelvo::test::UsbTty;

namespace {

// Feeds `walk` line by line as the pipe reader does; decided or not.
bool scanWalk(const std::string &walk, IdentityScan &scan) {
    beginScan(scan);
    std::istringstream lines(walk);
    for (std::string line; std::getline(lines, line);) {
        if (scanLine(scan, line)) return true;
    }
    return false;
}

UsbTty device(std::string kernel, std::string vendor, std::string product, std::optional<std::string> serial) {
    UsbTty tty;
    tty.kernel = std::move(kernel);
    tty.vendor = std::move(vendor);
    tty.product = std::move(product);
    tty.serial = std::move(serial);
    return tty;
}

}  // namespace

TEST(SerialKind, FollowsTheLettersAfterTheSkippedPrefixWithinTwentyCharacters) {
    struct Case {
        const char *serial, *kind, *shown;
    };
    const Case cases[] = {
        {"00C1234", "tallo", "C1234"},
        {"B123", "orv", "B123"},
        {"E77", "orv_t", "E77"},
        {"123456", "orv", "123456"},
        {"A1", "unknown", "A1"},
        {"XY12", "xy", "XY12"},
        {"", "orv", ""},
        {" 0\\_0b9", "orv", "b9"},
        {"0000000000000000000000000000000", "orv", ""},
        // Only the first 20 characters behind the prefix count.
        {"12345678901234567890c", "orv", "12345678901234567890c"},
        {"1234567890123456789c", "tallo", "1234567890123456789c"},
        // Bytes above 127 are digit-like; ':' and '_' are letter-like.
        {"\xc3\xa9"
         "c",
         "tallo",
         "\xc3\xa9"
         "c"},
        {"X:1_y", "x:_y", "X:1_y"},
    };
    for (const Case &c : cases) {
        SerialClasses classes;
        const char *shown = nullptr;
        EXPECT_STREQ(classifySerial(c.serial, classes, &shown), c.kind) << c.serial;
        EXPECT_STREQ(shown, c.shown) << c.serial;
    }
}

TEST(UdevadmWalk, AcceptsOnlyTheTwoIdentitiesAndNotTheirCrossPairs) {
    struct Case {
        const char *vendor, *product;
        bool accepted;
    };
    for (const Case &c : {Case{"303a", "4001", true}, Case{"0483", "5740", true}, Case{"303a", "5740", false},
                          Case{"0483", "4001", false}, Case{"0403", "6001", false}}) {
        IdentityScan scan;
        ASSERT_TRUE(scanWalk(udevadmWalk(device("ttyACM0", c.vendor, c.product, "SN9")), scan));
        EXPECT_EQ(isAcceptedIdentity(scan), c.accepted) << c.vendor << ":" << c.product;
        EXPECT_STREQ(scan.savedSN, "SN9");
    }
}

TEST(UdevadmWalk, ReadsTheUsbDeviceNotItsInterfaceNorTheHubsAbove) {
    // Without a serial of its own the decision falls at the next heading,
    // before the hub's and the root hub's serial lines.
    UsbTty tty = device("ttyACM0", "303a", "4001", std::nullopt);
    tty.behindHub = true;
    IdentityScan scan;
    ASSERT_TRUE(scanWalk(udevadmWalk(tty), scan));
    EXPECT_TRUE(isAcceptedIdentity(scan));
    EXPECT_STREQ(scan.savedSN, "");

    // A USB-serial bridge puts a usb-serial block and an interface between.
    tty = device("ttyUSB0", "0483", "5740", "00042");
    tty.interfaceDriver = "ftdi_sio";
    ASSERT_TRUE(scanWalk(udevadmWalk(tty), scan));
    EXPECT_TRUE(isAcceptedIdentity(scan));
    EXPECT_STREQ(scan.savedSN, "00042");

    EXPECT_FALSE(scanWalk(kelvo::test::onBoardUartWalk("ttyAMA0"), scan));
}

TEST(UdevadmWalk, SerialKeeps31CharactersAndALineWithoutQuotesKeepsTheLastOne) {
    IdentityScan scan;
    beginScan(scan);
    for (const char *line : {"    SUBSYSTEMS==\"usb\"", "    DRIVERS==\"usb\"",
                             "    ATTRS{serial}==\"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\""}) {
        EXPECT_FALSE(scanLine(scan, line));
    }
    EXPECT_STREQ(scan.savedSN, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
    EXPECT_FALSE(scanLine(scan, "    ATTRS{serial}==unquoted"));
    EXPECT_STREQ(scan.savedSN, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
    EXPECT_TRUE(scanLine(scan, "    ATTRS{idVendor}==\"303a\""));  // the fifth step decides
}

TEST(DeviceLines, ALineIsWrittenWholeOrNotAtAll) {
    // Exactly the buffer's size on the heap, so one byte too far is caught.
    std::vector<char> text(32);
    text[0] = '\0';
    EXPECT_EQ(appendLine(text.data(), text.size(), "orv", "/dev/ttyACM0", "B12"), Appended::line);  // 21 bytes
    EXPECT_EQ(appendLine(text.data(), text.size(), "orv", "/dev/ttyACM1", "B"), Appended::full);    // needs 12
    EXPECT_EQ(appendLine(text.data(), text.size(), "orv", "/dev", ""), Appended::line);             // 10 + zero
    EXPECT_STREQ(text.data(), "orv\t/dev/ttyACM0\tB12\norv\t/dev\t\n");
    EXPECT_EQ(appendLine(text.data(), text.size(), "", "", ""), Appended::full);
    EXPECT_EQ(appendLine(text.data(), text.size(), "orv", "/dev/tty\tx", ""), Appended::nothing);
}

TEST(UdevadmCommand, AQuotedPathThatDoesNotFitIsRefusedNotCut) {
    char command[kCommandLineSize];
    ASSERT_TRUE(formatUdevadmCommand(command, sizeof command, std::string(399, 'x')));
    EXPECT_EQ(std::string(command), "exec udevadm info -n '" + std::string(399, 'x') + "' -a");
    EXPECT_FALSE(formatUdevadmCommand(command, sizeof command, std::string(399, '\'')));
}

class Discovery : public ::testing::Test {
protected:
    void describeAll(const std::vector<std::pair<std::string, std::string>> &walks) {
        for (const auto &[path, walk] : walks) tools.describe(path, walk);
    }
    FakeSystemTools tools;
};

TEST_F(Discovery, ListsAcceptedDevicesAndForeignOnesOnlyInListAllModeWhichPersists) {
    UsbTty bridge = device("ttyUSB0", "0403", "6001", "0001A2");
    bridge.interfaceDriver = "ftdi_sio";
    tools.listed('A', {"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyACM2", "/dev/ttyAMA0", "/dev/ttyACM3"});
    tools.listed('U', {"/dev/ttyUSB0"});
    describeAll({{"/dev/ttyACM0", udevadmWalk(device("ttyACM0", "303a", "4001", "00C1234"))},
                 {"/dev/ttyACM1", udevadmWalk(device("ttyACM1", "0483", "5740", "E77"))},
                 {"/dev/ttyACM2", udevadmWalk(device("ttyACM2", "303a", "5740", "0042"))},
                 {"/dev/ttyAMA0", kelvo::test::onBoardUartWalk("ttyAMA0")},
                 {"/dev/ttyACM3", udevadmWalk(device("ttyACM3", "303a", "4001", std::nullopt))},
                 {"/dev/ttyUSB0", udevadmWalk(bridge)}});
    const std::string accepted = "tallo\t/dev/ttyACM0\tC1234\norv_t\t/dev/ttyACM1\tE77\norv\t/dev/ttyACM3\t\n";
    const std::string all =
        "tallo\t/dev/ttyACM0\tC1234\norv_t\t/dev/ttyACM1\tE77\nforeign\t/dev/ttyACM2\t0042\n"
        "orv\t/dev/ttyACM3\t\nforeign\t/dev/ttyUSB0\t0001A2\n";
    EXPECT_EQ(std::string(kelvoListDevices()), accepted);
    EXPECT_EQ(std::string(kelvoListAllDevices()), all);
    EXPECT_EQ(std::string(serialportinfo()), all);
    listAllSerialDevices(0);
    EXPECT_EQ(std::string(serialportinfo()), accepted);
    EXPECT_EQ(kelvoListDevices(), serialportinfo());  // one static text
}

TEST_F(Discovery, NoCandidatesAFailingUdevadmOrAnOverlongPathGiveNoLine) {
    const char *list = kelvoListAllDevices();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "");
    // udevadm knows nothing of ttyUSB7; a path longer than a line of ls
    // output must not be listed cut, though the cut one exists.
    const std::string overlong = "/dev/ttyUSB" + std::string(450, 'x');
    tools.listed('U', {"/dev/ttyUSB7", overlong, "/dev/ttyUSB1"});
    tools.describe(overlong.substr(0, kPathLineSize - 1), udevadmWalk(device("ttyUSB9", "303a", "4001", "C")));
    tools.describe("/dev/ttyUSB1", udevadmWalk(device("ttyUSB1", "303a", "4001", "B5")));
    EXPECT_STREQ(kelvoListAllDevices(), "orv\t/dev/ttyUSB1\tB5\n");
}

TEST_F(Discovery, ShellMetacharactersInADeviceNameExecuteNothing) {
    const std::string mark = tools.dir() + "/executed";
    const std::vector<std::string> paths = {"/dev/ttyA'$(touch " + mark + ")'", "/dev/ttyA;touch " + mark,
                                            "/dev/ttyA`touch " + mark + "`", "/dev/ttyA \"$HOME\" && touch " + mark};
    tools.listed('A', paths);
    std::string expected, log;
    for (const auto &path : paths) {
        tools.describe(path, udevadmWalk(device("ttyACM0", "303a", "4001", "C1")));
        expected += "tallo\t" + path + "\tC1\n";
        log += "4\ninfo\n-n\n" + path + "\n-a\n";  // one argument, byte for byte
    }
    EXPECT_EQ(std::string(kelvoListDevices()), expected);
    EXPECT_EQ(tools.udevadmLog(), log);
    EXPECT_NE(access(mark.c_str(), F_OK), 0) << "a device name ran a command";
}

TEST_F(Discovery, AFullListKeepsTheLeadingWholeLinesInOrder) {
    std::vector<std::string> paths;
    std::string everything;
    for (int i = 0; i < 30; ++i) {
        paths.push_back("/dev/ttyACM" + std::to_string(i) + std::string(50, 'p'));
        tools.describe(paths.back(), udevadmWalk(device("ttyACM0", "0483", "5740", "E" + std::to_string(i))));
        everything += "orv_t\t" + paths.back() + "\tE" + std::to_string(i) + "\n";
    }
    tools.listed('A', paths);
    tools.listed('U', {"/dev/ttyUSB0"});
    tools.describe("/dev/ttyUSB0", udevadmWalk(device("ttyUSB0", "303a", "4001", "B")));  // short, but later
    const std::string list = kelvoListDevices();
    const size_t cut = everything.rfind('\n', kResultSize - 2) + 1;
    EXPECT_EQ(list, everything.substr(0, cut));
    EXPECT_LE(list.size(), kResultSize - 1);
}

TEST_F(Discovery, AListedLineOpensTheDeviceItNames) {
    kelvo::sim::PtyDevice pty;
    tools.listed('A', {pty.path()});
    tools.describe(pty.path(), udevadmWalk(device("ttyACM0", "303a", "4001", "0C77")));
    const std::string list = kelvoListDevices();
    ASSERT_EQ(list, "tallo\t" + pty.path() + "\tC77\n");
    ASSERT_EQ(kelvoOpen(0, list.c_str()), 0) << kelvoGetLastError(0);
    EXPECT_EQ(kelvoClose(0), 0);
    EXPECT_TRUE(pty.waitForReceived("abort\n", std::chrono::seconds(5)));
}

// A hung udev, or a sysfs attribute that blocks, leaves udevadm running
// forever; discovery waited for every child it started, and so did every
// caller. Each of these lets a stand-in run into the time limit.
class HungDiscovery : public Discovery {
protected:
    using Clock = std::chrono::steady_clock;

    void SetUp() override { descriptorsBefore_ = pipesAndPidfds(); }

    // Every stand-in that hung is ended and reaped, no other child of this
    // process is left behind, and neither is a pipe or pidfd.
    void expectNothingLeft(size_t hung) {
        const std::vector<pid_t> ids = tools.hungProcesses();
        EXPECT_EQ(ids.size(), hung);
        for (const pid_t id : ids) EXPECT_TRUE(kelvo::test::processGone(id)) << "process " << id << " is left";
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child is left unreaped";
        EXPECT_EQ(pipesAndPidfds(), descriptorsBefore_);
    }

private:
    // Only these: the library's I/O thread opens descriptors of its own,
    // at a time of its own.
    static size_t pipesAndPidfds() {
        size_t count = 0;
        for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code gone;  // the iterator's own descriptor, closed by now
            const std::string target = std::filesystem::read_symlink(entry.path(), gone).string();
            count += target.rfind("pipe:", 0) == 0 || target == "anon_inode:[pidfd]";
        }
        return count;
    }
    size_t descriptorsBefore_ = 0;
};

TEST_F(HungDiscovery, AUdevadmThatNeverEndsIsKilledAfterItsTimeAndTheListStopsThere) {
    tools.listed('A', {"/dev/ttyACM0", "/dev/ttyACM1"});
    tools.listed('U', {"/dev/ttyUSB0", "/dev/ttyUSB1"});
    tools.describe("/dev/ttyACM0", udevadmWalk(device("ttyACM0", "303a", "4001", "B1")));
    tools.describe("/dev/ttyACM1", udevadmWalk(device("ttyACM1", "0483", "5740", "E2")));
    // It hangs inside the line that would decide: a serial cut short must
    // not be listed as the device's.
    const std::string walk = udevadmWalk(device("ttyUSB0", "303a", "4001", "00C1234"));
    tools.describeThenHang("/dev/ttyUSB0", walk.substr(0, walk.find("C1234") + 3));
    tools.describe("/dev/ttyUSB1", udevadmWalk(device("ttyUSB1", "303a", "4001", "B3")));

    const Clock::time_point start = Clock::now();
    const std::string list = kelvoListAllDevices();
    const Clock::duration took = Clock::now() - start;
    EXPECT_EQ(list, "orv\t/dev/ttyACM0\tB1\norv_t\t/dev/ttyACM1\tE2\n");
    EXPECT_GE(took, std::chrono::milliseconds(4900)) << "ended before its time was up";
    EXPECT_LT(took, std::chrono::seconds(6));
    expectNothingLeft(1);
    EXPECT_EQ(tools.udevadmLog().find("/dev/ttyUSB1"), std::string::npos) << "asked on after a time-out";
}

TEST_F(HungDiscovery, AUdevadmThatAnswersAndThenHangsIsEndedAtOnceAndItsDeviceListed) {
    tools.listed('A', {"/dev/ttyACM0", "/dev/ttyACM1"});
    tools.describeThenHang("/dev/ttyACM0", udevadmWalk(device("ttyACM0", "303a", "4001", "C7")));
    tools.describe("/dev/ttyACM1", udevadmWalk(device("ttyACM1", "0483", "5740", "E8")));

    const Clock::time_point start = Clock::now();
    const std::string list = kelvoListDevices();
    const Clock::duration took = Clock::now() - start;
    EXPECT_EQ(list, "tallo\t/dev/ttyACM0\tC7\norv_t\t/dev/ttyACM1\tE8\n");
    EXPECT_LT(took, std::chrono::seconds(5)) << "the answer was in; its time limit need not pass";
    expectNothingLeft(1);
}

TEST_F(HungDiscovery, AnLsThatNeverEndsIsKilledAndThePathsItPrintedAreStillListed) {
    tools.listedThenHang('A', {"/dev/ttyACM0", "/dev/ttyACM1"});
    tools.listed('U', {"/dev/ttyUSB0"});
    tools.describe("/dev/ttyACM0", udevadmWalk(device("ttyACM0", "303a", "4001", "C1")));
    tools.describe("/dev/ttyACM1", udevadmWalk(device("ttyACM1", "303a", "4001", "B2")));
    tools.describe("/dev/ttyUSB0", udevadmWalk(device("ttyUSB0", "303a", "4001", "B3")));

    const Clock::time_point start = Clock::now();
    const std::string list = kelvoListDevices();
    const Clock::duration took = Clock::now() - start;
    EXPECT_EQ(list, "tallo\t/dev/ttyACM0\tC1\norv\t/dev/ttyACM1\tB2\n");
    EXPECT_GE(took, std::chrono::milliseconds(4900)) << "ended before its time was up";
    EXPECT_LT(took, std::chrono::seconds(6));
    expectNothingLeft(1);
}
